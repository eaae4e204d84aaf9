#include "bench.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define GPIOCTL_ISATTY _isatty
#define GPIOCTL_FILENO _fileno
#else
#include <unistd.h>
#define GPIOCTL_ISATTY isatty
#define GPIOCTL_FILENO fileno
#endif

namespace gpioctl {
namespace {

// Set by SIGINT while bench runs: it stops and reports what it has.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void StopBench(int /*signal*/) { g_stop = 1; }

}  // namespace

int Bench(HANDLE handle, unsigned count, Report &report, bool &stopped)
{
    using Clock = std::chrono::steady_clock;
    const bool progress = GPIOCTL_ISATTY(GPIOCTL_FILENO(stderr)) != 0;
    std::vector<double> times;
    times.reserve(count);
    g_stop = 0;
    const auto previous = std::signal(SIGINT, StopBench);
    const auto start = Clock::now();
    auto shown = start;
    int result = GPIO_RESULT_OK;
    for (unsigned i = 0; i < count && g_stop == 0; ++i) {
        unsigned char value = 0;
        const auto before = Clock::now();
        result = GPIO_Input(handle, 0, &value);
        const auto after = Clock::now();
        if (result != GPIO_RESULT_OK) {
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(after - before).count());
        if (progress && (after - shown > std::chrono::milliseconds(250) || i + 1 == count)) {
            std::fprintf(stderr, "\rbench: %u of %u exchanges", i + 1, count);
            std::fflush(stderr);
            shown = after;
        }
    }
    std::signal(SIGINT, previous);
    if (progress) {
        std::fprintf(stderr, "\r%40s\r", "");
    }
    stopped = g_stop != 0;
    report.AsTable();
    report.Number("exchanges", static_cast<double>(times.size()));
    if (!times.empty()) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::sort(times.begin(), times.end());
        const auto at = [&](double share) {
            return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1))];
        };
        report.Number("per_second", static_cast<double>(times.size()) / seconds, "per second");
        report.Number("median_ms", at(0.5), "median", "ms");
        report.Number("p99_ms", at(0.99), "99th percentile", "ms");
    }
    if (stopped) {
        report.Text("stopped", "by Ctrl-C after " + std::to_string(times.size()) + " of " + std::to_string(count));
    }
    return result;
}

}  // namespace gpioctl
