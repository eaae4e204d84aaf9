// Collects one reply frame from a port: finds it between STX and ETX,
// removes the stuffing, checks the second address byte and the CRC, and
// hands over the payload.
#ifndef GPIOLINK_LINK_FRAME_RECEIVER_H
#define GPIOLINK_LINK_FRAME_RECEIVER_H

#include <cstdint>

#include "link/serial_services.h"

namespace gpiolink {

constexpr std::uint32_t kReceiveBufferSize = 512;

// The line counts as silent after this long without a byte.
constexpr std::uint32_t kSilenceTimeoutMs = 100;

// How long the receiver waits for input between polls of the queue.
constexpr std::uint32_t kPollIntervalMs = 10;

// The process-wide receive buffer (the current frame unstuffed, STX at
// offset 0) and the count of frame bytes stored in it.
extern std::uint8_t g_receiveBuffer[kReceiveBufferSize];
extern std::uint32_t g_receiveLength;

enum LinkResult : std::uint8_t {
    FrameOk = 0,
    CrcError = 0xFB,
    Timeout = 0xFC,
};

// Waits for a reply frame on port. On entry capacity is the most payload
// bytes the caller accepts. On FrameOk at most that many payload bytes are
// copied to destination and capacity becomes min(payload length, capacity).
// On CrcError (first frame that fails its check) and Timeout (100 ms of
// silence after the last byte read) destination and capacity are untouched.
LinkResult ReceiveFrame(PortHandle port, std::uint8_t *destination, std::int32_t &capacity);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_FRAME_RECEIVER_H
