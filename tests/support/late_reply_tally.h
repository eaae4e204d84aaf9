// Input calls over ports 0-3 of a controller whose ports hold 0xA0-0xA3,
// checking that no call reports another port's value with success.
// Public interface only, so that the Linux and the Windows end-to-end tests
// share it.
#ifndef GPIOLINK_TESTS_LATE_REPLY_TALLY_H
#define GPIOLINK_TESTS_LATE_REPLY_TALLY_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

#include "gpiolink.h"

namespace gpiolink::testing {

// How the calls are made.
struct LateReplyRun {
    explicit LateReplyRun(const char *label_ = "", bool damaged = false, std::function<void(HANDLE &)> before = {})
        : label(label_), damagedReplies(damaged), beforeCall(std::move(before))
    {
    }
    // Named in the tally's line.
    const char *label = "";
    // Every other call asks for the simulator's magic port 0xFB instead:
    // a damaged reply and the good one (port 0's value) 40 ms later.
    bool damagedReplies = false;
    // Run before every call: may put another handle in its place (a close
    // and an open, or an open without a close).
    std::function<void(HANDLE &)> beforeCall;
};

// A LateReplyRun's beforeCall that closes the interface and opens `port`
// again.
inline std::function<void(HANDLE &)> ReopenBeforeEveryCall(const char *port)
{
    return [port](HANDLE &handle) {
        ASSERT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
        ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(port, &handle));
    };
}

// GPIOLINK_LATE_CALLS=200 is the long run; 24 calls by default. Every call
// must give success with its own port's value or a failure; no call may
// report another port's value with success.
inline void ExpectOnlyOwnValues(HANDLE &handle, const LateReplyRun &run = LateReplyRun())
{
    const char *variable = std::getenv("GPIOLINK_LATE_CALLS");
    const int calls = variable != nullptr ? std::atoi(variable) : 24;
    int successes = 0;
    int wrong = 0;   // success with another port's value
    int others = 0;  // results that the run cannot give
    for (int i = 0; i < calls; ++i) {
        if (run.beforeCall) {
            SCOPED_TRACE(::testing::Message() << "call " << i);
            run.beforeCall(handle);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        const bool damaged = run.damagedReplies && i % 2 == 0;
        // Ports 1-3 after a damaged reply, whose good frame carries port 0's.
        const auto port = static_cast<unsigned char>(run.damagedReplies ? 1 + i / 2 % 3 : i % 4);
        unsigned char value = 0;
        const int result = GPIO_Input(handle, damaged ? 0xFB : port, &value);
        if (damaged) {
            others += result == GPIO_RESULT_IO_ERROR ? 0 : 1;
            continue;
        }
        successes += result == GPIO_RESULT_OK ? 1 : 0;
        wrong += result == GPIO_RESULT_OK && value != 0xA0 + port ? 1 : 0;
        others += result != GPIO_RESULT_OK && result != GPIO_RESULT_TIMEOUT ? 1 : 0;
    }
    std::printf("late replies%s%s: %d calls, %d successes, %d wrong values with success\n", run.label,
                run.damagedReplies ? ", damaged replies" : "", calls, successes, wrong);
    EXPECT_EQ(0, wrong) << "of " << calls << " calls gave another port's value with success";
    EXPECT_EQ(0, others);
}

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_LATE_REPLY_TALLY_H
