#include "simulator.h"

#include <cstdio>
#include <utility>

#include "trace_format.h"

namespace gpio_sim {
namespace {

using gpio_tools::EncodeReply;
using gpio_tools::WriteTrace;

constexpr std::uint8_t kRequestAddress1 = 0x40;

// The serving loop never waits longer than this for the line, so it
// notices work and a stop quickly without spinning.
constexpr int kIdleMs = 20;

SimOptions Checked(SimOptions options)
{
    CheckSimOptions(options);
    return options;
}

}  // namespace

// ---- setup and teardown --------------------------------------------------

Simulator::Simulator(SimOptions options, std::unique_ptr<SimLine> line)
    : options_(Checked(std::move(options))),
      model_(options_.versionText),
      start_(Clock::now()),
      line_(std::move(line)),
      schedule_(options_.replyDelayMs),
      lineFaults_(options_)
{
    for (const auto &entry : options_.statusOverride) {
        overrides_[static_cast<int>(gpio_tools::CommandNamed(entry.first))] = entry.second;
    }
    thread_ = std::thread([this] { Serve(); });
}

Simulator::~Simulator() { Stop(); }

void Simulator::Stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        line_->Wake();
        thread_.join();
    }
}

// ---- accessors -----------------------------------------------------------

ControllerModel &Simulator::Model() { return model_; }

void Simulator::Script(Behaviour behaviour)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(behaviour));
}

std::vector<Bytes> Simulator::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<Bytes> Simulator::Replies() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
}

std::vector<std::chrono::steady_clock::time_point> Simulator::RequestTimes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requestTimes_;
}

std::size_t Simulator::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(stats_.requests);
}

bool Simulator::WaitForRequests(std::size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return received_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stats_.requests >= n; });
}

Simulator::Stats Simulator::GetStats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

// ---- serving -------------------------------------------------------------

void Simulator::Serve()
{
    while (!stopping_) {
        std::uint8_t buffer[256];
        const std::size_t n = line_->Read(buffer, sizeof(buffer), schedule_.WaitMs(kIdleMs));
        if (stopping_) {
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            WirePiece piece;
            if (stream_.Push(buffer[i], piece) && piece.kind == WirePiece::Kind::kFrame) {
                OnFrame(piece.raw, piece.frame);
            }
        }
        SendDue();
    }
}

void Simulator::OnFrame(const Bytes &raw, const DecodedFrame &frame)
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
std::optional<Behaviour> Simulator::NextBehaviour(Request &request, std::string &meaning)
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
LineFaults Simulator::SendThroughLine(std::size_t index, const Request &request, Bytes reply)
{
    std::string note;
    const std::optional<std::uint8_t> status = overrides_[static_cast<int>(request.command)];
    if (status) {
        reply = {*status};
        note = " (status override)";
    }
    Bytes wire;
    const LineFaults faults = lineFaults_.Pass(EncodeReply(reply), wire);
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
void Simulator::Count(Outcome outcome, const LineFaults &faults)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CountFrame(stats_, outcome, faults);
    }
    received_.notify_all();
}

void Simulator::SendDue()
{
    ReplySchedule::Chunk chunk;
    while (schedule_.TakeDue(chunk)) {
        Trace(gpio_tools::kDeviceToHost, chunk.bytes, chunk.note);
        line_->Write(chunk.bytes, options_.pace38400);
        if (options_.replyTimes != nullptr) {
            const auto micros = [](Clock::time_point at) {
                return static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
            };
            std::fprintf(options_.replyTimes, "%zu %lld %lld\n", chunk.request, micros(chunk.received),
                         micros(Clock::now()));
            std::fflush(options_.replyTimes);
        }
        if (options_.keepHistory) {
            std::lock_guard<std::mutex> lock(mutex_);
            Bytes &sent = replies_[chunk.request];
            sent.insert(sent.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
    }
}

void Simulator::Trace(const char *direction, const Bytes &bytes, const std::string &meaning)
{
    if (options_.trace == nullptr) {
        return;
    }
    const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start_;
    WriteTrace(options_.trace, {elapsed.count(), direction, bytes, "", meaning}, false);
}

}  // namespace gpio_sim
