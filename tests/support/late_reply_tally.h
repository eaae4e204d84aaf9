// Input calls over ports 0-3 of a controller whose ports hold 0xA0-0xA3,
// counting the values reported with success that belong to another port.
// Public interface only, so that the Linux and the Windows end-to-end tests
// share it.
#ifndef GPIOLINK_TESTS_LATE_REPLY_TALLY_H
#define GPIOLINK_TESTS_LATE_REPLY_TALLY_H

#include <cstdio>
#include <cstdlib>

#include "gpiolink.h"

namespace gpiolink::testing {

struct LateReplyTally {
    int calls = 0;
    int successes = 0;
    int wrong = 0;   // success with another port's value
    int others = 0;  // results other than success and time-out
};

// GPIOLINK_LATE_CALLS=200 is the long run; 24 calls by default.
inline LateReplyTally InputOverFourPorts(HANDLE handle)
{
    const char *calls = std::getenv("GPIOLINK_LATE_CALLS");
    LateReplyTally tally;
    tally.calls = calls != nullptr ? std::atoi(calls) : 24;
    for (int i = 0; i < tally.calls; ++i) {
        const auto port = static_cast<unsigned char>(i % 4);
        unsigned char value = 0;
        const int result = GPIO_Input(handle, port, &value);
        tally.successes += result == GPIO_RESULT_OK ? 1 : 0;
        tally.wrong += result == GPIO_RESULT_OK && value != 0xA0 + port ? 1 : 0;
        tally.others += result != GPIO_RESULT_OK && result != GPIO_RESULT_TIMEOUT ? 1 : 0;
    }
    std::printf("late replies: %d calls, %d successes, %d wrong values with success\n", tally.calls,
                tally.successes, tally.wrong);
    return tally;
}

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_LATE_REPLY_TALLY_H
