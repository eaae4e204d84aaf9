// Turns a request payload into the stuffed frame in the transmit buffer.
#ifndef GPIOLINK_LINK_FRAME_ENCODER_H
#define GPIOLINK_LINK_FRAME_ENCODER_H

#include <cstdint>

namespace gpiolink {

constexpr std::uint32_t kTransmitBufferSize = 256;

// The process-wide transmit buffer and the count of its bytes still to send.
extern std::uint8_t g_transmitBuffer[kTransmitBufferSize];
extern std::uint32_t g_transmitLength;

// Writes STX, the request address bytes, the payload, the CRC (high byte
// first) and ETX into the transmit buffer from offset 0. Sets the transmit
// length to length + 6 and returns it. Callers keep the stuffed frame within
// the buffer: every request of the library has a payload of at most 4 bytes.
std::uint32_t BuildRequestFrame(const std::uint8_t *payload, std::uint32_t length);

// Escapes the control bytes between STX and ETX, in place, and grows the
// transmit length by the number of escape sequences inserted.
void StuffFrame();

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_FRAME_ENCODER_H
