#include "interface/request_exchange.h"

#include "interface/current_interface.h"
#include "link/frame_encoder.h"
#include "link/frame_receiver.h"

namespace gpiolink {
namespace {

// The last exchange that ended in Timeout: its port and the tick at which
// the receiver gave up. A reply frame carries no request number, so a reply
// that comes after the time-out would be taken as the answer to the next
// request if that request were sent while it is still on its way.
struct TimedOutExchange {
    bool pending = false;
    PortHandle port = nullptr;
    std::uint32_t at = 0;
};

TimedOutExchange g_timedOut;

// After a time-out on this port, waits until the line has been silent for
// kSilenceTimeoutMs counted from the time-out, discarding whatever arrives
// meanwhile. A call that comes later than that pays nothing: the purges
// that follow drop anything that landed before it. A line that never falls
// silent is given up on after kReceiveLimitMs.
void AwaitSilenceAfterTimeout(const SerialServices &os, PortHandle port)
{
    if (!g_timedOut.pending || g_timedOut.port != port) {
        return;
    }
    g_timedOut.pending = false;
    const std::uint32_t start = os.tickMilliseconds();
    std::uint32_t lastHeard = g_timedOut.at;
    for (std::uint32_t now = start; static_cast<std::uint32_t>(now - lastHeard) < kSilenceTimeoutMs;
         now = os.tickMilliseconds()) {
        if (static_cast<std::uint32_t>(now - start) >= kReceiveLimitMs) {
            return;
        }
        const bool heard = os.countWaitingBytes(port) != 0;
        // A port that refuses the purge is not usable: the exchange's own
        // purge then ends the call at once.
        if (!os.purgeReceiveQueue(port)) {
            return;
        }
        if (heard) {
            lastHeard = now;
        }
        const std::uint32_t left = kSilenceTimeoutMs - static_cast<std::uint32_t>(now - lastHeard);
        os.waitForInput(port, left < kPollIntervalMs ? left : kPollIntervalMs);
    }
}

}  // namespace

void ForgetTimeout() { g_timedOut.pending = false; }

bool WriteFrame(PortHandle port)
{
    const SerialServices &os = Services();
    std::uint32_t position = 0;
    while (g_transmitLength != 0) {
        const std::uint32_t taken = os.writeBytes(port, g_transmitBuffer + position, g_transmitLength);
        if (taken == 0) {
            return false;
        }
        // A driver never reports more than it was given; clamp all the same.
        const std::uint32_t counted = taken < g_transmitLength ? taken : g_transmitLength;
        position += counted;
        g_transmitLength -= counted;
    }
    return true;
}

int ResultOfStatus(std::uint8_t status)
{
    switch (status) {
    case kStatusOk:
        return GPIO_RESULT_OK;
    case kStatusFD:
        return GPIO_RESULT_IO_ERROR;
    case kStatusFE:
        return GPIO_RESULT_DEVICE_FE;
    case kStatusFF:
        return GPIO_RESULT_DEVICE_FF;
    default:
        return GPIO_RESULT_UNEXPECTED;
    }
}

int RunExchange(HANDLE handle, const std::uint8_t *payload, std::uint32_t payloadLength, std::uint8_t *reply,
                std::int32_t &capacity, int purgeFailureResult)
{
    if (!IsCurrentHandle(handle)) {
        return GPIO_RESULT_BAD_HANDLE;
    }
    const SerialServices &os = Services();
    AwaitSilenceAfterTimeout(os, handle);
    // Stale bytes, such as a late reply to an earlier exchange, must never
    // be taken for this reply. The first purge's result is not examined; a
    // port that refuses the second is not usable.
    os.purgeReceiveQueue(handle);
    if (!os.purgeReceiveQueue(handle)) {
        return purgeFailureResult;
    }
    BuildRequestFrame(payload, payloadLength);
    StuffFrame();
    if (!WriteFrame(handle)) {
        os.sleepMilliseconds(kExchangePauseMs);
        return GPIO_RESULT_IO_ERROR;
    }
    const LinkResult outcome = ReceiveFrame(handle, reply, capacity);
    if (outcome == Timeout) {
        g_timedOut = {true, handle, os.tickMilliseconds()};
    }
    os.sleepMilliseconds(kExchangePauseMs);
    if (outcome == CrcError) {
        return GPIO_RESULT_IO_ERROR;
    }
    if (outcome == Timeout) {
        return GPIO_RESULT_TIMEOUT;
    }
    if (capacity < 1) {
        return GPIO_RESULT_UNEXPECTED;
    }
    return ResultOfStatus(reply[0]);
}

}  // namespace gpiolink
