// What gpio-tap makes of the bytes it relays: one trace entry per frame in
// either direction, with its meaning, and a flag for whatever a healthy
// line would not carry:
//   bad-crc   a frame whose CRC does not match
//   foreign   a frame with other addresses than a request (00 40) from the
//             application or a reply (00 00) from the device
//   broken    STX... that never became a frame: cut short by another STX,
//             a bad escape, too short or too long
//   noise     bytes outside any frame
//   silence   a request that got no byte back within 100 ms
// The decoder works on timestamps given to it, never on the clock, so that
// replaying a capture gives exactly the trace of the live run.
#ifndef GPIO_TAP_TAP_DECODER_H
#define GPIO_TAP_TAP_DECODER_H

#include <cstdint>
#include <functional>
#include <string>

#include "frame_stream.h"
#include "request.h"
#include "trace_format.h"

namespace gpio_tap {

using gpio_tools::Bytes;
using gpio_tools::TraceEntry;

// What the tap saw, for the summary when it stops.
struct TapCounts {
    std::uint64_t requests = 0;  // frames from the application
    std::uint64_t replies = 0;   // frames from the device
    std::uint64_t badCrc = 0;    // frames either way whose CRC does not match
    std::uint64_t foreign = 0;
    std::uint64_t broken = 0;
    std::uint64_t noise = 0;     // runs of bytes outside frames
    std::uint64_t silences = 0;
};

// Who sent the bytes.
enum class Side { kApplication, kDevice };

class TapDecoder {
public:
    // How long a request may wait for the first byte of its reply.
    static constexpr std::int64_t kSilenceUs = 100000;

    using Sink = std::function<void(const TraceEntry &)>;
    explicit TapDecoder(Sink sink);

    // Bytes that `from` sent, read at `us` microseconds since the start.
    // Noise is reported at the end of each call, frames when complete.
    void Take(std::int64_t us, Side from, const Bytes &bytes);

    // The time is now `us`: reports a request whose reply is overdue.
    void Tick(std::int64_t us);

    // When Tick next has something to report; -1 when nothing is pending.
    std::int64_t Deadline() const;

    const TapCounts &Counts() const { return counts_; }

private:
    void Report(std::int64_t us, Side from, const gpio_tools::WirePiece &piece);
    void Emit(std::int64_t us, const char *direction, const Bytes &bytes, const char *event, std::string meaning);

    Sink sink_;
    gpio_tools::FrameStream fromApplication_;
    gpio_tools::FrameStream fromDevice_;
    TapCounts counts_;
    gpio_tools::Request lastRequest_;  // the request the next reply answers
    std::int64_t silenceAt_ = -1;     // when the last request counts as unanswered
    bool lastRequestSilenced_ = false;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_TAP_DECODER_H
