// The simulated controller over a real pseudo-terminal: the test plays the
// host on the slave side with frames from the simulator's own codec.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty_simulator.h"

namespace gpio_sim {
namespace {

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
    EXPECT_TRUE(Read(1, 100).empty());
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

}  // namespace
}  // namespace gpio_sim
