// Scripted behaviours: how the simulator answers one request, and the
// pieces of output each behaviour turns the model's reply into.
#ifndef GPIO_SIM_BEHAVIOUR_H
#define GPIO_SIM_BEHAVIOUR_H

#include <cstdint>
#include <string>
#include <vector>

#include "request.h"
#include "wire_codec.h"

namespace gpio_sim {

using gpio_tools::Bytes;
using gpio_tools::Request;

// How the simulator answers one request.
struct Behaviour {
    enum class Kind {
        kNormal,        // the model's reply
        kSilence,       // no reply at all
        kBadCrc,        // the reply with one CRC bit flipped
        kStatus,        // `status` alone, or with the model's data (keepData)
        kRawReply,      // exactly `bytes` on the wire
        kDelay,         // the reply after `delayMs`
        kSplit,         // the reply in `pieces` bursts, `delayMs` apart
        kNoise,         // `bytes`, then the reply
        kForeignFrame,  // a frame with address 00 `address1` carrying the
                        // reply's payload, then the reply
        kStale,         // the reply after `delayMs`, meant to land after
                        // the host's time-out as stale input
        kDamagedThenGood,  // the reply with one CRC bit flipped, then the
                           // reply itself `delayMs` later
    };

    Kind kind = Kind::kNormal;
    unsigned delayMs = 0;
    unsigned pieces = 1;
    std::uint8_t status = 0;
    bool keepData = false;
    std::uint8_t address1 = 0x40;
    Bytes bytes;

    static Behaviour Normal();
    static Behaviour Silence();
    static Behaviour BadCrc();
    // The reply payload becomes `status` alone; with keepData, `status`
    // followed by the data the model would have sent.
    static Behaviour Status(std::uint8_t status, bool keepData = false);
    static Behaviour RawReply(Bytes wire);
    static Behaviour Delay(unsigned ms);
    static Behaviour Split(unsigned pieces, unsigned gapMs);
    static Behaviour Noise(Bytes noise = {0x41, 0x03, 0xFF});
    static Behaviour ForeignFrame(std::uint8_t address1 = 0x40);
    static Behaviour Stale(unsigned ms = 150);
    static Behaviour DamagedThenGood(unsigned gapMs = 40);
};

// One piece of output and its meaning for the trace.
struct ReplyPiece {
    Bytes bytes;
    std::string note;
};

// A reply as a behaviour shapes it: the pieces, the first `delayMs` late and
// the others `gapMs` apart. No pieces means no reply.
struct ShapedReply {
    std::vector<ReplyPiece> pieces;
    unsigned delayMs = 0;
    unsigned gapMs = 0;
};

// Shapes the model's `reply` to `request` as `behaviour` says.
ShapedReply Shape(const Behaviour &behaviour, const Request &request, const Bytes &reply);

}  // namespace gpio_sim

#endif  // GPIO_SIM_BEHAVIOUR_H
