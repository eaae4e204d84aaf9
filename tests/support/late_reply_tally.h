// Input calls over ports 0-3 of a controller whose ports hold 0xA0-0xA3,
// checking that no call reports another port's value with success.
// Public interface only, so that the Linux and the Windows end-to-end tests
// share it.
#ifndef GPIOLINK_TESTS_LATE_REPLY_TALLY_H
#define GPIOLINK_TESTS_LATE_REPLY_TALLY_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gpiolink.h"

namespace gpiolink::testing {

// How the calls are made.
struct LateReplyRun {
    explicit LateReplyRun(const char *label_ = "", bool damaged = false, std::function<void(HANDLE &)> before = {},
                          std::string times = "")
        : label(label_), damagedReplies(damaged), beforeCall(std::move(before)), replyTimes(std::move(times))
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
    // The simulator's --reply-times file, when it writes one and its clock
    // is this process's steady clock. Then a call that met another
    // request's reply counts as a fault only when no earlier request's
    // reply went out late (kLateAfterCallMs) while that call or the one
    // before it ran: on a loaded machine the simulator itself can be held
    // back past what the library can catch. Each call makes one request;
    // the simulator may have served others before the run.
    std::string replyTimes;
};

// A failed call returns 20 ms (its pause) after the failure, and the line
// is kept from the next user until it has been silent for 100 ms from the
// failure: a piece of reply that goes out up to 50 ms after its call
// returned arrives in that window with 30 ms to spare; a later one may not.
constexpr double kLateAfterCallMs = 50.0;

// When the calls of a run began and ended, and which ones went wrong, in
// milliseconds of the steady clock.
struct TimedCall {
    double start = 0;
    double end = 0;
    bool anomalous = false;
};

inline double SteadyMilliseconds()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The anomalous calls that count as faults, by the reply times in `path`
// (every one, when `path` is empty); `judged` counts the calls judged.
inline int CountFaults(const std::vector<TimedCall> &calls, const std::string &path, int &judged)
{
    judged = 0;
    int faults = 0;
    struct Piece {
        long long request;
        double received;
        double sent;
    };
    std::vector<Piece> pieces;
    if (!path.empty()) {
        std::FILE *file = std::fopen(path.c_str(), "r");
        EXPECT_NE(nullptr, file) << path;
        long long request = 0;
        long long received = 0;
        long long sent = 0;
        while (file != nullptr && std::fscanf(file, "%lld %lld %lld", &request, &received, &sent) == 3) {
            pieces.push_back({request, received / 1000.0, sent / 1000.0});
        }
        if (file != nullptr) {
            std::fclose(file);
        }
        EXPECT_FALSE(pieces.empty()) << "the simulator wrote no reply times to " << path;
    }
    // The simulator numbers its requests from its start. A request reaches
    // it no sooner than its call begins: its number less the index of the
    // last call begun by then is at most the number of the run's first
    // request, and equal to it for a request received while its call ran.
    long long first = -1;
    for (const Piece &piece : pieces) {
        const auto begun = std::upper_bound(calls.begin(), calls.end(), piece.received + 1,
                                            [](double at, const TimedCall &call) { return at < call.start; }) -
                           calls.begin();
        if (begun > 0) {
            first = std::max(first, piece.request - (begun - 1));
        }
    }
    EXPECT_TRUE(pieces.empty() || first >= 0) << "no request reached the simulator during the run by its clock: "
                                                 "the simulator's clock is not this one";
    // By call index; a request from before the run counts as late.
    std::vector<std::pair<long long, double>> late;  // call, sent
    for (const Piece &piece : pieces) {
        const long long call = piece.request - first;
        EXPECT_LT(call, static_cast<long long>(calls.size())) << "a reply to a request that no call made";
        if (call < 0 || (call < static_cast<long long>(calls.size()) &&
                         piece.sent - calls[static_cast<std::size_t>(call)].end > kLateAfterCallMs)) {
            late.emplace_back(call, piece.sent);
        }
    }
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const double since = calls[i == 0 ? 0 : i - 1].start;
        if (std::any_of(late.begin(), late.end(), [&](const std::pair<long long, double> &piece) {
                return piece.first < static_cast<long long>(i) && piece.second >= since &&
                       piece.second <= calls[i].end;
            })) {
            continue;
        }
        ++judged;
        faults += calls[i].anomalous ? 1 : 0;
    }
    return faults;
}

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
    int others = 0;  // results that the run cannot give
    std::vector<TimedCall> timed;
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
        TimedCall call;
        call.start = SteadyMilliseconds();
        const int result = GPIO_Input(handle, damaged ? 0xFB : port, &value);
        call.end = SteadyMilliseconds();
        if (damaged) {
            call.anomalous = result != GPIO_RESULT_IO_ERROR;
        } else {
            successes += result == GPIO_RESULT_OK ? 1 : 0;
            // Success with another port's value, or a result the run cannot give.
            call.anomalous = result == GPIO_RESULT_OK ? value != 0xA0 + port : result != GPIO_RESULT_TIMEOUT;
            others += result != GPIO_RESULT_OK && result != GPIO_RESULT_TIMEOUT ? 1 : 0;
        }
        timed.push_back(call);
    }
    int judged = 0;
    const int faults = CountFaults(timed, run.replyTimes, judged);
    std::printf("late replies%s%s: %d calls, %d successes, %d judged, %d faults\n", run.label,
                run.damagedReplies ? ", damaged replies" : "", calls, successes, judged, faults);
    EXPECT_EQ(0, faults) << "of " << calls << " calls met another request's reply, with every reply in time";
    EXPECT_LT(0, judged) << "no call could be judged: every one met a reply that went out too late";
    if (run.replyTimes.empty()) {
        EXPECT_EQ(0, others);
    }
}

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_LATE_REPLY_TALLY_H
