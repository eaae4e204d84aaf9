// The port and bit operations: one exchange each, differing only in their
// request and in what they read from a successful reply.
#include "gpiolink.h"
#include "interface/current_interface.h"
#include "interface/request_exchange.h"

namespace gpiolink {
namespace {

// Reply offset of the data byte that follows the status.
constexpr std::int32_t kReplyData = 1;

// Bit levels in a bit test reply.
constexpr std::uint8_t kLevelHigh = 'H';
constexpr std::uint8_t kLevelLow = 'L';

// Runs the exchange with the request composed in `work`, and receives the
// reply over it.
int RunCommand(HANDLE handle, std::uint8_t (&work)[kWorkBufferSize], std::uint32_t requestLength)
{
    std::int32_t count = static_cast<std::int32_t>(kWorkBufferSize);
    return RunExchange(handle, work, requestLength, work, count, GPIO_RESULT_BAD_HANDLE);
}

// Runs the exchange and hands back the data byte after the status. A
// success reply without it is unexpected: the request's port byte, still in
// the work buffer, would otherwise come back as data.
int RunQuery(HANDLE handle, std::uint8_t (&work)[kWorkBufferSize], std::uint32_t requestLength, std::uint8_t &data)
{
    std::int32_t count = static_cast<std::int32_t>(kWorkBufferSize);
    const int result = RunExchange(handle, work, requestLength, work, count, GPIO_RESULT_BAD_HANDLE);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    if (count <= kReplyData) {
        return GPIO_RESULT_UNEXPECTED;
    }
    data = work[kReplyData];
    return GPIO_RESULT_OK;
}

}  // namespace
}  // namespace gpiolink

using namespace gpiolink;

extern "C" GPIOLINK_API int GPIO_Input(HANDLE handle, unsigned char port, unsigned char *value)
{
    // Nowhere to put the value: refused before anything is sent.
    if (value == nullptr) {
        return IsCurrentHandle(handle) ? GPIO_RESULT_UNEXPECTED : GPIO_RESULT_BAD_HANDLE;
    }
    std::uint8_t work[kWorkBufferSize] = {kCommandInput, port};
    std::uint8_t data = 0;
    const int result = RunQuery(handle, work, 2, data);
    if (result == GPIO_RESULT_OK) {
        *value = data;
    }
    return result;
}

extern "C" GPIOLINK_API int GPIO_Output(HANDLE handle, unsigned char port, unsigned char value)
{
    std::uint8_t work[kWorkBufferSize] = {kCommandOutput, port, value};
    return RunCommand(handle, work, 3);
}

extern "C" GPIOLINK_API int GPIO_BitTest(HANDLE handle, unsigned char port, unsigned char bit)
{
    std::uint8_t work[kWorkBufferSize] = {kCommandBitTest, port, bit};
    std::uint8_t level = 0;
    const int result = RunQuery(handle, work, 3, level);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    switch (level) {
    case kLevelHigh:
        return GPIO_RESULT_BIT_HIGH;
    case kLevelLow:
        return GPIO_RESULT_BIT_LOW;
    default:
        return GPIO_RESULT_UNEXPECTED;
    }
}

extern "C" GPIOLINK_API int GPIO_BitSet(HANDLE handle, unsigned char port, unsigned char bit)
{
    std::uint8_t work[kWorkBufferSize] = {kCommandBitPrefix, kCommandBitSet, port, bit};
    return RunCommand(handle, work, 4);
}

extern "C" GPIOLINK_API int GPIO_BitReset(HANDLE handle, unsigned char port, unsigned char bit)
{
    std::uint8_t work[kWorkBufferSize] = {kCommandBitPrefix, kCommandBitClear, port, bit};
    return RunCommand(handle, work, 4);
}
