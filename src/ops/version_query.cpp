// GPIO_GetVersion: the controller's version text.
#include <cstring>

#include "gpiolink.h"
#include "interface/current_interface.h"
#include "interface/request_exchange.h"

extern "C" GPIOLINK_API int GPIO_GetVersion(HANDLE handle, char *buffer, int bufferSize)
{
    using namespace gpiolink;
    // No buffer: refused before anything is sent, as a size of 0 is.
    if (buffer == nullptr) {
        return IsCurrentHandle(handle) ? GPIO_RESULT_UNEXPECTED : GPIO_RESULT_BAD_HANDLE;
    }
    const std::uint8_t request[] = {kCommandVersion};
    // The reply payload goes straight into the caller's buffer, cut to its
    // size. After a non-zero status the buffer keeps the raw payload.
    std::int32_t count = bufferSize;
    auto *reply = reinterpret_cast<std::uint8_t *>(buffer);
    const int result = RunExchange(handle, request, sizeof(request), reply, count, GPIO_RESULT_UNEXPECTED);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    // Drop the status byte and terminate the text within the copied bytes,
    // so the terminator always lies inside the caller's buffer.
    const auto copied = static_cast<std::size_t>(count);
    std::memmove(buffer, buffer + 1, copied - 1);
    buffer[copied - 1] = '\0';
    return GPIO_RESULT_OK;
}
