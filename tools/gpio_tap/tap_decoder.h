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
#include "trace_format.h"

namespace gpio_tap {

using gpio_sim::Bytes;
using gpio_sim::TraceEntry;

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

private:
    void Report(std::int64_t us, Side from, const gpio_sim::WirePiece &piece);
    void Emit(std::int64_t us, const char *direction, const Bytes &bytes, const char *event, std::string meaning);

    Sink sink_;
    gpio_sim::FrameStream fromApplication_;
    gpio_sim::FrameStream fromDevice_;
    Bytes lastRequest_;               // the payload the next reply answers
    std::int64_t silenceAt_ = -1;     // when the last request counts as unanswered
    bool lastRequestSilenced_ = false;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_TAP_DECODER_H
