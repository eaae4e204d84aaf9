#include "link/frame_encoder.h"

#include <cstring>

#include "link/crc16.h"
#include "link/frame_format.h"

namespace gpiolink {

std::uint8_t g_transmitBuffer[kTransmitBufferSize];
std::uint32_t g_transmitLength;

namespace {

std::uint8_t EscapedForm(std::uint8_t byte)
{
    if (byte == kStx) {
        return kEscapedStx;
    }
    return byte == kEtx ? kEscapedEtx : kEscapedEscape;
}

}  // namespace

std::uint32_t BuildRequestFrame(const std::uint8_t *payload, std::uint32_t length)
{
    std::uint8_t *frame = g_transmitBuffer;
    frame[0] = kStx;
    frame[1] = kRequestAddress0;
    frame[2] = kRequestAddress1;
    if (length > 0) {
        std::memcpy(frame + 3, payload, length);
    }
    const std::uint16_t crc = Crc16(frame + 1, length + 2);
    frame[3 + length] = static_cast<std::uint8_t>(crc >> 8);
    frame[4 + length] = static_cast<std::uint8_t>(crc & 0xFFU);
    frame[5 + length] = kEtx;
    g_transmitLength = length + kFrameOverhead;
    return g_transmitLength;
}

void StuffFrame()
{
    // Works from the end towards the front, so the frame grows in place.
    const std::uint32_t length = g_transmitLength;
    std::uint8_t *frame = g_transmitBuffer;
    std::uint32_t pending = 0;
    for (std::uint32_t i = 1; i + 1 < length; ++i) {
        pending += NeedsEscape(frame[i]) ? 1U : 0U;
    }
    if (pending == 0) {
        return;
    }
    g_transmitLength = length + pending;
    frame[length + pending - 1] = kEtx;
    std::uint32_t destination = length + pending - 2;
    // Offset 1 holds the first address byte, 0x00, which never moves: once
    // every escape is placed the rest of the frame is already in position.
    for (std::uint32_t source = length - 2; pending > 0 && source >= 2; --source) {
        const std::uint8_t byte = frame[source];
        if (NeedsEscape(byte)) {
            frame[destination] = EscapedForm(byte);
            frame[destination - 1] = kEscape;
            destination -= 2;
            --pending;
        } else {
            frame[destination] = byte;
            --destination;
        }
    }
}

}  // namespace gpiolink
