// A session with the controller: the version, then output, input, bit set,
// bit test and bit reset, each printed with its result. Without --port it
// starts the simulated controller on a pseudo-terminal in this process.
//
// With --bench N it runs N input exchanges instead and prints their median
// and 99th percentile time.
//
//   gpio-demo [--port NAME] [--trace] [--bench N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gpiolink.h"
#include "pty_simulator.h"

namespace {

void Show(const char *what, int result, const std::string &detail = "")
{
    std::printf("%-26s %-24s %s\n", what, gpiolink_result_name(result), detail.c_str());
}

std::string Hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

// Times `count` input exchanges and prints the median and p99 in ms.
int Bench(HANDLE handle, int count)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        unsigned char value = 0;
        const auto start = Clock::now();
        const int result = GPIO_Input(handle, 0, &value);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (result != GPIO_RESULT_OK) {
            Show("input port 0", result);
            return result;
        }
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[static_cast<std::size_t>(share * (times.size() - 1))]; };
    std::printf("%d input exchanges: median %.2f ms, p99 %.2f ms, min %.2f ms\n", count, at(0.5), at(0.99),
                times.front());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string port;
    bool trace = false;
    int bench = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = argv[++i];
        } else if (std::strcmp(argv[i], "--bench") == 0 && i + 1 < argc) {
            bench = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else {
            std::fprintf(stderr, "usage: gpio-demo [--port NAME] [--trace] [--bench N]\n");
            return 64;
        }
    }

    std::unique_ptr<gpio_sim::PtySimulator> simulator;
    if (port.empty()) {
        gpio_sim::SimOptions options;
        options.pace38400 = true;
        options.trace = trace ? stdout : nullptr;
        simulator = std::make_unique<gpio_sim::PtySimulator>(options);
        port = simulator->PortName();
        std::printf("simulated controller on %s\n", simulator->SlavePath().c_str());
    }

    HANDLE handle = nullptr;
    int result = GPIO_OpenInterface(port.c_str(), &handle);
    Show(("open " + port).c_str(), result);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    if (bench > 0) {
        result = Bench(handle, bench);
        GPIO_CloseInterface(handle);
        return result;
    }
    char version[64];
    result = GPIO_GetVersion(handle, version, sizeof(version));
    Show("version", result, result == GPIO_RESULT_OK ? version : "");
    Show("output port 1 <- 0xA5", GPIO_Output(handle, 1, 0xA5));
    unsigned char value = 0;
    result = GPIO_Input(handle, 1, &value);
    Show("input port 1", result, result == GPIO_RESULT_OK ? Hex(value) : "");
    Show("bit set port 1 bit 1", GPIO_BitSet(handle, 1, 1));
    Show("bit test port 1 bit 1", GPIO_BitTest(handle, 1, 1));
    Show("bit reset port 1 bit 1", GPIO_BitReset(handle, 1, 1));
    Show("bit test port 1 bit 1", GPIO_BitTest(handle, 1, 1));
    result = GPIO_Input(handle, 1, &value);
    Show("input port 1", result, result == GPIO_RESULT_OK ? Hex(value) : "");
    Show("close", GPIO_CloseInterface(handle));
    return 0;
}
