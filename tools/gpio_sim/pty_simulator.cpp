#include "pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "trace_format.h"

namespace gpio_sim {
namespace {

using gpio_tools::EncodeReply;
using gpio_tools::WriteTrace;

constexpr std::uint8_t kRequestAddress1 = 0x40;

// The serving loop never sleeps longer than this, so it notices work and
// a stop quickly without spinning.
constexpr int kIdleMs = 20;

void SleepUnlessWoken(int wakeFd, int ms)
{
    pollfd entry{wakeFd, POLLIN, 0};
    poll(&entry, 1, ms);
}

SimOptions Checked(SimOptions options)
{
    CheckSimOptions(options);
    return options;
}

}  // namespace

// ---- setup and teardown --------------------------------------------------

PtySimulator::PtySimulator(SimOptions options)
    : options_(Checked(std::move(options))),
      model_(options_.versionText),
      start_(Clock::now()),
      schedule_(options_.replyDelayMs),
      line_(options_)
{
    for (const auto &entry : options_.statusOverride) {
        overrides_[static_cast<int>(gpio_tools::CommandNamed(entry.first))] = entry.second;
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { Serve(); });
}

PtySimulator::~PtySimulator()
{
    Stop();
    for (int fd : wake_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void PtySimulator::Stop()
{
    if (thread_.joinable()) {
        const char stop = 1;
        while (write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
}

void PtySimulator::HangUp()
{
    Stop();
    pty_.Close();
}

// ---- accessors -----------------------------------------------------------

std::string PtySimulator::PortName() const { return pty_.PortName(); }

std::string PtySimulator::SlavePath() const { return pty_.SlavePath(); }

ControllerModel &PtySimulator::Model() { return model_; }

void PtySimulator::Script(Behaviour behaviour)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(behaviour));
}

std::vector<Bytes> PtySimulator::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<Bytes> PtySimulator::Replies() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
}

std::vector<std::chrono::steady_clock::time_point> PtySimulator::RequestTimes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requestTimes_;
}

std::size_t PtySimulator::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(stats_.requests);
}

bool PtySimulator::WaitForRequests(std::size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return received_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stats_.requests >= n; });
}

PtySimulator::Stats PtySimulator::GetStats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

// ---- serving -------------------------------------------------------------

void PtySimulator::Serve()
{
    const int master = pty_.Master();
    for (;;) {
        pollfd entries[2] = {{wake_[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(entries, 2, schedule_.WaitMs(kIdleMs)) < 0 && errno != EINTR) {
            SleepUnlessWoken(wake_[0], kIdleMs);
        }
        if ((entries[0].revents & POLLIN) != 0) {
            return;
        }
        if ((entries[1].revents & POLLIN) != 0) {
            std::uint8_t buffer[256];
            const ssize_t n = read(master, buffer, sizeof(buffer));
            for (ssize_t i = 0; i < n; ++i) {
                WirePiece piece;
                if (stream_.Push(buffer[i], piece) && piece.kind == WirePiece::Kind::kFrame) {
                    OnFrame(piece.raw, piece.frame);
                }
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // EIO: nobody has the slave open. Wait for someone.
                SleepUnlessWoken(wake_[0], kIdleMs);
            }
        } else if ((entries[1].revents & (POLLHUP | POLLERR)) != 0) {
            // A master without any slave opener reports a hang-up at once
            // on every poll; pause instead of spinning.
            SleepUnlessWoken(wake_[0], kIdleMs);
        }
        SendDue();
    }
}

void PtySimulator::OnFrame(const Bytes &raw, const DecodedFrame &frame)
{
    const std::size_t index = sequence_++;
    if (options_.keepHistory) {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(raw);
        replies_.emplace_back();
        requestTimes_.push_back(now);
    }
    // Decoded once; everything after works on the typed request.
    Request request = gpio_tools::DecodeRequest(frame.payload);
    std::string meaning = DescribeRequest(request);
    if (!frame.crcOk) {
        Trace(gpio_tools::kHostToDevice, raw, meaning + " (bad CRC, ignored)");
        Count(Outcome::kIgnored, {});
        return;
    }
    if (frame.address1 != kRequestAddress1) {
        char note[48];
        std::snprintf(note, sizeof(note), " (address %02X %02X, ignored)", frame.address0, frame.address1);
        Trace(gpio_tools::kHostToDevice, raw, meaning + note);
        Count(Outcome::kIgnored, {});
        return;
    }

    const std::optional<Behaviour> behaviour = NextBehaviour(request, meaning);
    Trace(gpio_tools::kHostToDevice, raw, meaning);
    Bytes reply = model_.Handle(request);

    Outcome outcome = Outcome::kShaped;
    LineFaults faults;
    if (behaviour) {
        ShapedReply shaped = Shape(*behaviour, request, reply);
        if (shaped.pieces.empty()) {
            Trace(gpio_tools::kNote, {}, "no reply (silence)");
        }
        schedule_.Add(index, std::move(shaped));
        if (behaviour->kind == Behaviour::Kind::kNormal) {
            outcome = Outcome::kIntact;
        }
    } else {
        faults = SendThroughLine(index, request, std::move(reply));
        outcome = faults.Any() ? Outcome::kFaulted : Outcome::kIntact;
    }
    // Counted before the reply is written, so a host that has its reply
    // finds the request in GetStats().
    Count(outcome, faults);
    SendDue();
}

// The scripted behaviour for this request, else the behaviour of its magic
// port, which then turns into port 0 in `request` and is noted in `meaning`.
std::optional<Behaviour> PtySimulator::NextBehaviour(Request &request, std::string &meaning)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            Behaviour next = std::move(script_.front());
            script_.pop_front();
            return next;
        }
    }
    if (!options_.magicPorts || !request.hasPort) {
        return std::nullopt;
    }
    std::optional<Behaviour> behaviour = MagicPortBehaviour(request.port);
    if (behaviour) {
        meaning += " (magic port " + std::to_string(request.port) + ")";
        request.port = 0;
    }
    return behaviour;
}

// Sends the model's reply (or its status override) through the random line
// faults, behind any output still waiting.
LineFaults PtySimulator::SendThroughLine(std::size_t index, const Request &request, Bytes reply)
{
    std::string note;
    const std::optional<std::uint8_t> status = overrides_[static_cast<int>(request.command)];
    if (status) {
        reply = {*status};
        note = " (status override)";
    }
    Bytes wire;
    const LineFaults faults = line_.Pass(EncodeReply(reply), wire);
    if (wire.empty()) {
        Trace(gpio_tools::kNote, {}, "no reply" + faults.Marks());
        return faults;
    }
    ShapedReply shaped;
    shaped.delayMs = faults.delayMs;
    shaped.pieces.push_back({std::move(wire), DescribeReply(request, reply) + note + faults.Marks()});
    schedule_.Add(index, std::move(shaped));
    return faults;
}

// Counts a handled frame and wakes WaitForRequests.
void PtySimulator::Count(Outcome outcome, const LineFaults &faults)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CountFrame(stats_, outcome, faults);
    }
    received_.notify_all();
}

void PtySimulator::SendDue()
{
    ReplySchedule::Chunk chunk;
    while (schedule_.TakeDue(chunk)) {
        Trace(gpio_tools::kDeviceToHost, chunk.bytes, chunk.note);
        pty_.Write(chunk.bytes, options_.pace38400);
        if (options_.keepHistory) {
            std::lock_guard<std::mutex> lock(mutex_);
            Bytes &sent = replies_[chunk.request];
            sent.insert(sent.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
    }
}

void PtySimulator::Trace(const char *direction, const Bytes &bytes, const std::string &meaning)
{
    if (options_.trace == nullptr) {
        return;
    }
    const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start_;
    WriteTrace(options_.trace, {elapsed.count(), direction, bytes, "", meaning}, false);
}

}  // namespace gpio_sim
