// Soak: many exchanges with the simulated controller while it corrupts and
// drops reply bytes and delays replies at random. No call may report a
// wrong value as a success (the simulator's model of the device is the
// truth), every call returns within the bound derived below, and no
// descriptor leaks.
//
// GPIOLINK_SOAK_EXCHANGES sets the number of exchanges (default 2000);
// GPIOLINK_SOAK_SEED the simulator's seed (default 7).
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "gpiolink.h"
#include "interface/request_exchange.h"
#include "link/frame_receiver.h"
#include "pty_simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest random delay the simulator adds before a reply.
constexpr unsigned kDelayMaxMs = 10;
// The longest call this line allows: the reply starts at most kDelayMaxMs
// late and arrives in one burst; when it is damaged past recognition, the
// receiver then waits out the library's silence time-out after its last
// byte, and every call ends with the library's pause after an exchange. A
// call that follows a time-out first waits until the line has been silent
// for another silence time-out, which it adds at most. On a loaded machine each wake-up on that
// path (the simulator's write, the receiver's poll, the end of the pause)
// can wait for a CPU: the margin allows about 30 ms for each. The exact
// timing is checked on the virtual clock (tests/unit); here the bound
// catches a call that does not end soon after the line falls quiet.
constexpr unsigned kSilenceMs = gpiolink::kSilenceTimeoutMs;
constexpr unsigned kPauseMs = gpiolink::kExchangePauseMs;
constexpr unsigned kLoadMarginMs = 100;
constexpr auto kCallBound =
    std::chrono::milliseconds(kSilenceMs + kDelayMaxMs + kSilenceMs + kPauseMs + kLoadMarginMs);

long EnvNumber(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR *directory = opendir("/proc/self/fd")) {
        while (readdir(directory) != nullptr) {
            ++count;
        }
        closedir(directory);
    }
    return count;
}

struct Tally {
    long calls = 0;
    long successes = 0;
    long wrong = 0;  // successes whose data disagrees with the device
    long slow = 0;   // calls over the bound
    long results[9] = {};
    double slowest_ms = 0;
};

TEST(Soak, NoWrongValueIsEverReportedAsASuccess)
{
    const long exchanges = EnvNumber("GPIOLINK_SOAK_EXCHANGES", 2000);
    gpio_sim::SimOptions options;
    // About 1% of reply bytes are lost or damaged.
    options.corruptRate = 0.005;
    options.dropRate = 0.005;
    // Random delays, short enough that a damaged reply still ends in
    // silence within the bound.
    options.delayRate = 0.25;
    options.delayMaxMs = kDelayMaxMs;
    options.seed = static_cast<std::uint32_t>(EnvNumber("GPIOLINK_SOAK_SEED", 7));
    options.keepHistory = false;
    gpio_sim::PtySimulator sim(options);
    gpio_sim::ControllerModel &device = sim.Model();

    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(sim.PortName().c_str(), &handle));
    const int descriptorsBefore = OpenDescriptors();
    std::mt19937 random(12345);
    Tally tally;

    for (long i = 0; i < exchanges; ++i) {
        const auto port = static_cast<unsigned char>(random() % 4);
        const auto bit = static_cast<unsigned char>(random() % 8);
        const auto value = static_cast<unsigned char>(random() % 256);
        const unsigned kind = random() % 6;
        unsigned char read = 0;
        char text[32];
        const auto start = Clock::now();
        int result = 0;
        switch (kind) {
        case 0:
            result = GPIO_Input(handle, port, &read);
            break;
        case 1:
            result = GPIO_Output(handle, port, value);
            break;
        case 2:
            result = GPIO_BitSet(handle, port, bit);
            break;
        case 3:
            result = GPIO_BitReset(handle, port, bit);
            break;
        case 4:
            result = GPIO_BitTest(handle, port, bit);
            break;
        default:
            result = GPIO_GetVersion(handle, text, sizeof(text));
            break;
        }
        const auto elapsed = Clock::now() - start;
        ++tally.calls;
        ASSERT_TRUE(result >= 0 && result <= 8) << result;
        ++tally.results[result];
        const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
        tally.slowest_ms = std::max(tally.slowest_ms, ms);
        tally.slow += elapsed > kCallBound ? 1 : 0;

        // On success the data must match what the device really holds. The
        // device acts on every valid request, even when its reply is lost,
        // so its state, not the caller's history, is the truth.
        const std::uint8_t now = device.ReadPort(port);
        bool right = true;
        if (result == GPIO_RESULT_OK) {
            ++tally.successes;
            switch (kind) {
            case 0:
                right = read == now;
                break;
            case 1:
                right = device.Latch(port) == value;
                break;
            case 2:
                right = (device.Latch(port) >> bit & 1U) == 1U;
                break;
            case 3:
                right = (device.Latch(port) >> bit & 1U) == 0U;
                break;
            case 5:
                right = std::string(text) == "GPIO-SIM 1.0";
                break;
            default:
                right = false;  // bit test never succeeds with 0
            }
        } else if (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW) {
            ++tally.successes;
            right = kind == 4 && (result == GPIO_RESULT_BIT_HIGH) == ((now >> bit & 1U) == 1U);
        }
        if (!right) {
            ++tally.wrong;
            ADD_FAILURE() << "exchange " << i << " kind " << kind << " reported a wrong success";
        }
    }
    const int descriptorsAfter = OpenDescriptors();
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));

    const gpio_sim::PtySimulator::Stats stats = sim.GetStats();
    std::printf("soak: %ld exchanges, %ld successes, %ld wrong, %ld over %lld ms (slowest %.1f ms)\n", tally.calls,
                tally.successes, tally.wrong, tally.slow, static_cast<long long>(kCallBound.count()),
                tally.slowest_ms);
    std::printf("soak: results");
    for (int code = 0; code <= 8; ++code) {
        std::printf(" %s=%ld", gpiolink_result_name(code), tally.results[code]);
    }
    std::printf("\nsoak: simulator %llu replies intact, %llu faulted (%llu with dropped bytes, %llu corrupted, %llu "
                "delayed)\n",
                static_cast<unsigned long long>(stats.intact), static_cast<unsigned long long>(stats.faulted),
                static_cast<unsigned long long>(stats.withDroppedBytes),
                static_cast<unsigned long long>(stats.withCorruptedBytes),
                static_cast<unsigned long long>(stats.delayed));
    EXPECT_EQ(0, tally.wrong);
    EXPECT_EQ(0, tally.slow);
    EXPECT_EQ(descriptorsBefore, descriptorsAfter);
    // The line really was bad, and the library still got through.
    EXPECT_GT(stats.withDroppedBytes + stats.withCorruptedBytes, 0U);
    EXPECT_GT(tally.successes, tally.calls * 8 / 10);
}

}  // namespace
