// Fuzzes gpio-modbus's decision on a request with arbitrary bytes as the
// ADU that modbus_receive hands over.
//
// Checked on every input: the handler returns (no exception escapes it,
// nothing is read past the bytes); a request is left unanswered only when
// it is too short to name a unit or names another unit; an exception is
// one of the map's (0x01, 0x02, 0x03, 0x0B); a read gives one value per
// address, bits 0 or 1 and port registers below 256; a write touches only
// writable ports, its bits 0-7, and is planned only while the controller
// answers.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "modbus_map.h"

namespace {

using gpio_modbus::Answer;

// Port 0 output, 1 input, 2 both ways, 255 output.
gpio_modbus::MapSettings Settings()
{
    gpio_modbus::MapSettings settings;
    settings.unitId = 1;
    settings.ports = {{0, true, false}, {1, false, true}, {2, true, true}, {255, true, false}};
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const gpio_modbus::RequestHandler handler(Settings());
    const gpio_modbus::Clock::time_point now = gpio_modbus::Clock::time_point() + std::chrono::hours(1);
    gpio_modbus::Snapshot state;
    // The first byte, when there is one, chooses the controller's state.
    state.online = size > 0 && (data[0] & 1) != 0;
    state.version = "fuzz";
    for (const int port : {0, 1, 2, 255}) {
        state.ports[static_cast<std::size_t>(port)] =
            gpio_modbus::PortReading{0xA5, now - std::chrono::milliseconds(size > 1 ? data[1] * 10 : 0)};
    }
    const Answer answer = handler.Decide(data, size, state, now);
    const bool addressed = size > gpio_modbus::kHeaderLength &&
                           (data[gpio_modbus::kHeaderLength - 1] == 1 || data[gpio_modbus::kHeaderLength - 1] == 0xFF);
    FUZZ_CHECK((answer.kind == Answer::Kind::kNone) == !addressed, "left unanswered, or answered for another unit");
    switch (answer.kind) {
    case Answer::Kind::kNone:
        break;
    case Answer::Kind::kException:
        FUZZ_CHECK(answer.exception == gpio_modbus::kIllegalFunction ||
                       answer.exception == gpio_modbus::kIllegalAddress ||
                       answer.exception == gpio_modbus::kIllegalValue || answer.exception == gpio_modbus::kTargetFailed,
                   "an exception outside the map's");
        break;
    case Answer::Kind::kRead:
        FUZZ_CHECK(answer.quantity >= 1 && static_cast<std::size_t>(answer.quantity) == answer.values.size(),
                   "a read with another number of values than addresses");
        FUZZ_CHECK(answer.function >= 1 && answer.function <= 4, "a read of another function");
        for (const std::uint16_t value : answer.values) {
            FUZZ_CHECK(answer.function > 2 || value <= 1, "a bit that is neither 0 nor 1");
            FUZZ_CHECK(answer.function != 3 || value <= 0xFF, "a port register above 255");
        }
        break;
    case Answer::Kind::kWrite:
        FUZZ_CHECK(state.online, "a write planned while the controller does not answer");
        FUZZ_CHECK(!answer.plan.empty(), "a write without a step");
        for (const gpio_modbus::WriteStep &step : answer.plan) {
            FUZZ_CHECK(step.port == 0 || step.port == 2 || step.port == 255, "a write to a port that takes none");
            FUZZ_CHECK(step.bit >= 0 && step.bit <= 7, "a bit outside 0-7");
            FUZZ_CHECK(step.verify == (step.port != 2), "a read-back checked on a both-way port, or not on an output");
        }
        break;
    }
    return 0;
}
