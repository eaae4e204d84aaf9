// Standard input and the stop requests on Windows: Ctrl+C and Ctrl+Break
// set an event that the main thread waits on, while a thread of its own
// reads standard input. A read of a console or a pipe cannot be woken, so
// that thread is left behind when the program ends.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

#include "stdin_commands.h"

namespace gpio_sim {
namespace {

HANDLE g_stopRequested = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        SetEvent(g_stopRequested);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void HoldStopRequests()
{
    g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ServeStdinUntilStopped(ControllerModel &model, std::FILE *log)
{
    // The reader outlives this call: once it returns, the model is gone,
    // and the reader, told so under the lock, no longer touches it.
    struct Shared {
        std::mutex mutex;
        bool serving = true;
    };
    const auto shared = std::make_shared<Shared>();
    std::thread([shared, &model, log] {
        StdinLines lines(model, log);
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[512];
        DWORD n = 0;
        // Ends at the end of input (0 bytes) or when there is none to read.
        while (input != nullptr && input != INVALID_HANDLE_VALUE && ReadFile(input, buffer, sizeof(buffer), &n, nullptr) != 0 &&
               n > 0) {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            if (!shared->serving) {
                return;
            }
            lines.Feed(buffer, n);
        }
    }).detach();
    WaitForSingleObject(g_stopRequested, INFINITE);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->serving = false;
}

}  // namespace gpio_sim
