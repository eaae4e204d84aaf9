// One direction of the wire as a reader sees it: whole frames, kept exactly
// as they came off the wire (still stuffed) beside their decoded form, and
// the bytes that belong to no frame. Shared by gpio-sim, which answers the
// frames, and gpio-tap, which reports all of it.
#ifndef GPIO_TOOLS_FRAME_STREAM_H
#define GPIO_TOOLS_FRAME_STREAM_H

#include <cstddef>
#include <cstdint>

#include "wire_codec.h"

namespace gpio_tools {

// What a run of wire bytes turned out to be.
struct WirePiece {
    enum class Kind {
        kFrame,   // STX...ETX that decodes; `frame` holds it (CRC checked)
        kBroken,  // STX... cut short by another STX, too short, with a bad
                  // escape or too long: FrameDecoder drops it
        kNoise,   // bytes outside any frame
    };
    Kind kind = Kind::kNoise;
    Bytes raw;  // the wire bytes, at most kMaxRaw of them
    DecodedFrame frame;
};

class FrameStream {
public:
    // The decoder drops a frame whose body outgrows its limit, and each body
    // byte takes at most two wire bytes, so no frame needs more than this.
    // A piece keeps its first kMaxRaw bytes; a longer run of noise is
    // reported in pieces of kMaxRaw.
    static constexpr std::size_t kMaxRaw = 2 * FrameDecoder::kMaxBody + 2;

    // Takes one byte; true when it completed a piece, then in `piece`. An
    // STX ends a run of noise or a frame in progress, an ETX ends a frame.
    bool Push(std::uint8_t byte, WirePiece &piece);

    // Ends a run of noise now (a reader that has gone quiet); true if there
    // was one, then in `piece`. A frame in progress stays open.
    bool FlushNoise(WirePiece &piece);

private:
    bool Emit(WirePiece::Kind kind, WirePiece &piece);

    FrameDecoder decoder_;
    Bytes raw_;
    bool inFrame_ = false;
};

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_FRAME_STREAM_H
