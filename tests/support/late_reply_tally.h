// Input calls over ports 0-3 of a controller whose ports hold 0xA0-0xA3,
// checking that no call reports another port's value with success.
// Public interface only, so that the Linux and the Windows end-to-end tests
// share it.
#ifndef GPIOLINK_TESTS_LATE_REPLY_TALLY_H
#define GPIOLINK_TESTS_LATE_REPLY_TALLY_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "gpiolink.h"

namespace gpiolink::testing {

// GPIOLINK_LATE_CALLS=200 is the long run; 24 calls by default. Every call
// must give success with its own port's value or a time-out.
inline void ExpectOnlyOwnValues(HANDLE handle)
{
    const char *variable = std::getenv("GPIOLINK_LATE_CALLS");
    const int calls = variable != nullptr ? std::atoi(variable) : 24;
    int successes = 0;
    int wrong = 0;   // success with another port's value
    int others = 0;  // results other than success and time-out
    for (int i = 0; i < calls; ++i) {
        const auto port = static_cast<unsigned char>(i % 4);
        unsigned char value = 0;
        const int result = GPIO_Input(handle, port, &value);
        successes += result == GPIO_RESULT_OK ? 1 : 0;
        wrong += result == GPIO_RESULT_OK && value != 0xA0 + port ? 1 : 0;
        others += result != GPIO_RESULT_OK && result != GPIO_RESULT_TIMEOUT ? 1 : 0;
    }
    std::printf("late replies: %d calls, %d successes, %d wrong values with success\n", calls, successes, wrong);
    EXPECT_EQ(0, wrong) << "of " << calls << " calls gave another port's value with success";
    EXPECT_EQ(0, others);
}

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_LATE_REPLY_TALLY_H
