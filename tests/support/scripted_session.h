// A test with the interface open on the scripted port COM3, and operations
// timed on the virtual clock.
#ifndef GPIOLINK_TESTS_SCRIPTED_SESSION_H
#define GPIOLINK_TESTS_SCRIPTED_SESSION_H

#include <gtest/gtest.h>

#include "gpiolink.h"
#include "scripted_line.h"

namespace gpiolink::testing {

class ScriptedSession : public ::testing::Test {
protected:
    ScriptedSession() : port_(line_.AddPort("dev:COM3"))
    {
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
    }
    ~ScriptedSession() override { GPIO_CloseInterface(handle_); }

    // Runs an operation and measures it on the virtual clock.
    template <typename Operation>
    int Timed(Operation operation)
    {
        const std::uint32_t start = line_.now;
        const int result = operation();
        elapsed_ = line_.now - start;
        return result;
    }

    ScriptedLine line_;
    ScriptedPort &port_;
    HANDLE handle_ = nullptr;
    std::uint32_t elapsed_ = 0;
};

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_SCRIPTED_SESSION_H
