// End to end under Wine: replies later than the time-out and lines that
// never stop. run_with_simulators.sh starts, besides the controller on COM5:
//   COM10  a controller whose replies leave 150 ms after each request
//   COM11  a line that sends a byte every 20 ms and never completes a frame
// and passes their names in GPIOLINK_TEST_LATE_PORT and
// GPIOLINK_TEST_STREAM_PORT.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpiolink.h"

namespace {

std::string Environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Milliseconds by the performance counter since `start`.
double MillisecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The receiver's limit of 1000 ms, the pause, and a second for a loaded
// machine and Wine's server.
constexpr double kCallBoundMs = 1000 + 20 + 1000;

TEST(WineBounded, RepliesLaterThanTheTimeoutNeverGiveAWrongValue)
{
    const std::string late = Environment("GPIOLINK_TEST_LATE_PORT");
    if (late.empty()) {
        GTEST_SKIP() << "GPIOLINK_TEST_LATE_PORT is not set: run through run_with_simulators.sh";
    }
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(late.c_str(), &handle));
    // Ports 0-3 hold 0xA0-0xA3; the simulator acts on each request even
    // when its reply comes too late to be taken.
    for (unsigned char port = 0; port < 4; ++port) {
        GPIO_Output(handle, port, static_cast<unsigned char>(0xA0 + port));
    }
    // GPIOLINK_LATE_CALLS=200 is the long run.
    const char *calls = std::getenv("GPIOLINK_LATE_CALLS");
    const int count = calls != nullptr ? std::atoi(calls) : 24;
    int wrong = 0;
    int successes = 0;
    for (int i = 0; i < count; ++i) {
        const auto port = static_cast<unsigned char>(i % 4);
        unsigned char value = 0;
        const int result = GPIO_Input(handle, port, &value);
        EXPECT_TRUE(result == GPIO_RESULT_OK || result == GPIO_RESULT_TIMEOUT) << result;
        successes += result == GPIO_RESULT_OK ? 1 : 0;
        wrong += result == GPIO_RESULT_OK && value != 0xA0 + port ? 1 : 0;
    }
    std::printf("late replies: %d calls, %d successes, %d wrong values with success\n", count, successes, wrong);
    EXPECT_EQ(0, wrong) << "of " << count << " calls gave another port's value with success";
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

TEST(WineBounded, ALineThatNeverStopsEndsTheCall)
{
    const std::string stream = Environment("GPIOLINK_TEST_STREAM_PORT");
    if (stream.empty()) {
        GTEST_SKIP() << "GPIOLINK_TEST_STREAM_PORT is not set: run through run_with_simulators.sh";
    }
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(stream.c_str(), &handle));
    unsigned char value = 0x5A;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, GPIO_Input(handle, 0, &value));
    const double took = MillisecondsSince(start);
    std::printf("exchange on a streaming line: %.1f ms\n", took);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, kCallBoundMs);
    EXPECT_EQ(0x5A, value);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

// The registry lists the streaming line before the controller.
TEST(WineBounded, DiscoveryPassesAStreamingPort)
{
    const std::string stream = Environment("GPIOLINK_TEST_STREAM_PORT");
    const std::string controller = Environment("GPIOLINK_TEST_PORT");
    if (stream.empty() || controller.empty()) {
        GTEST_SKIP() << "GPIOLINK_TEST_STREAM_PORT is not set: run through run_with_simulators.sh";
    }
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const std::pair<const char *, std::string> values[] = {{"\\Device\\GpiolinkStream0", stream},
                                                           {"\\Device\\GpiolinkStream1", controller}};
    for (const auto &[name, port] : values) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(port.c_str()),
                                                static_cast<DWORD>(port.size() + 1)));
    }
    char found[20] = "unchanged";
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(found));
    const double took = MillisecondsSince(start);
    for (const auto &value : values) {
        RegDeleteValueA(key, value.first);
    }
    RegCloseKey(key);
    std::printf("discovery past a streaming port: %.1f ms\n", took);
    EXPECT_EQ(controller, found);
    EXPECT_LT(took, kCallBoundMs + 1000);
}

}  // namespace
