// The frame on the wire, in both directions:
//
//   STX | address 0x00 | address 0x40 (request) or 0x00 (reply) | payload |
//   CRC high | CRC low | ETX
//
// The CRC covers the two address bytes and the payload, unstuffed. Between
// STX and ETX every STX, ETX or escape byte is sent as the escape byte
// followed by a replacement, so a raw STX or ETX always marks a frame edge.
#ifndef GPIOLINK_LINK_FRAME_FORMAT_H
#define GPIOLINK_LINK_FRAME_FORMAT_H

#include <cstdint>

namespace gpiolink {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEscape = 0x7D;

// The replacements sent after the escape byte.
constexpr std::uint8_t kEscapedStx = 0xE2;
constexpr std::uint8_t kEscapedEtx = 0xE3;
constexpr std::uint8_t kEscapedEscape = 0x5D;

constexpr std::uint8_t kRequestAddress0 = 0x00;
constexpr std::uint8_t kRequestAddress1 = 0x40;
// A reply is accepted only with this second address byte.
constexpr std::uint8_t kReplyAddress1 = 0x00;

// STX, two address bytes, two CRC bytes and ETX around the payload.
constexpr std::uint32_t kFrameOverhead = 6;

constexpr bool NeedsEscape(std::uint8_t byte) { return byte == kStx || byte == kEtx || byte == kEscape; }

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_FRAME_FORMAT_H
