#include "behaviour.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "controller_model.h"

namespace gpio_sim {
namespace {

using gpio_tools::Crc16Bitwise;
using gpio_tools::DescribeReply;
using gpio_tools::EncodeFrame;
using gpio_tools::EncodeReply;
using gpio_tools::WrapBody;

Behaviour Of(Behaviour::Kind kind)
{
    Behaviour b;
    b.kind = kind;
    return b;
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

Behaviour Behaviour::DamagedThenGood(unsigned gapMs)
{
    Behaviour b = Of(Kind::kDamagedThenGood);
    b.delayMs = gapMs;
    return b;
}

ShapedReply Shape(const Behaviour &behaviour, const Request &request, const Bytes &reply)
{
    using Kind = Behaviour::Kind;
    const std::string meaning = DescribeReply(request, reply);
    ShapedReply shaped;
    auto &pieces = shaped.pieces;
    switch (behaviour.kind) {
    case Kind::kNormal:
        pieces.push_back({EncodeReply(reply), meaning});
        break;
    case Kind::kSilence:
        break;
    case Kind::kBadCrc:
        pieces.push_back({ReplyWithBadCrc(reply), meaning + " (CRC corrupted)"});
        break;
    case Kind::kStatus: {
        Bytes changed{behaviour.status};
        if (behaviour.keepData && reply.size() > 1) {
            changed.insert(changed.end(), reply.begin() + 1, reply.end());
        }
        pieces.push_back({EncodeReply(changed), DescribeReply(request, changed) + " (scripted)"});
        break;
    }
    case Kind::kRawReply:
        pieces.push_back({behaviour.bytes, "raw reply (scripted)"});
        break;
    case Kind::kDelay:
        shaped.delayMs = behaviour.delayMs;
        pieces.push_back({EncodeReply(reply), meaning + " (delayed)"});
        break;
    case Kind::kStale:
        shaped.delayMs = behaviour.delayMs;
        pieces.push_back({EncodeReply(reply), meaning + " (late)"});
        break;
    case Kind::kDamagedThenGood:
        shaped.gapMs = behaviour.delayMs;
        pieces.push_back({ReplyWithBadCrc(reply), meaning + " (CRC corrupted)"});
        pieces.push_back({EncodeReply(reply), meaning + " (late)"});
        break;
    case Kind::kSplit: {
        const Bytes wire = EncodeReply(reply);
        const std::size_t count = std::min<std::size_t>(behaviour.pieces, wire.size());
        const std::size_t size = (wire.size() + count - 1) / count;
        shaped.gapMs = behaviour.delayMs;
        for (std::size_t at = 0, piece = 1; at < wire.size(); at += size, ++piece) {
            const auto end = wire.begin() + static_cast<std::ptrdiff_t>(std::min(at + size, wire.size()));
            pieces.push_back({Bytes(wire.begin() + static_cast<std::ptrdiff_t>(at), end),
                              meaning + " (burst " + std::to_string(piece) + ")"});
        }
        break;
    }
    case Kind::kNoise:
        pieces.push_back({behaviour.bytes, "noise"});
        pieces.push_back({EncodeReply(reply), meaning});
        break;
    case Kind::kForeignFrame: {
        char note[40];
        std::snprintf(note, sizeof(note), "foreign frame (address 00 %02X)", behaviour.address1);
        pieces.push_back({EncodeFrame(0x00, behaviour.address1, reply), note});
        pieces.push_back({EncodeReply(reply), meaning});
        break;
    }
    }
    return shaped;
}

}  // namespace gpio_sim
