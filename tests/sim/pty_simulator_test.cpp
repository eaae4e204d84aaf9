// The simulated controller over a real pseudo-terminal: the test plays the
// host on the slave side with frames from the simulator's own codec.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pty_simulator.h"

namespace gpio_sim {
namespace {

using namespace gpio_tools;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SimPty : public ::testing::Test {
protected:
    void Start(SimOptions options = {})
    {
        sim_ = std::make_unique<PtySimulator>(options);
        host_ = open(sim_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(host_, 0);
        termios settings{};
        ASSERT_EQ(0, tcgetattr(host_, &settings));
        cfmakeraw(&settings);
        ASSERT_EQ(0, tcsetattr(host_, TCSANOW, &settings));
    }

    void TearDown() override
    {
        if (host_ >= 0) {
            close(host_);
        }
    }

    void Send(const Bytes &wire)
    {
        ASSERT_EQ(static_cast<ssize_t>(wire.size()), write(host_, wire.data(), wire.size()));
    }

    // Collects the bytes that arrive until `frames` frames are complete or
    // `ms` pass; the frames land in frames_.
    Bytes Read(std::size_t frames, int ms)
    {
        Bytes got;
        frames_.clear();
        FrameDecoder decoder;
        const auto deadline = Clock::now() + milliseconds(ms);
        while (frames_.size() < frames && Clock::now() < deadline) {
            pollfd entry{host_, POLLIN, 0};
            if (poll(&entry, 1, 10) > 0) {
                std::uint8_t buffer[64];
                const ssize_t n = read(host_, buffer, sizeof(buffer));
                for (ssize_t i = 0; i < n; ++i) {
                    got.push_back(buffer[i]);
                    DecodedFrame frame;
                    if (decoder.Push(buffer[i], frame)) {
                        frames_.push_back(frame);
                    }
                }
            }
        }
        return got;
    }

    // Collects exactly `n` bytes, or what arrived when `ms` ran out.
    Bytes ReadBytes(std::size_t n, int ms)
    {
        Bytes got;
        const auto deadline = Clock::now() + milliseconds(ms);
        while (got.size() < n && Clock::now() < deadline) {
            pollfd entry{host_, POLLIN, 0};
            if (poll(&entry, 1, 10) > 0) {
                std::uint8_t buffer[64];
                const ssize_t count = read(host_, buffer, std::min(sizeof(buffer), n - got.size()));
                got.insert(got.end(), buffer, buffer + std::max<ssize_t>(count, 0));
            }
        }
        return got;
    }

    // One request, one good reply: its payload, or empty if none came.
    Bytes Ask(const Bytes &payload)
    {
        Send(EncodeRequest(payload));
        Read(1, 2000);
        if (frames_.size() != 1 || !frames_[0].crcOk || frames_[0].address1 != 0x00) {
            return {};
        }
        return frames_[0].payload;
    }

    std::unique_ptr<PtySimulator> sim_;
    int host_ = -1;
    std::vector<DecodedFrame> frames_;
};

TEST_F(SimPty, AnswersEveryCommandAndRecordsBothDirectionsAsSentOnTheWire)
{
    SimOptions options;
    options.versionText = "GPIO-SIM 9.9";
    Start(options);
    EXPECT_EQ("/dev/" + sim_->PortName(), sim_->SlavePath());
    EXPECT_EQ((Bytes{0x00}), Ask({'O', 2, 0x03}));  // port 2 and value 3 are both escaped
    EXPECT_EQ((Bytes{0x00, 0x03}), Ask({'I', 2}));
    EXPECT_EQ((Bytes{0x00}), Ask({'B', 'S', 2, 7}));
    EXPECT_EQ((Bytes{0x00}), Ask({'B', 'C', 2, 0}));
    EXPECT_EQ((Bytes{0x00, 'H'}), Ask({'T', 2, 7}));
    EXPECT_EQ((Bytes{0x00, 'L'}), Ask({'T', 2, 0}));
    const Bytes version = Ask({'V'});
    EXPECT_EQ("GPIO-SIM 9.9", std::string(version.begin() + 1, version.end()));
    EXPECT_EQ(0x82, sim_->Model().Latch(2));

    EXPECT_EQ((Bytes{0xFF}), Ask({'I', 4}));
    EXPECT_EQ((Bytes{0xFE}), Ask({'Q'}));
    EXPECT_EQ((Bytes{0xFD}), Ask({'T', 1}));

    ASSERT_EQ(10U, sim_->RequestCount());
    EXPECT_EQ(EncodeRequest({'O', 2, 0x03}), sim_->Requests()[0]);
    EXPECT_EQ(EncodeReply({0x00, 0x03}), sim_->Replies()[1]);
}

TEST_F(SimPty, IgnoresBadCrcAndForeignFramesWithoutUsingUpTheScript)
{
    Start();
    sim_->Script(Behaviour::Status(0x01));
    Bytes corrupt = EncodeRequest({'I', 0});
    corrupt[corrupt.size() - 2] ^= 0x10;
    Send(corrupt);
    Send(EncodeFrame(0x00, 0x11, {'I', 0}));
    Send({0x41, 0x42});  // bytes outside any frame
    EXPECT_TRUE(Read(1, 300).empty());
    EXPECT_TRUE(sim_->WaitForRequests(2, 2000));

    EXPECT_EQ((Bytes{0x01}), Ask({'I', 0}));
    ASSERT_EQ(3U, sim_->RequestCount());
    EXPECT_EQ(corrupt, sim_->Requests()[0]);
    EXPECT_TRUE(sim_->Replies()[0].empty());
}

TEST_F(SimPty, ScriptedBehavioursApplyInOrderThenNormalRepliesResume)
{
    Start();
    sim_->Model().SetLatch(1, 0x5A);
    const Bytes good = EncodeReply({0x00, 0x5A});
    const Bytes raw{0x02, 0x00, 0x00, 0x12, 0x34, 0x03};
    sim_->Script(Behaviour::Silence());
    sim_->Script(Behaviour::RawReply(raw));
    sim_->Script(Behaviour::BadCrc());
    sim_->Script(Behaviour::Noise({0x41, 0x03, 0xFF}));
    sim_->Script(Behaviour::ForeignFrame(0x11));
    sim_->Script(Behaviour::Status(0xFD, true));

    Send(EncodeRequest({'I', 1}));
    EXPECT_TRUE(Read(1, 300).empty());
    Send(EncodeRequest({'I', 1}));
    EXPECT_EQ(raw, Read(1, 2000));
    Send(EncodeRequest({'I', 1}));
    Read(1, 2000);
    ASSERT_EQ(1U, frames_.size());
    EXPECT_FALSE(frames_[0].crcOk);
    EXPECT_EQ((Bytes{0x00, 0x5A}), frames_[0].payload);

    Bytes noisy{0x41, 0x03, 0xFF};
    noisy.insert(noisy.end(), good.begin(), good.end());
    Send(EncodeRequest({'I', 1}));
    EXPECT_EQ(noisy, Read(1, 2000));

    Send(EncodeRequest({'I', 1}));
    Read(2, 2000);
    ASSERT_EQ(2U, frames_.size());
    EXPECT_EQ(0x11, frames_[0].address1);
    EXPECT_TRUE(frames_[0].crcOk);
    EXPECT_EQ(0x00, frames_[1].address1);

    EXPECT_EQ((Bytes{0xFD, 0x5A}), Ask({'I', 1}));
    EXPECT_EQ((Bytes{0x00, 0x5A}), Ask({'I', 1}));
}

TEST_F(SimPty, LateAndSplitRepliesKeepTheirTiming)
{
    Start();
    sim_->Script(Behaviour::Stale(150));
    sim_->Script(Behaviour::Split(3, 60));
    const auto stalePlan = Clock::now() + milliseconds(150);
    Send(EncodeRequest({'I', 0}));
    // Nothing early, with 100 ms to spare for a loaded machine.
    EXPECT_TRUE(Read(1, 50).empty());
    EXPECT_EQ(EncodeReply({0x00, 0x00}), Read(1, 3000));
    EXPECT_GE(Clock::now(), stalePlan);

    const auto splitPlan = Clock::now() + milliseconds(120);
    Send(EncodeRequest({'I', 0}));
    EXPECT_EQ(EncodeReply({0x00, 0x00}), Read(1, 3000));
    EXPECT_GE(Clock::now(), splitPlan);
}

TEST_F(SimPty, RepliesWaitBehindADelayedOneLikeADeviceThatAnswersInTurn)
{
    Start();
    sim_->Script(Behaviour::Delay(200));
    const auto plan = Clock::now() + milliseconds(200);
    Send(EncodeRequest({'I', 0}));
    Send(EncodeRequest({'V'}));
    Read(2, 3000);
    EXPECT_GE(Clock::now(), plan);
    ASSERT_EQ(2U, frames_.size());
    EXPECT_EQ((Bytes{0x00, 0x00}), frames_[0].payload);
    EXPECT_EQ('G', frames_[1].payload.at(1));
}

TEST_F(SimPty, MagicPortsMisbehaveOnRequestAndActOnPortZero)
{
    SimOptions options;
    options.magicPorts = true;
    Start(options);
    EXPECT_EQ((Bytes{0xFD}), Ask({'O', 0xF2, 0x33}));
    EXPECT_EQ(0x33, sim_->Model().Latch(0));
    EXPECT_EQ((Bytes{0x01}), Ask({'B', 'S', 0xF5, 0}));
    EXPECT_EQ((Bytes{0x00}), Ask({'I', 0xF6}));

    Send(EncodeRequest({'T', 0xF7, 0}));
    Read(2, 2000);
    ASSERT_EQ(2U, frames_.size());
    EXPECT_EQ(0x40, frames_[0].address1);
    EXPECT_EQ((Bytes{0x00, 'H'}), frames_[1].payload);

    // A damaged reply, then the good one 40 ms later.
    Send(EncodeRequest({'I', 0xFB}));
    const auto sent = Clock::now();
    Read(2, 2000);
    ASSERT_EQ(2U, frames_.size());
    EXPECT_FALSE(frames_[0].crcOk);
    EXPECT_TRUE(frames_[1].crcOk);
    EXPECT_EQ((Bytes{0x00, 0x33}), frames_[1].payload);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(40));

    Send(EncodeRequest({'I', 0xF0}));
    EXPECT_TRUE(Read(1, 300).empty());
    // Only the port operand is magic; a scripted behaviour wins over it.
    EXPECT_EQ((Bytes{0x00}), Ask({'O', 0, 0xF0}));
    sim_->Script(Behaviour::Normal());
    EXPECT_EQ((Bytes{0xFF}), Ask({'I', 0xF0}));
}

TEST_F(SimPty, PacedRepliesTakeAByteTimePerByte)
{
    SimOptions options;
    options.pace38400 = true;
    Start(options);
    const auto start = Clock::now();
    const Bytes version = Ask({'V'});
    EXPECT_EQ(13U, version.size());
    // 19 wire bytes, 18 gaps of 260 us.
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(18 * 260));
}

TEST_F(SimPty, KeepsServingWhileTheHostClosesAndReopensAndLocksThePort)
{
    Start();
    close(host_);
    host_ = -1;
    // A few serving cycles with only the simulator's own descriptor open.
    std::this_thread::sleep_for(milliseconds(100));
    host_ = open(sim_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host_, 0);
    EXPECT_EQ(0, flock(host_, LOCK_EX | LOCK_NB));
    EXPECT_EQ((Bytes{0x00, 0x00}), Ask({'I', 3}));
}

TEST_F(SimPty, HangUpLeavesTheHostAHungUpLine)
{
    Start();
    sim_->HangUp();
    pollfd entry{host_, POLLIN, 0};
    ASSERT_EQ(1, poll(&entry, 1, 2000));
    EXPECT_NE(0, entry.revents & POLLHUP);
    std::uint8_t byte = 0;
    EXPECT_GE(0, read(host_, &byte, 1));
}

// ---- random line faults ----------------------------------------------------

TEST_F(SimPty, CorruptRateOneFlipsOneBitOfEveryReplyByteSoNoReplyPassesItsCrc)
{
    SimOptions options;
    options.corruptRate = 1.0;
    options.seed = 7;
    Start(options);
    sim_->Model().SetLatch(1, 0x5A);
    const Bytes good = EncodeReply({0x00, 0x5A});
    FrameDecoder decoder;  // one decoder over the whole stream
    std::size_t bytes = 0;
    for (int i = 0; i < 20; ++i) {
        Send(EncodeRequest({'I', 1}));
        const Bytes got = ReadBytes(good.size(), 2000);
        ASSERT_EQ(good.size(), got.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(1U, std::bitset<8>(got[k] ^ good[k]).count()) << "request " << i << " byte " << k;
            DecodedFrame frame;
            EXPECT_FALSE(decoder.Push(got[k], frame) && frame.crcOk) << "request " << i;
        }
        bytes += got.size();
    }
    // The device still acts on what it hears.
    Send(EncodeRequest({'O', 2, 0x33}));
    ASSERT_TRUE(sim_->WaitForRequests(21, 2000));
    EXPECT_EQ(0x33, sim_->Model().Latch(2));

    const PtySimulator::Stats stats = sim_->GetStats();
    EXPECT_EQ(21U, stats.faulted);
    EXPECT_EQ(21U, stats.withCorruptedBytes);
    EXPECT_EQ(bytes + EncodeReply({0x00}).size(), stats.corruptedBytes);
    EXPECT_EQ(0U, stats.intact + stats.withDroppedBytes + stats.silenced + stats.delayed);
}

TEST_F(SimPty, DropRateOneSilencesTheLineButScriptedAndMagicRepliesGetThrough)
{
    SimOptions options;
    options.dropRate = 1.0;
    options.magicPorts = true;
    Start(options);
    Send(EncodeRequest({'O', 1, 0x77}));
    Send(EncodeRequest({'I', 1}));
    EXPECT_TRUE(Read(1, 300).empty());
    ASSERT_TRUE(sim_->WaitForRequests(2, 2000));
    EXPECT_EQ(0x77, sim_->Model().Latch(1));
    EXPECT_TRUE(sim_->Replies()[1].empty());

    sim_->Script(Behaviour::Normal());
    EXPECT_EQ((Bytes{0x00, 0x77}), Ask({'I', 1}));
    EXPECT_EQ((Bytes{0xFE}), Ask({'I', 0xF3}));

    const PtySimulator::Stats stats = sim_->GetStats();
    EXPECT_EQ(2U, stats.withDroppedBytes);
    EXPECT_EQ(EncodeReply({0x00}).size() + EncodeReply({0x00, 0x77}).size(), stats.droppedBytes);
    EXPECT_EQ(0U, stats.silenced);
    EXPECT_EQ(1U, stats.intact);
    EXPECT_EQ(1U, stats.shaped);
}

TEST_F(SimPty, StatusOverrideAnswersTheChosenStatusAfterCarryingOutTheRequest)
{
    SimOptions options;
    options.statusOverride = {{"O", 0xFF}, {"BS", 0x01}};
    Start(options);
    EXPECT_EQ((Bytes{0xFF}), Ask({'O', 3, 0x44}));
    EXPECT_EQ((Bytes{0x01}), Ask({'B', 'S', 3, 0}));
    EXPECT_EQ((Bytes{0x00}), Ask({'B', 'C', 3, 2}));
    EXPECT_EQ((Bytes{0x00, 0x41}), Ask({'I', 3}));
    EXPECT_EQ(4U, sim_->GetStats().intact);

    SimOptions unknownCommand;
    unknownCommand.statusOverride = {{"B", 0xFF}};
    EXPECT_THROW(PtySimulator{unknownCommand}, std::invalid_argument);
    SimOptions badRate;
    badRate.dropRate = 1.5;
    EXPECT_THROW(PtySimulator{badRate}, std::invalid_argument);
}

TEST_F(SimPty, TheSameSeedGivesTheSameFaultsAndTheTraceMarksEachOne)
{
    SimOptions options;
    options.dropRate = 0.05;
    options.corruptRate = 0.05;
    options.delayRate = 0.3;
    options.delayMaxMs = 5;
    options.silenceRate = 0.2;
    options.seed = 42;
    PtySimulator twin(options);
    options.seed = 43;
    PtySimulator other(options);
    options.seed = 42;
    options.trace = std::tmpfile();
    ASSERT_NE(nullptr, options.trace);
    Start(options);

    Bytes requests;
    for (int i = 0; i < 40; ++i) {
        const Bytes one = EncodeRequest({'O', 0, static_cast<std::uint8_t>(i)});
        requests.insert(requests.end(), one.begin(), one.end());
    }
    Bytes corrupt = EncodeRequest({'V'});
    corrupt[corrupt.size() - 2] ^= 0x01;
    requests.insert(requests.end(), corrupt.begin(), corrupt.end());
    Send(requests);
    for (PtySimulator *sim : {&twin, &other}) {
        const int fd = open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(static_cast<ssize_t>(requests.size()), write(fd, requests.data(), requests.size()));
        close(fd);  // the simulator's own descriptor keeps the line up
    }
    for (PtySimulator *sim : {sim_.get(), &twin, &other}) {
        ASSERT_TRUE(sim->WaitForRequests(41, 3000));
    }
    ReadBytes(100000, 500);  // lets the delayed replies go out

    EXPECT_EQ(sim_->Replies(), twin.Replies());
    EXPECT_NE(sim_->Replies(), other.Replies());
    const PtySimulator::Stats stats = sim_->GetStats();
    EXPECT_EQ(41U, stats.requests);
    EXPECT_EQ(1U, stats.ignored);
    EXPECT_EQ(stats.requests, stats.ignored + stats.shaped + stats.intact + stats.faulted);
    EXPECT_GT(stats.intact, 0U);
    EXPECT_GT(stats.silenced, 0U);
    EXPECT_GT(stats.delayed, 0U);
    EXPECT_GT(stats.withDroppedBytes + stats.withCorruptedBytes, 0U);
    EXPECT_EQ(39, sim_->Model().Latch(0));

    // One trace line per faulted reply, carrying a mark per fault.
    std::rewind(options.trace);
    std::uint64_t marks[4] = {};
    const char *kinds[4] = {"[silenced]", " dropped]", " corrupted]", "[delayed "};
    char line[512];
    while (std::fgets(line, sizeof(line), options.trace) != nullptr) {
        for (int k = 0; k < 4; ++k) {
            marks[k] += std::strstr(line, kinds[k]) != nullptr ? 1 : 0;
        }
    }
    sim_.reset();
    std::fclose(options.trace);
    EXPECT_EQ(stats.silenced, marks[0]);
    EXPECT_EQ(stats.withDroppedBytes, marks[1]);
    EXPECT_EQ(stats.withCorruptedBytes, marks[2]);
    EXPECT_EQ(stats.delayed, marks[3]);
}

TEST_F(SimPty, WithoutHistoryNothingIsKeptButEveryFrameIsCounted)
{
    SimOptions options;
    options.keepHistory = false;
    Start(options);
    Bytes corrupt = EncodeRequest({'I', 0});
    corrupt[corrupt.size() - 2] ^= 0x01;
    Send(corrupt);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ((Bytes{0x00, 0x00}), Ask({'I', 0}));
    }
    EXPECT_TRUE(sim_->WaitForRequests(4, 2000));
    EXPECT_EQ(4U, sim_->RequestCount());
    EXPECT_TRUE(sim_->Requests().empty());
    EXPECT_TRUE(sim_->Replies().empty());
    EXPECT_EQ(1U, sim_->GetStats().ignored);
    EXPECT_EQ(3U, sim_->GetStats().intact);
}

}  // namespace
}  // namespace gpio_sim
