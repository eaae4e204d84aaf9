// gpioctl watch without a terminal: one line per change, and the choice
// between that and the screen.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "text_output.h"
#include "watch.h"
#include "watch_model.h"

namespace gpioctl {
namespace {

volatile std::sig_atomic_t g_stopLines = 0;

void StopLines(int) { g_stopLines = 1; }

int WatchLines(HANDLE handle, const WatchOptions &options, const std::string &version)
{
    const bool json = options.json;
    std::signal(SIGINT, StopLines);
    std::signal(SIGTERM, StopLines);
    std::string ports;  // "1 2"
    for (const std::uint8_t port : options.ports) {
        ports += (ports.empty() ? "" : " ") + std::to_string(port);
    }
    if (json) {
        const gpio_tools::Json start = {{"port", gpio_tools::JsonText(options.portName)},
                                        {"version", gpio_tools::JsonText(version)},
                                        {"watch", options.ports}};
        std::printf("%s\n", gpio_tools::JsonLine(start).c_str());
    } else {
        std::printf("watching port%s %s on %s, version \"%s\"\n", options.ports.size() > 1 ? "s" : "", ports.c_str(),
                    gpio_tools::SafeText(options.portName).c_str(), gpio_tools::SafeText(version).c_str());
    }
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const auto now = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    WatchModel model(options.ports);
    unsigned long printed = 0;
    while (g_stopLines == 0 && (options.count == 0 || printed < options.count)) {
        const double wait = model.WaitBefore(now());
        if (wait > 0.0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(wait, 0.1)));
            continue;
        }
        const std::size_t index = model.Next(now());
        unsigned char value = 0;
        const int result = GPIO_Input(handle, model.Ports()[index].port, &value);
        const double at = now();
        const PollChange change = model.Record(index, result, value, at);
        if (change != PollChange::kNone) {
            std::printf("%s\n", ChangeLine(model.Ports()[index], change, at * 1000.0, json).c_str());
            if (std::fflush(stdout) != 0) {
                return 1;  // nobody reads the lines any more
            }
            ++printed;
        }
    }
    return 0;
}

}  // namespace

#ifdef _WIN32
// The Windows console gets the lines; the screen is for POSIX terminals.
int WatchOnTerminal(HANDLE, const WatchOptions &, const std::string &) { return -1; }
#endif

int Watch(HANDLE handle, const WatchOptions &options)
{
    char text[256];
    const int result = GPIO_GetVersion(handle, text, sizeof(text));
    const std::string version = result == GPIO_RESULT_OK ? std::string(text) : std::string("(none: ") + gpiolink_result_name(result) + ")";
    if (!options.json && options.count == 0) {
        const int status = WatchOnTerminal(handle, options, gpio_tools::SafeText(version));
        if (status >= 0) {
            return status;
        }
    }
    return WatchLines(handle, options, version);
}

}  // namespace gpioctl
