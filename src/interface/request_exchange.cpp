#include "interface/request_exchange.h"

#include "interface/current_interface.h"
#include "interface/line_after_failure.h"
#include "link/frame_encoder.h"
#include "link/frame_receiver.h"

namespace gpiolink {
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
    SettleAfterFailure(os, handle);
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
    if (outcome != FrameOk) {
        NoteFailedExchange(handle, CurrentPortIdentity(), os.tickMilliseconds());
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
