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

// The most any one reception may last, however many bytes keep arriving: a
// line that never stops (a device that streams data, noise that never
// completes a frame) would otherwise hold the call for ever, since every
// byte restarts the silence time-out. Derived from the longest reply the
// receive buffer can hold:
//   - the frame fills the 512-byte buffer: STX and ETX plus 510 bytes
//     between them, each of which may be stuffed into two, so at most
//     2 + 2 * 510 = 1022 bytes on the wire;
//   - at 38400 baud with 10 bits a byte (8N1) the line carries 3840 bytes a
//     second, so those take 1022 / 3840 s = 266 ms;
//   - the reply may begin up to one silence time-out (100 ms) after the
//     request;
//   - 366 ms in all; the rest of the second is margin for a driver that
//     holds bytes back (a USB adapter's latency timer), a controller that
//     pauses inside its reply and a loaded machine.
// A reply that keeps its bytes coming for longer than this is no reply this
// library can take, so nothing a healthy controller sends is cut short.
constexpr std::uint32_t kReceiveLimitMs = 1000;

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
// silence after the last byte read, or kReceiveLimitMs after the start
// whatever arrives) destination and capacity are untouched. Bytes already
// waiting in the queue are never taken for silence: before it reports
// Timeout the receiver reads whatever the queue holds.
LinkResult ReceiveFrame(PortHandle port, std::uint8_t *destination, std::int32_t &capacity);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_FRAME_RECEIVER_H
