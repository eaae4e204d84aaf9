#include "pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace gpio_sim {
namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kRequestAddress1 = 0x40;

// The serving loop never sleeps longer than this, so it notices work and
// a stop quickly without spinning.
constexpr int kIdleMs = 20;

// Ten bits on the line (start, eight data, stop) at 38400 baud.
constexpr auto kByteTime = std::chrono::microseconds(260);

// How long a write waits for the slave's input queue to take bytes.
constexpr int kWriteWaitMs = 1000;

struct MagicPort {
    std::uint8_t port;
    Behaviour (*make)();
    const char *text;
};

const MagicPort kMagicPorts[] = {
    {0xF0, [] { return Behaviour::Silence(); }, "silence: no reply"},
    {0xF1, [] { return Behaviour::BadCrc(); }, "the reply with a corrupted CRC"},
    {0xF2, [] { return Behaviour::Status(0xFD); }, "status 0xFD alone"},
    {0xF3, [] { return Behaviour::Status(0xFE); }, "status 0xFE alone"},
    {0xF4, [] { return Behaviour::Status(0xFF); }, "status 0xFF alone"},
    {0xF5, [] { return Behaviour::Status(0x01); }, "status 0x01 alone"},
    {0xF6, [] { return Behaviour::Status(0x00); }, "status 0x00 alone (too short for input or bit test)"},
    {0xF7, [] { return Behaviour::ForeignFrame(0x40); }, "a foreign frame (address 00 40), then the reply"},
    {0xF8, [] { return Behaviour::Noise(); }, "noise 41 03 FF, then the reply"},
    {0xF9, [] { return Behaviour::Stale(150); }, "the reply 150 ms late (stale input for the host)"},
    {0xFA, [] { return Behaviour::Split(3, 30); }, "the reply split in 3 bursts 30 ms apart"},
};

std::string HexBytes(const Bytes &bytes)
{
    std::string text;
    char one[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(one, sizeof(one), "%02X ", byte);
        text += one;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

std::runtime_error SystemError(const char *what)
{
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// The wire bytes of a reply whose CRC has its lowest bit flipped.
Bytes ReplyWithBadCrc(const Bytes &payload)
{
    Bytes body{0x00, 0x00};
    body.insert(body.end(), payload.begin(), payload.end());
    const auto crc = static_cast<std::uint16_t>(Crc16Bitwise(body.data(), body.size()) ^ 0x0001);
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return WrapBody(body);
}

void SleepUnlessWoken(int wakeFd, int ms)
{
    pollfd entry{wakeFd, POLLIN, 0};
    poll(&entry, 1, ms);
}

// "2 bytes", "1 byte".
std::string CountOf(unsigned n, const char *what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

void CheckRate(double rate, const char *name)
{
    if (!std::isfinite(rate) || rate < 0.0 || rate > 1.0) {
        throw std::invalid_argument(std::string(name) + " must be a probability from 0.0 to 1.0");
    }
}

void CheckOptions(const SimOptions &options)
{
    CheckRate(options.dropRate, "dropRate");
    CheckRate(options.corruptRate, "corruptRate");
    CheckRate(options.delayRate, "delayRate");
    CheckRate(options.silenceRate, "silenceRate");
    if (options.delayRate > 0.0 && options.delayMaxMs == 0) {
        throw std::invalid_argument("delayMaxMs must be at least 1 with a delay rate");
    }
    for (const auto &entry : options.statusOverride) {
        if (CommandNamed(entry.first) == Command::kUnknown) {
            throw std::invalid_argument("statusOverride: unknown command \"" + entry.first +
                                        "\" (I, O, T, BS, BC or V)");
        }
    }
}

}  // namespace

// ---- behaviours ----------------------------------------------------------

namespace {

Behaviour Of(Behaviour::Kind kind)
{
    Behaviour b;
    b.kind = kind;
    return b;
}

}  // namespace

Behaviour Behaviour::Normal() { return {}; }

Behaviour Behaviour::Silence() { return Of(Kind::kSilence); }

Behaviour Behaviour::BadCrc() { return Of(Kind::kBadCrc); }

Behaviour Behaviour::Status(std::uint8_t status, bool keepData)
{
    Behaviour b = Of(Kind::kStatus);
    b.status = status;
    b.keepData = keepData;
    return b;
}

Behaviour Behaviour::RawReply(Bytes wire)
{
    Behaviour b = Of(Kind::kRawReply);
    b.bytes = std::move(wire);
    return b;
}

Behaviour Behaviour::Delay(unsigned ms)
{
    Behaviour b = Of(Kind::kDelay);
    b.delayMs = ms;
    return b;
}

Behaviour Behaviour::Split(unsigned pieces, unsigned gapMs)
{
    Behaviour b = Of(Kind::kSplit);
    b.pieces = std::max(pieces, 1U);
    b.delayMs = gapMs;
    return b;
}

Behaviour Behaviour::Noise(Bytes noise)
{
    Behaviour b = Of(Kind::kNoise);
    b.bytes = std::move(noise);
    return b;
}

Behaviour Behaviour::ForeignFrame(std::uint8_t address1)
{
    Behaviour b = Of(Kind::kForeignFrame);
    b.address1 = address1;
    return b;
}

Behaviour Behaviour::Stale(unsigned ms)
{
    Behaviour b = Of(Kind::kStale);
    b.delayMs = ms;
    return b;
}

std::optional<Behaviour> MagicPortBehaviour(std::uint8_t port)
{
    for (const MagicPort &magic : kMagicPorts) {
        if (magic.port == port) {
            return magic.make();
        }
    }
    return std::nullopt;
}

std::string MagicPortsHelp()
{
    std::string text;
    char line[96];
    for (const MagicPort &magic : kMagicPorts) {
        std::snprintf(line, sizeof(line), "0x%02X  %s\n", magic.port, magic.text);
        text += line;
    }
    return text;
}

// ---- setup and teardown --------------------------------------------------

PtySimulator::PtySimulator(SimOptions options)
    : options_(std::move(options)),
      model_(options_.versionText),
      start_(Clock::now()),
      busyUntil_(start_),
      random_(options_.seed)
{
    CheckOptions(options_);
    for (const auto &entry : options_.statusOverride) {
        overrides_[static_cast<int>(CommandNamed(entry.first))] = entry.second;
    }

    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        throw SystemError("posix_openpt");
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof(name)) != 0) {
        const auto error = SystemError("pty setup");
        CloseFds();
        throw error;
    }
    slavePath_ = name;

    // Raw 8N1 on the slave before the host opens it: otherwise the line
    // discipline would echo requests back to the host and rewrite bytes.
    // This descriptor stays open (without a lock) so the line does not hang
    // up whenever the host closes its own.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (slave_ < 0 || tcgetattr(slave_, &settings) != 0) {
        const auto error = SystemError("pty slave");
        CloseFds();
        throw error;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    if (tcsetattr(slave_, TCSANOW, &settings) != 0) {
        const auto error = SystemError("pty slave settings");
        CloseFds();
        throw error;
    }

    // Non-blocking master: a host that never reads must not wedge a write.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (pipe(wake_) != 0) {
        const auto error = SystemError("pipe");
        CloseFds();
        throw error;
    }
    thread_ = std::thread([this] { Serve(); });
}

PtySimulator::~PtySimulator()
{
    Stop();
    CloseFds();
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

void PtySimulator::CloseFds()
{
    for (int *fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void PtySimulator::HangUp()
{
    Stop();
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

// ---- accessors -----------------------------------------------------------

std::string PtySimulator::PortName() const
{
    const std::string prefix = "/dev/";
    return slavePath_.compare(0, prefix.size(), prefix) == 0 ? slavePath_.substr(prefix.size()) : slavePath_;
}

std::string PtySimulator::SlavePath() const { return slavePath_; }

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

bool PtySimulator::LineFaults::Any() const { return silenced || dropped > 0 || corrupted > 0 || delayMs > 0; }

std::string PtySimulator::LineFaults::Marks() const
{
    std::string marks;
    if (silenced) {
        marks += " [silenced]";
    }
    if (dropped > 0) {
        marks += " [" + CountOf(dropped, "byte") + " dropped]";
    }
    if (corrupted > 0) {
        marks += " [" + CountOf(corrupted, "byte") + " corrupted]";
    }
    if (delayMs > 0) {
        marks += " [delayed " + std::to_string(delayMs) + " ms]";
    }
    return marks;
}

// ---- serving -------------------------------------------------------------

void PtySimulator::Serve()
{
    for (;;) {
        int timeout = kIdleMs;
        if (!outgoing_.empty()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(outgoing_.front().due - Clock::now());
            timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, kIdleMs));
        }
        pollfd entries[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
        if (poll(entries, 2, timeout) < 0 && errno != EINTR) {
            SleepUnlessWoken(wake_[0], kIdleMs);
        }
        if ((entries[0].revents & POLLIN) != 0) {
            return;
        }
        if ((entries[1].revents & POLLIN) != 0) {
            std::uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, sizeof(buffer));
            for (ssize_t i = 0; i < n; ++i) {
                Take(buffer[i]);
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

// Keeps the stuffed bytes of the frame in progress beside the decoder, so
// the frame can be recorded exactly as it came off the wire.
void PtySimulator::Take(std::uint8_t byte)
{
    if (byte == kStx) {
        raw_.clear();
        inFrame_ = true;
    }
    // The decoder drops a frame whose body outgrows its limit, and each
    // body byte takes at most two wire bytes, so nothing past this is needed.
    if (inFrame_ && raw_.size() < 2 * FrameDecoder::kMaxBody + 2) {
        raw_.push_back(byte);
    }
    DecodedFrame frame;
    const bool complete = decoder_.Push(byte, frame);
    if (byte == kEtx) {
        if (complete) {
            OnFrame(raw_, frame);
        }
        inFrame_ = false;
        raw_.clear();
    }
}

void PtySimulator::OnFrame(const Bytes &raw, const DecodedFrame &frame)
{
    const std::size_t index = sequence_++;
    if (options_.keepHistory) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(raw);
        replies_.emplace_back();
    }
    std::string meaning = DescribeRequest(frame.payload);
    if (!frame.crcOk) {
        Trace("host->sim", raw, meaning + " (bad CRC, ignored)");
        Count(Outcome::kIgnored, {});
        return;
    }
    if (frame.address1 != kRequestAddress1) {
        char note[48];
        std::snprintf(note, sizeof(note), " (address %02X %02X, ignored)", frame.address0, frame.address1);
        Trace("host->sim", raw, meaning + note);
        Count(Outcome::kIgnored, {});
        return;
    }

    Bytes request = frame.payload;
    std::optional<Behaviour> behaviour;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            behaviour = std::move(script_.front());
            script_.pop_front();
        }
    }
    const int portOffset = PortOperandOffset(CommandOf(request));
    if (!behaviour && options_.magicPorts && portOffset > 0 &&
        static_cast<std::size_t>(portOffset) < request.size()) {
        const auto port = static_cast<std::size_t>(portOffset);
        behaviour = MagicPortBehaviour(request[port]);
        if (behaviour) {
            char note[32];
            std::snprintf(note, sizeof(note), " (magic 0x%02X)", request[port]);
            meaning += note;
            request[port] = 0;
        }
    }
    Trace("host->sim", raw, meaning);
    Bytes reply = model_.Handle(request);

    Outcome outcome = Outcome::kShaped;
    LineFaults faults;
    if (behaviour) {
        Schedule(index, request, reply, *behaviour);
        if (behaviour->kind == Behaviour::Kind::kNormal) {
            outcome = Outcome::kIntact;
        }
    } else {
        std::string note;
        const std::optional<std::uint8_t> status = overrides_[static_cast<int>(CommandOf(request))];
        if (status) {
            reply = {*status};
            note = " (status override)";
        }
        faults = ScheduleThroughLine(index, request, reply, note);
        outcome = faults.Any() ? Outcome::kFaulted : Outcome::kIntact;
    }
    // Counted before the reply is written, so a host that has its reply
    // finds the request in GetStats().
    Count(outcome, faults);
    SendDue();
}

// Counts a handled frame and wakes WaitForRequests.
void PtySimulator::Count(Outcome outcome, const LineFaults &faults)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.requests;
        switch (outcome) {
        case Outcome::kIgnored:
            ++stats_.ignored;
            break;
        case Outcome::kShaped:
            ++stats_.shaped;
            break;
        case Outcome::kIntact:
            ++stats_.intact;
            break;
        case Outcome::kFaulted:
            ++stats_.faulted;
            stats_.silenced += faults.silenced ? 1 : 0;
            stats_.withDroppedBytes += faults.dropped > 0 ? 1 : 0;
            stats_.withCorruptedBytes += faults.corrupted > 0 ? 1 : 0;
            stats_.delayed += faults.delayMs > 0 ? 1 : 0;
            stats_.droppedBytes += faults.dropped;
            stats_.corruptedBytes += faults.corrupted;
            break;
        }
    }
    received_.notify_all();
}

// A draw from the raw output of the generator, which the standard fixes
// for a given seed (the distribution classes it leaves to each library).
// Rates of 0 and 1 take no draw.
bool PtySimulator::Chance(double probability)
{
    if (probability <= 0.0) {
        return false;
    }
    if (probability >= 1.0) {
        return true;
    }
    return static_cast<double>(random_()) / 4294967296.0 < probability;
}

// Sends the model's reply (or its status override) through the random line
// faults, behind any output still waiting.
PtySimulator::LineFaults PtySimulator::ScheduleThroughLine(std::size_t request, const Bytes &payload,
                                                           const Bytes &reply, const std::string &note)
{
    LineFaults faults;
    if (Chance(options_.silenceRate)) {
        faults.silenced = true;
        Trace("sim      ", {}, "no reply" + faults.Marks());
        return faults;
    }
    Bytes wire;
    for (std::uint8_t byte : EncodeReply(reply)) {
        if (Chance(options_.dropRate)) {
            ++faults.dropped;
            continue;
        }
        if (Chance(options_.corruptRate)) {
            byte = static_cast<std::uint8_t>(byte ^ (1U << (random_() % 8)));
            ++faults.corrupted;
        }
        wire.push_back(byte);
    }
    if (Chance(options_.delayRate)) {
        faults.delayMs = 1 + static_cast<unsigned>(random_() % options_.delayMaxMs);
    }
    if (wire.empty()) {
        Trace("sim      ", {}, "no reply" + faults.Marks());
        return faults;
    }
    std::vector<Chunk> chunks;
    chunks.push_back({std::move(wire), {}, request, DescribeReply(payload, reply) + note + faults.Marks()});
    Queue(std::move(chunks), faults.delayMs, 0);
    return faults;
}

// Turns the model's reply into timed pieces of output, as the behaviour
// shapes it, behind any output still waiting.
void PtySimulator::Schedule(std::size_t request, const Bytes &payload, const Bytes &reply, const Behaviour &behaviour)
{
    using Kind = Behaviour::Kind;
    const std::string meaning = DescribeReply(payload, reply);
    std::vector<Chunk> chunks;
    unsigned delayMs = 0;
    unsigned gapMs = 0;
    switch (behaviour.kind) {
    case Kind::kNormal:
        chunks.push_back({EncodeReply(reply), {}, request, meaning});
        break;
    case Kind::kSilence:
        Trace("sim      ", {}, "no reply (silence)");
        return;
    case Kind::kBadCrc:
        chunks.push_back({ReplyWithBadCrc(reply), {}, request, meaning + " (CRC corrupted)"});
        break;
    case Kind::kStatus: {
        Bytes changed{behaviour.status};
        if (behaviour.keepData && reply.size() > 1) {
            changed.insert(changed.end(), reply.begin() + 1, reply.end());
        }
        chunks.push_back({EncodeReply(changed), {}, request, DescribeReply(payload, changed) + " (scripted)"});
        break;
    }
    case Kind::kRawReply:
        chunks.push_back({behaviour.bytes, {}, request, "raw reply (scripted)"});
        break;
    case Kind::kDelay:
        delayMs += behaviour.delayMs;
        chunks.push_back({EncodeReply(reply), {}, request, meaning + " (delayed)"});
        break;
    case Kind::kStale:
        delayMs += behaviour.delayMs;
        chunks.push_back({EncodeReply(reply), {}, request, meaning + " (late)"});
        break;
    case Kind::kSplit: {
        const Bytes wire = EncodeReply(reply);
        const std::size_t pieces = std::min<std::size_t>(behaviour.pieces, wire.size());
        const std::size_t size = (wire.size() + pieces - 1) / pieces;
        gapMs = behaviour.delayMs;
        for (std::size_t at = 0, piece = 1; at < wire.size(); at += size, ++piece) {
            const auto end = wire.begin() + static_cast<std::ptrdiff_t>(std::min(at + size, wire.size()));
            chunks.push_back({Bytes(wire.begin() + static_cast<std::ptrdiff_t>(at), end), {}, request,
                              meaning + " (burst " + std::to_string(piece) + ")"});
        }
        break;
    }
    case Kind::kNoise:
        chunks.push_back({behaviour.bytes, {}, request, "noise"});
        chunks.push_back({EncodeReply(reply), {}, request, meaning});
        break;
    case Kind::kForeignFrame: {
        char note[40];
        std::snprintf(note, sizeof(note), "foreign frame (address 00 %02X)", behaviour.address1);
        chunks.push_back({EncodeFrame(0x00, behaviour.address1, reply), {}, request, note});
        chunks.push_back({EncodeReply(reply), {}, request, meaning});
        break;
    }
    }

    Queue(std::move(chunks), delayMs, gapMs);
}

// Queues pieces of one reply: the first after replyDelayMs plus
// `extraDelayMs`, counted from now or from the end of the output still
// waiting, whichever is later; the others `gapMs` apart.
void PtySimulator::Queue(std::vector<Chunk> chunks, unsigned extraDelayMs, unsigned gapMs)
{
    Clock::time_point due = std::max(Clock::now(), busyUntil_) +
                            std::chrono::milliseconds(options_.replyDelayMs + extraDelayMs);
    for (Chunk &chunk : chunks) {
        chunk.due = due;
        busyUntil_ = due;
        outgoing_.push_back(std::move(chunk));
        due += std::chrono::milliseconds(gapMs);
    }
}

void PtySimulator::SendDue()
{
    while (!outgoing_.empty() && outgoing_.front().due <= Clock::now()) {
        Chunk chunk = std::move(outgoing_.front());
        outgoing_.pop_front();
        Trace("sim->host", chunk.bytes, chunk.note);
        WriteOut(chunk.bytes);
        if (options_.keepHistory) {
            std::lock_guard<std::mutex> lock(mutex_);
            Bytes &sent = replies_[chunk.request];
            sent.insert(sent.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
    }
}

// Writes to the master, a byte per byte time when pacing. Bytes the slave's
// queue will not take within a second are dropped, like a line nobody
// listens to.
void PtySimulator::WriteOut(const Bytes &bytes)
{
    const std::size_t step = options_.pace38400 ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t written = write(master_, bytes.data() + at, std::min(step, bytes.size() - at));
        if (written > 0) {
            at += static_cast<std::size_t>(written);
            if (options_.pace38400 && at < bytes.size()) {
                std::this_thread::sleep_for(kByteTime);
            }
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        pollfd entry{master_, POLLOUT, 0};
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || poll(&entry, 1, kWriteWaitMs) <= 0 ||
            (entry.revents & POLLOUT) == 0) {
            return;
        }
    }
}

void PtySimulator::Trace(const char *direction, const Bytes &bytes, const std::string &meaning)
{
    if (options_.trace == nullptr) {
        return;
    }
    const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start_;
    const std::string hex = HexBytes(bytes);
    std::fprintf(options_.trace, "%9.3f ms  %s  %s%s%s\n", elapsed.count(), direction, hex.c_str(),
                 hex.empty() ? "" : "  ", meaning.c_str());
    std::fflush(options_.trace);
}

}  // namespace gpio_sim
