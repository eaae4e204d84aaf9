// A failure at every service call: for each exported function and each
// entry of the services table, the Nth call fails (once, or from then on)
// for N = 1, 2, ... until the function completes without meeting it. Every
// run must return a documented result, release every port and port list it
// acquired, and write nothing outside the caller's buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "gpiolink.h"
#include "scripted_controller.h"
#include "test_helpers.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using testing::AnswerRequests;
using testing::Bytes;
using testing::Call;
using testing::ScriptedLine;
using testing::ScriptedReply;

// The caller's buffers, inside guard bytes.
using Buffers = testing::GuardedBuffer;
constexpr int kBufferSize = 20;

struct Operation {
    const char *name;
    bool needsInterface;  // runs on an interface opened beforehand
    std::set<int> allowed;
    std::function<int(HANDLE, Buffers &)> run;
};

const Bytes kIdentity = {0x00, 'G', 'P', 'I', 'O', '-', '1'};

// Answers every request as a healthy controller would.
ScriptedReply Controller(const Bytes &request)
{
    switch (request.empty() ? 0 : request[0]) {
    case 'V':
        return {gpio_tools::EncodeReply(kIdentity), 2};
    case 'I':
        return {gpio_tools::EncodeReply({0x00, 0x5C}), 2};
    case 'T':
        return {gpio_tools::EncodeReply({0x00, 'H'}), 2};
    default:
        return {gpio_tools::EncodeReply({0x00}), 2};
    }
}

const Operation kOperations[] = {
    {"scan", false, {GPIO_RESULT_OK, GPIO_RESULT_IO_ERROR},
     [](HANDLE, Buffers &b) { return GPIO_ScanInterface(b.Text()); }},
    {"open", false, {GPIO_RESULT_OK, GPIO_RESULT_IO_ERROR},
     [](HANDLE, Buffers &) {
         HANDLE handle = nullptr;
         return GPIO_OpenInterface("COM3", &handle);
     }},
    {"close", true, {GPIO_RESULT_OK}, [](HANDLE h, Buffers &) { return GPIO_CloseInterface(h); }},
    {"input", true, {GPIO_RESULT_OK, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &b) { return GPIO_Input(h, 1, b.Data()); }},
    {"output", true, {GPIO_RESULT_OK, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &) { return GPIO_Output(h, 1, 2); }},
    {"bit test", true, {GPIO_RESULT_BIT_HIGH, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &) { return GPIO_BitTest(h, 1, 2); }},
    {"bit set", true, {GPIO_RESULT_OK, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &) { return GPIO_BitSet(h, 1, 2); }},
    {"bit reset", true, {GPIO_RESULT_OK, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &) { return GPIO_BitReset(h, 1, 2); }},
    {"version", true, {GPIO_RESULT_OK, GPIO_RESULT_UNEXPECTED, GPIO_RESULT_IO_ERROR, GPIO_RESULT_TIMEOUT},
     [](HANDLE h, Buffers &b) { return GPIO_GetVersion(h, b.Text(), kBufferSize); }},
};

// What one faulted run left behind.
struct Outcome {
    int result = -1;
    bool metFault = false;
    std::string problem;  // empty when every promise held
};

Outcome RunFaulted(const Operation &op, Call call, int n, bool persistent, std::uint32_t writeLimit)
{
    ScriptedLine line;
    line.writeLimit = writeLimit;
    // The interface port, and a port list of a silent port and the controller.
    AnswerRequests(line.AddPort("dev:COM3"), Controller);
    line.AddPort("probe:COM1");
    AnswerRequests(line.AddPort("probe:COM2"), Controller);
    line.portList = {"COM1", "COM2"};

    HANDLE handle = nullptr;
    if (op.needsInterface && GPIO_OpenInterface("COM3", &handle) != GPIO_RESULT_OK) {
        return {-1, false, "the interface did not open before the fault"};
    }
    Buffers buffers(kBufferSize);
    const int before = line.Calls(call);
    line.FailCall(call, n, persistent);
    Outcome outcome;
    outcome.result = op.run(handle, buffers);
    outcome.metFault = line.Calls(call) - before >= n;
    line.ClearFailures();

    if (op.allowed.count(outcome.result) == 0) {
        outcome.problem = "result " + std::to_string(outcome.result) + " is not documented";
    } else if (!buffers.GuardsIntact()) {
        outcome.problem = "wrote outside the caller's buffer";
    } else if (line.openLists != 0) {
        outcome.problem = "left the port list open";
    } else {
        // Only the open interface may hold a port after the call.
        const bool interfaceOpen = line.Port(0).open;
        const bool interfaceExpected =
            (op.needsInterface && std::strcmp(op.name, "close") != 0) ||
            (std::strcmp(op.name, "open") == 0 && outcome.result == GPIO_RESULT_OK);
        if (line.Port(1).open || line.Port(2).open || interfaceOpen != interfaceExpected) {
            outcome.problem = "left a port open, or closed the interface";
        }
    }
    // Leave no interface open for the next run.
    HANDLE current = nullptr;
    GPIO_CloseInterface(handle);
    if (GPIO_OpenInterface("COM3", &current) == GPIO_RESULT_OK || current == INVALID_HANDLE_VALUE) {
        GPIO_CloseInterface(current);
    }
    return outcome;
}

TEST(FaultInjection, EveryCallOfEveryOperationFailsSafely)
{
    int runs = 0;
    int pairs = 0;
    for (const std::uint32_t writeLimit : {0U, 1U}) {
        for (const Operation &op : kOperations) {
            for (int c = 0; c < static_cast<int>(Call::kCallCount); ++c) {
                const auto call = static_cast<Call>(c);
                for (const bool persistent : {false, true}) {
                    for (int n = 1;; ++n) {
                        ASSERT_LT(n, 500) << op.name << " never completed past " << testing::CallName(call);
                        const Outcome outcome = RunFaulted(op, call, n, persistent, writeLimit);
                        ++runs;
                        EXPECT_EQ("", outcome.problem)
                            << op.name << ", " << testing::CallName(call) << " call " << n
                            << (persistent ? " and later" : " once") << ", write limit " << writeLimit;
                        if (!outcome.metFault) {
                            break;
                        }
                        pairs += persistent ? 0 : 1;
                    }
                }
            }
        }
    }
    std::printf("fault injection: %d runs, %d (operation, service, N) failures met once\n", runs, pairs);
}

}  // namespace
}  // namespace gpiolink
