// gpio-modbus's decisions on requests: each function code over the map,
// every exception, stale and fresh reads by an injected clock, the unit
// id; and the writes carried out on a fake controller.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus_map.h"
#include "modbus_test_support.h"

namespace gpio_modbus {
namespace {

using namespace std::chrono_literals;

const Clock::time_point kNow = Clock::time_point() + 100h;

// Port 0 output, 1 input, 2 both ways, 5 and 6 output; 3 and 4 not served.
MapSettings Settings()
{
    MapSettings settings;
    settings.unitId = 1;
    settings.maxPollAge = 1000ms;
    settings.checkInterval = 5000ms;
    settings.ports = {{0, true, false}, {1, false, true}, {2, true, true}, {5, true, false}, {6, true, false}};
    return settings;
}

// Every port read 100 ms ago; the controller answers.
Snapshot Fresh()
{
    Snapshot state;
    state.online = true;
    state.failedExchanges = 0x00012345;
    state.version = "GL-IO 2.1";
    for (const auto &[port, value] : std::map<int, std::uint8_t>{{0, 0x0F}, {1, 0xA5}, {2, 0x3C}, {5, 0x80}, {6, 0x01}}) {
        state.ports[static_cast<std::size_t>(port)] = PortReading{value, kNow - 100ms};
    }
    return state;
}

Answer Decide(const std::vector<std::uint8_t> &adu, const Snapshot &state = Fresh(), const MapSettings &settings = Settings())
{
    return RequestHandler(settings).Decide(adu.data(), adu.size(), state, kNow);
}

std::vector<std::uint16_t> Bits(std::uint8_t value)
{
    std::vector<std::uint16_t> bits;
    for (int bit = 0; bit < 8; ++bit) {
        bits.push_back((value >> bit) & 1);
    }
    return bits;
}

// The case's exception, or the kind of answer a served request gets.
void ExpectAnswer(const Answer &answer, int exception, Answer::Kind served)
{
    EXPECT_EQ(exception != 0 ? Answer::Kind::kException : served, answer.kind);
    EXPECT_EQ(exception, answer.exception);
}

struct ReadCase {
    const char *name;
    std::vector<std::uint8_t> adu;
    int exception;  // 0: served
    std::vector<std::uint16_t> values;
};

TEST(ModbusMap, AnswersEachReadFromTheSnapshotOrWithItsException)
{
    const std::vector<ReadCase> cases = {
        {"coils of an output port", Adu(1, Pdu(1, 0, 8)), 0, Bits(0x0F)},
        {"coils of a both-way port", Adu(1, Pdu(1, 16, 8)), 0, Bits(0x3C)},
        {"coils across two output ports", Adu(1, Pdu(1, 47, 2)), 0, {1, 1}},
        {"coils of an input port", Adu(1, Pdu(1, 8, 1)), kIllegalAddress, {}},
        {"coils running into an input port", Adu(1, Pdu(1, 0, 9)), kIllegalAddress, {}},
        {"coils of a port not served", Adu(1, Pdu(1, 24, 1)), kIllegalAddress, {}},
        {"no coil", Adu(1, Pdu(1, 0, 0)), kIllegalValue, {}},
        {"more coils than a reply holds", Adu(1, Pdu(1, 0, MODBUS_MAX_READ_BITS + 1)), kIllegalValue, {}},
        {"coils past the last address", Adu(1, Pdu(1, 0xFFFF, 2)), kIllegalAddress, {}},
        {"discrete inputs of an input port", Adu(1, Pdu(2, 8, 8)), 0, Bits(0xA5)},
        {"discrete inputs of an output port", Adu(1, Pdu(2, 0, 1)), kIllegalAddress, {}},
        {"holding registers of output ports", Adu(1, Pdu(3, 5, 2)), 0, {0x80, 0x01}},
        {"a holding register of an input port", Adu(1, Pdu(3, 1, 1)), kIllegalAddress, {}},
        {"holding registers over a gap", Adu(1, Pdu(3, 2, 4)), kIllegalAddress, {}},
        {"more registers than a reply holds", Adu(1, Pdu(3, 0, MODBUS_MAX_READ_REGISTERS + 1)), kIllegalValue, {}},
        {"input registers of input and both-way ports", Adu(1, Pdu(4, 1, 2)), 0, {0xA5, 0x3C}},
        {"an input register of an output port", Adu(1, Pdu(4, 0, 1)), kIllegalAddress, {}},
        {"the bridge's registers", Adu(1, Pdu(4, kOnlineRegister, 5)), 0, {1, 0x0001, 0x2345, 100, 100}},
        {"the version text", Adu(1, Pdu(4, kVersionRegister, 6)), 0,
         {0x474C, 0x2D49, 0x4F20, 0x322E, 0x3100, 0x0000}},
        {"past the bridge's block", Adu(1, Pdu(4, kBridgeBlockEnd - 1, 2)), kIllegalAddress, {}},
        {"the unit id for no unit in particular", Adu(0xFF, Pdu(3, 0, 1)), 0, {0x0F}},
    };
    for (const ReadCase &test : cases) {
        SCOPED_TRACE(test.name);
        const Answer answer = Decide(test.adu);
        ExpectAnswer(answer, test.exception, Answer::Kind::kRead);
        EXPECT_EQ(test.values, answer.values);
    }
}

TEST(ModbusMap, LeavesOtherUnitsUnansweredAndRefusesUnknownFunctions)
{
    for (const int unit : {0, 2, 247, 254}) {
        EXPECT_EQ(Answer::Kind::kNone, Decide(Adu(unit, Pdu(3, 0, 1))).kind) << unit;
        EXPECT_EQ(Answer::Kind::kNone, Decide(Adu(unit, Pdu(5, 0, 0xFF00))).kind) << unit;
    }
    // Exception status, report server id, mask write, read/write, device identification.
    for (const int function : {0x07, 0x11, 0x16, 0x17, 0x2B, 0x00, 0x80}) {
        const Answer answer = Decide(Adu(1, {static_cast<std::uint8_t>(function), 0x0E, 0x01, 0x00}));
        EXPECT_EQ(Answer::Kind::kException, answer.kind) << function;
        EXPECT_EQ(kIllegalFunction, answer.exception) << function;
    }
}

struct StaleCase {
    const char *name;
    std::vector<std::uint8_t> adu;
    Clock::duration age;  // of every port's last read
    bool online;
    std::chrono::milliseconds checkInterval;
    int exception;
};

// A polled port is served up to max_poll_age_ms; a port that is not polled
// up to check_interval_ms more, or always while the controller answers
// when nothing reads it again; the bridge's block always.
TEST(ModbusMap, RefusesStaleReadsAndReadsOfAControllerThatDoesNotAnswer)
{
    const std::vector<StaleCase> cases = {
        {"an input just within the limit", Adu(1, Pdu(2, 8, 8)), 1000ms, true, 5000ms, 0},
        {"an input past the limit", Adu(1, Pdu(2, 8, 8)), 1001ms, true, 5000ms, kTargetFailed},
        {"a both-way port as a coil past the limit", Adu(1, Pdu(1, 16, 1)), 1001ms, true, 5000ms, kTargetFailed},
        {"an output within the check and the limit", Adu(1, Pdu(3, 0, 1)), 6000ms, true, 5000ms, 0},
        {"an output past the check and the limit", Adu(1, Pdu(3, 0, 1)), 6001ms, true, 5000ms, kTargetFailed},
        {"an output never checked", Adu(1, Pdu(3, 0, 1)), 10h, true, 0ms, 0},
        {"an input never checked is still polled", Adu(1, Pdu(4, 1, 1)), 1001ms, true, 0ms, kTargetFailed},
        {"a fresh port of a controller that stopped answering", Adu(1, Pdu(1, 0, 1)), 0ms, false, 5000ms,
         kTargetFailed},
        {"the bridge's block while the controller does not answer", Adu(1, Pdu(4, kOnlineRegister, 1)), 10h, false,
         5000ms, 0},
    };
    for (const StaleCase &test : cases) {
        SCOPED_TRACE(test.name);
        Snapshot state = Fresh();
        state.online = test.online;
        for (std::optional<PortReading> &reading : state.ports) {
            if (reading) {
                reading->when = kNow - test.age;
            }
        }
        MapSettings settings = Settings();
        settings.checkInterval = test.checkInterval;
        const Answer answer = Decide(test.adu, state, settings);
        EXPECT_EQ(test.exception, answer.kind == Answer::Kind::kException ? answer.exception : 0);
    }
    // A port never read since the start.
    Snapshot state = Fresh();
    state.ports[1].reset();
    EXPECT_EQ(kTargetFailed, Decide(Adu(1, Pdu(4, 1, 1)), state).exception);
    // Its age is unknown in the bridge's block, and the newest read is another's.
    const Answer ages = Decide(Adu(1, Pdu(4, kOldestAgeRegister, 2)), state);
    EXPECT_EQ((std::vector<std::uint16_t>{kAgeUnknown, 100}), ages.values);
}

std::string Steps(const WritePlan &plan)
{
    static const char *const kKinds[] = {"output", "set", "reset", "merge"};
    std::string text;
    for (const WriteStep &step : plan) {
        text += std::string(text.empty() ? "" : "; ") + kKinds[static_cast<int>(step.kind)] + " " +
                std::to_string(step.port);
        if (step.kind == WriteStep::Kind::kBitSet || step.kind == WriteStep::Kind::kBitReset) {
            text += " bit " + std::to_string(step.bit);
        } else {
            text += " " + std::to_string(step.value);
        }
        if (step.kind == WriteStep::Kind::kMerge) {
            text += " mask " + std::to_string(step.mask);
        }
        text += step.verify ? "" : " unverified";
    }
    return text;
}

struct WriteCase {
    const char *name;
    std::vector<std::uint8_t> adu;
    int exception;
    const char *plan;
};

TEST(ModbusMap, PlansEachWriteOrRefusesIt)
{
    const std::vector<WriteCase> cases = {
        {"a coil on", Adu(1, Pdu(5, 3, 0xFF00)), 0, "set 0 bit 3"},
        {"a coil of a both-way port off", Adu(1, Pdu(5, 17, 0x0000)), 0, "reset 2 bit 1 unverified"},
        {"a coil to neither on nor off", Adu(1, Pdu(5, 3, 0x1234)), kIllegalValue, ""},
        {"a coil of an input port", Adu(1, Pdu(5, 8, 0xFF00)), kIllegalAddress, ""},
        {"a register", Adu(1, Pdu(6, 0, 0x55)), 0, "output 0 85"},
        {"a register with its high byte set", Adu(1, Pdu(6, 0, 0x0155)), kIllegalValue, ""},
        {"a register of an input port", Adu(1, Pdu(6, 1, 1)), kIllegalAddress, ""},
        {"a register of the bridge's block", Adu(1, Pdu(6, kOnlineRegister, 1)), kIllegalAddress, ""},
        {"a whole port of coils", Adu(1, Pdu(15, 0, 8, {1, 0xA5})), 0, "output 0 165"},
        {"some coils of a port", Adu(1, Pdu(15, 2, 3, {1, 0x05})), 0, "merge 0 20 mask 28"},
        {"one coil as several", Adu(1, Pdu(15, 4, 1, {1, 0x01})), 0, "set 0 bit 4"},
        {"coils of two ports", Adu(1, Pdu(15, 46, 4, {1, 0x06})), 0, "merge 5 128 mask 192; merge 6 1 mask 3"},
        {"coils running into an input port", Adu(1, Pdu(15, 6, 4, {1, 0x0F})), kIllegalAddress, ""},
        {"coils with a wrong byte count", Adu(1, Pdu(15, 0, 8, {2, 0xFF, 0x00})), kIllegalValue, ""},
        {"coils whose data is cut short", Adu(1, Pdu(15, 0, 16, {2, 0xFF})), kIllegalValue, ""},
        {"no coil", Adu(1, Pdu(15, 0, 0, {0})), kIllegalValue, ""},
        {"more coils than a request holds", Adu(1, Pdu(15, 0, MODBUS_MAX_WRITE_BITS + 1, {247})), kIllegalValue, ""},
        {"registers of two ports", Adu(1, Pdu(16, 5, 2, {4, 0, 1, 0, 2})), 0, "output 5 1; output 6 2"},
        {"registers, one with its high byte set", Adu(1, Pdu(16, 5, 2, {4, 0, 1, 1, 2})), kIllegalValue, ""},
        {"registers running into an input port", Adu(1, Pdu(16, 0, 2, {4, 0, 1, 0, 2})), kIllegalAddress, ""},
        {"registers with a wrong byte count", Adu(1, Pdu(16, 5, 1, {1, 0})), kIllegalValue, ""},
        {"a write cut short", Adu(1, {6, 0, 0}), kIllegalValue, ""},
    };
    for (const WriteCase &test : cases) {
        SCOPED_TRACE(test.name);
        const Answer answer = Decide(test.adu);
        ExpectAnswer(answer, test.exception, Answer::Kind::kWrite);
        EXPECT_EQ(test.plan, Steps(answer.plan));
    }
    // A controller that does not answer takes no write; a wrong address is
    // still said first.
    Snapshot offline = Fresh();
    offline.online = false;
    EXPECT_EQ(kTargetFailed, Decide(Adu(1, Pdu(5, 3, 0xFF00)), offline).exception);
    EXPECT_EQ(kIllegalAddress, Decide(Adu(1, Pdu(5, 8, 0xFF00)), offline).exception);
}

struct CarryCase {
    const char *name;
    WritePlan plan;
    int writeResult;
    int readBackResult;
    int readResult;
    std::optional<std::uint8_t> readsBack;
    int exception;
    std::vector<std::string> calls;
};

WriteStep Step(WriteStep::Kind kind, int port, std::uint8_t value, std::uint8_t mask = 0xFF, int bit = 0,
               bool verify = true)
{
    WriteStep step;
    step.kind = kind;
    step.port = port;
    step.value = value;
    step.mask = mask;
    step.bit = bit;
    step.verify = verify;
    return step;
}

// Only a write read back as written is a success; the controller's own
// error status is 0x04, no answer 0x0B; the steps after a failed one are
// not carried out.
TEST(ModbusMap, CarriesOutAWriteAndAnswersOnlyWhatWasReadBack)
{
    using Kind = WriteStep::Kind;
    const WriteStep output = Step(Kind::kOutput, 0, 0x55);
    const std::vector<CarryCase> cases = {
        {"confirmed", {output}, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt, 0, {"output 0 85"}},
        {"status 0xFF", {output}, GPIO_RESULT_DEVICE_FF, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt, kServerFailure,
         {"output 0 85"}},
        {"status 0xFE", {output}, GPIO_RESULT_DEVICE_FE, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt, kServerFailure,
         {"output 0 85"}},
        {"an unexpected status", {output}, GPIO_RESULT_UNEXPECTED, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt,
         kServerFailure, {"output 0 85"}},
        {"no answer", {output}, GPIO_RESULT_TIMEOUT, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt, kTargetFailed,
         {"output 0 85"}},
        {"a broken line", {output}, GPIO_RESULT_IO_ERROR, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt, kTargetFailed,
         {"output 0 85"}},
        {"the port gone", {output}, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_OK, GPIO_RESULT_OK, std::nullopt,
         kTargetFailed, {"output 0 85"}},
        {"written but not read back", {output}, GPIO_RESULT_OK, GPIO_RESULT_TIMEOUT, GPIO_RESULT_OK, std::nullopt,
         kTargetFailed, {"output 0 85"}},
        {"read back otherwise", {output}, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK, 0x54, kServerFailure,
         {"output 0 85"}},
        {"a both-way port read back otherwise", {Step(Kind::kOutput, 2, 0x55, 0xFF, 0, false)}, GPIO_RESULT_OK,
         GPIO_RESULT_OK, GPIO_RESULT_OK, 0x54, 0, {"output 2 85"}},
        {"a bit set, the others read back otherwise", {Step(Kind::kBitSet, 0, 0, 0xFF, 3)}, GPIO_RESULT_OK,
         GPIO_RESULT_OK, GPIO_RESULT_OK, 0x08, 0, {"set 0 3"}},
        {"a bit set, read back low", {Step(Kind::kBitSet, 0, 0, 0xFF, 3)}, GPIO_RESULT_OK, GPIO_RESULT_OK,
         GPIO_RESULT_OK, 0xF7, kServerFailure, {"set 0 3"}},
        {"a bit reset", {Step(Kind::kBitReset, 0, 0, 0xFF, 0)}, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK,
         std::nullopt, 0, {"reset 0 0"}},
        // The port holds 0xF0 now (the snapshot may say otherwise): bits 2-4 to 1, 0, 1 give 0xF4.
        {"some bits merged with a fresh read", {Step(Kind::kMerge, 0, 0x14, 0x1C)}, GPIO_RESULT_OK, GPIO_RESULT_OK,
         GPIO_RESULT_OK, std::nullopt, 0, {"read 0", "output 0 244"}},
        {"some bits whose port cannot be read", {Step(Kind::kMerge, 0, 0x14, 0x1C)}, GPIO_RESULT_OK, GPIO_RESULT_OK,
         GPIO_RESULT_TIMEOUT, std::nullopt, kTargetFailed, {"read 0"}},
        {"two ports, the first failing", {output, Step(Kind::kOutput, 5, 1)}, GPIO_RESULT_TIMEOUT, GPIO_RESULT_OK,
         GPIO_RESULT_OK, std::nullopt, kTargetFailed, {"output 0 85"}},
        {"two ports", {output, Step(Kind::kOutput, 5, 1)}, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK,
         std::nullopt, 0, {"output 0 85", "output 5 1"}},
    };
    for (const CarryCase &test : cases) {
        SCOPED_TRACE(test.name);
        FakeController controller;
        controller.pins = {{0, 0xF0}, {2, 0}, {5, 0}};
        controller.writeResult = test.writeResult;
        controller.readBackResult = test.readBackResult;
        controller.readResult = test.readResult;
        controller.readsBack = test.readsBack;
        EXPECT_EQ(test.exception, CarryOut(test.plan, controller));
        EXPECT_EQ(test.calls, controller.Calls());
    }
}

}  // namespace
}  // namespace gpio_modbus
