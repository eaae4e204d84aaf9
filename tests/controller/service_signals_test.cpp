#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "service_command_line.h"

namespace {

// A signal to the process reaches only the waiting thread; SIGHUP reloads,
// and the wait ends at SIGTERM with a log line, or at Stop() without one
// (a program whose own loop ended was not stopped by a signal).
TEST(ServiceSignals, ReloadOnSighupEndAtSigtermOrQuietlyAtStop)
{
    const gpio_controller::ServiceSignals signals;
    gpio_controller::Log log("gpio-test", false);
    for (const bool byStop : {false, true}) {
        std::atomic<int> reloads{0};
        testing::internal::CaptureStderr();
        std::thread waiting([&] { signals.Wait(log, [&] { ++reloads; }); });
        kill(getpid(), SIGHUP);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (reloads == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (byStop) {
            signals.Stop();
        } else {
            kill(getpid(), SIGTERM);
        }
        waiting.join();
        EXPECT_EQ(byStop ? "" : "gpio-test: SIGTERM: stopping\n", testing::internal::GetCapturedStderr()) << byStop;
        EXPECT_EQ(1, reloads);
    }
}

}  // namespace
