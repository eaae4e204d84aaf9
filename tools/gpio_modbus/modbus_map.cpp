#include "modbus_map.h"

#include <algorithm>
#include <memory>

#include "gpiolink.h"

namespace gpio_modbus {
namespace {

std::uint16_t Word(const std::uint8_t *bytes)
{
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

Answer Exception(int function, int code)
{
    Answer answer;
    answer.kind = Answer::Kind::kException;
    answer.function = function;
    answer.exception = code;
    return answer;
}

// Where the function's fields lie after the function code.
constexpr std::size_t kAddressAt = kHeaderLength + 1;
constexpr std::size_t kQuantityAt = kHeaderLength + 3;  // or the single write's value
constexpr std::size_t kByteCountAt = kHeaderLength + 5;
constexpr std::size_t kDataAt = kHeaderLength + 6;

bool IsBitFunction(int function)
{
    return function == MODBUS_FC_READ_COILS || function == MODBUS_FC_READ_DISCRETE_INPUTS ||
           function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
}

int BitCount(std::uint8_t mask)
{
    int count = 0;
    for (; mask != 0; mask = static_cast<std::uint8_t>(mask & (mask - 1))) {
        ++count;
    }
    return count;
}

}  // namespace

bool Served(int function)
{
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        return true;
    default:
        return false;
    }
}

RequestHandler::RequestHandler(MapSettings settings) : settings_(std::move(settings))
{
    byNumber_.fill(-1);
    for (std::size_t i = 0; i < settings_.ports.size(); ++i) {
        const int number = settings_.ports[i].number;
        if (number >= 0 && number <= 255) {
            byNumber_[static_cast<std::size_t>(number)] = static_cast<int>(i);
        }
    }
}

const MapPort *RequestHandler::Port(int number) const
{
    if (number < 0 || number > 255 || byNumber_[static_cast<std::size_t>(number)] < 0) {
        return nullptr;
    }
    return &settings_.ports[static_cast<std::size_t>(byNumber_[static_cast<std::size_t>(number)])];
}

int RequestHandler::Stale(const MapPort &port, const Snapshot &state, Clock::time_point now) const
{
    const std::optional<PortReading> &reading = state.ports[static_cast<std::size_t>(port.number)];
    if (!state.online || !reading) {
        return kTargetFailed;
    }
    if (!port.polled && settings_.checkInterval.count() == 0) {
        return 0;  // never read again: its value holds while the controller answers
    }
    const auto limit = port.polled ? settings_.maxPollAge : settings_.checkInterval + settings_.maxPollAge;
    return now - reading->when > limit ? kTargetFailed : 0;
}

std::uint16_t RequestHandler::BridgeRegister(int address, const Snapshot &state, Clock::time_point now) const
{
    const auto age = [now](Clock::time_point when) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - when).count();
        return static_cast<std::uint16_t>(std::clamp<long long>(ms, 0, kAgeUnknown));
    };
    switch (address) {
    case kOnlineRegister:
        return state.online ? 1 : 0;
    case kFailedHighRegister:
        return static_cast<std::uint16_t>(state.failedExchanges >> 16);
    case kFailedLowRegister:
        return static_cast<std::uint16_t>(state.failedExchanges & 0xFFFF);
    case kOldestAgeRegister:
    case kNewestAgeRegister: {
        std::optional<std::uint16_t> oldest;
        std::optional<std::uint16_t> newest;
        for (const MapPort &port : settings_.ports) {
            const std::optional<PortReading> &reading = state.ports[static_cast<std::size_t>(port.number)];
            const std::uint16_t ms = reading ? age(reading->when) : kAgeUnknown;
            oldest = std::max(oldest.value_or(0), ms);
            if (reading) {
                newest = std::min(newest.value_or(kAgeUnknown), ms);
            }
        }
        return address == kOldestAgeRegister ? oldest.value_or(kAgeUnknown) : newest.value_or(kAgeUnknown);
    }
    default: {
        const std::size_t first = static_cast<std::size_t>(address - kVersionRegister) * 2;
        const auto byte = [&state](std::size_t at) {
            return at < state.version.size() ? static_cast<std::uint8_t>(state.version[at]) : 0;
        };
        return static_cast<std::uint16_t>((byte(first) << 8) | byte(first + 1));
    }
    }
}

Answer RequestHandler::Read(int function, int address, int quantity, const Snapshot &state,
                            Clock::time_point now) const
{
    // Every address must be in the map (0x02) before any is found stale (0x0B).
    const auto portOf = [&](int at) -> const MapPort * {
        const MapPort *port = Port(IsBitFunction(function) ? at / 8 : at);
        if (port == nullptr) {
            return nullptr;
        }
        const bool outputs = function == MODBUS_FC_READ_COILS || function == MODBUS_FC_READ_HOLDING_REGISTERS;
        return (outputs ? port->writable : port->polled) ? port : nullptr;
    };
    const auto bridge = [function](int at) {
        return function == MODBUS_FC_READ_INPUT_REGISTERS && at >= kBridgeBlock && at < kBridgeBlockEnd;
    };
    for (int at = address; at < address + quantity; ++at) {
        if (!bridge(at) && portOf(at) == nullptr) {
            return Exception(function, kIllegalAddress);
        }
    }
    Answer answer;
    answer.kind = Answer::Kind::kRead;
    answer.function = function;
    answer.address = address;
    answer.quantity = quantity;
    answer.values.reserve(static_cast<std::size_t>(quantity));
    for (int at = address; at < address + quantity; ++at) {
        if (bridge(at)) {
            answer.values.push_back(BridgeRegister(at, state, now));
            continue;
        }
        const MapPort &port = *portOf(at);
        if (const int stale = Stale(port, state, now); stale != 0) {
            return Exception(function, stale);
        }
        const std::uint8_t value = state.ports[static_cast<std::size_t>(port.number)]->value;
        answer.values.push_back(IsBitFunction(function) ? (value >> (at % 8)) & 1 : value);
    }
    return answer;
}

Answer RequestHandler::Decide(const std::uint8_t *adu, std::size_t length, const Snapshot &state,
                              Clock::time_point now) const
{
    if (length <= kHeaderLength) {
        return {};
    }
    // Another unit's request is left unanswered, as a gateway leaves one
    // for a device it does not reach.
    const int unit = adu[kHeaderLength - 1];
    if (unit != settings_.unitId && unit != kUnitNotUsed) {
        return {};
    }
    const int function = adu[kHeaderLength];
    if (!Served(function)) {
        return Exception(function, kIllegalFunction);
    }
    if (length < kQuantityAt + 2) {
        return Exception(function, kIllegalValue);
    }
    const int address = Word(adu + kAddressAt);
    const int second = Word(adu + kQuantityAt);  // the quantity, or a single write's value

    if (function <= MODBUS_FC_READ_INPUT_REGISTERS) {
        const bool bits = IsBitFunction(function);
        if (second < 1 || second > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS)) {
            return Exception(function, kIllegalValue);
        }
        if (address + second > 0x10000) {
            return Exception(function, kIllegalAddress);
        }
        return Read(function, address, second, state, now);
    }

    Answer write;
    write.kind = Answer::Kind::kWrite;
    write.function = function;
    write.address = address;
    write.quantity = 1;
    const auto writable = [this](int number) {
        const MapPort *port = Port(number);
        return port != nullptr && port->writable ? port : nullptr;
    };
    const auto output = [&write](const MapPort &port, int value) {
        WriteStep step;
        step.port = port.number;
        step.value = static_cast<std::uint8_t>(value);
        step.verify = !port.polled;
        write.plan.push_back(step);
    };
    if (function == MODBUS_FC_WRITE_SINGLE_COIL) {
        if (second != 0xFF00 && second != 0x0000) {
            return Exception(function, kIllegalValue);
        }
        const MapPort *port = writable(address / 8);
        if (port == nullptr) {
            return Exception(function, kIllegalAddress);
        }
        WriteStep step;
        step.kind = second == 0xFF00 ? WriteStep::Kind::kBitSet : WriteStep::Kind::kBitReset;
        step.port = port->number;
        step.bit = address % 8;
        step.verify = !port->polled;
        write.plan.push_back(step);
    } else if (function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        const MapPort *port = writable(address);
        if (port == nullptr) {
            return Exception(function, kIllegalAddress);
        }
        if (second > 0xFF) {
            return Exception(function, kIllegalValue);
        }
        output(*port, second);
    } else {
        const bool coils = function == MODBUS_FC_WRITE_MULTIPLE_COILS;
        const int quantity = second;
        const int limit = coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
        const int bytes = coils ? (quantity + 7) / 8 : quantity * 2;
        if (quantity < 1 || quantity > limit || length < kDataAt || adu[kByteCountAt] != bytes ||
            length < kDataAt + static_cast<std::size_t>(bytes)) {
            return Exception(function, kIllegalValue);
        }
        if (address + quantity > 0x10000) {
            return Exception(function, kIllegalAddress);
        }
        write.quantity = quantity;
        const std::uint8_t *data = adu + kDataAt;
        for (int i = 0; i < quantity; ++i) {
            const MapPort *port = writable(coils ? (address + i) / 8 : address + i);
            if (port == nullptr) {
                return Exception(function, kIllegalAddress);
            }
            if (!coils) {
                const int value = Word(data + 2 * static_cast<std::ptrdiff_t>(i));
                if (value > 0xFF) {
                    return Exception(function, kIllegalValue);
                }
                output(*port, value);
                continue;
            }
            // The coils of one port gather into one step.
            if (write.plan.empty() || write.plan.back().port != port->number) {
                WriteStep step;
                step.kind = WriteStep::Kind::kMerge;
                step.port = port->number;
                step.mask = 0;
                step.verify = !port->polled;
                write.plan.push_back(step);
            }
            WriteStep &step = write.plan.back();
            const int bit = (address + i) % 8;
            step.mask = static_cast<std::uint8_t>(step.mask | (1U << bit));
            if (((data[i / 8] >> (i % 8)) & 1) != 0) {
                step.value = static_cast<std::uint8_t>(step.value | (1U << bit));
            }
        }
        // A whole port needs no read first; a single bit is the controller's
        // own bit set or reset.
        for (WriteStep &step : write.plan) {
            if (step.kind != WriteStep::Kind::kMerge) {
                continue;
            }
            if (step.mask == 0xFF) {
                step.kind = WriteStep::Kind::kOutput;
            } else if (BitCount(step.mask) == 1) {
                step.bit = 0;
                while (((step.mask >> step.bit) & 1) == 0) {
                    ++step.bit;
                }
                step.kind = step.value != 0 ? WriteStep::Kind::kBitSet : WriteStep::Kind::kBitReset;
            }
        }
    }
    if (!state.online) {
        return Exception(function, kTargetFailed);
    }
    return write;
}

int ExceptionFor(int result)
{
    switch (result) {
    case GPIO_RESULT_OK:
        return 0;
    case GPIO_RESULT_DEVICE_FF:
    case GPIO_RESULT_DEVICE_FE:
    case GPIO_RESULT_UNEXPECTED:
        return kServerFailure;
    default:
        return kTargetFailed;
    }
}

int CarryOut(const WritePlan &plan, PortAccess &ports)
{
    for (const WriteStep &step : plan) {
        WriteOutcome outcome;
        std::uint8_t expected = step.value;
        std::uint8_t mask = step.mask;
        switch (step.kind) {
        case WriteStep::Kind::kOutput:
            outcome = ports.Output(step.port, step.value);
            break;
        case WriteStep::Kind::kBitSet:
        case WriteStep::Kind::kBitReset:
            mask = static_cast<std::uint8_t>(1U << step.bit);
            expected = step.kind == WriteStep::Kind::kBitSet ? mask : 0;
            outcome = step.kind == WriteStep::Kind::kBitSet ? ports.BitSet(step.port, step.bit)
                                                            : ports.BitReset(step.port, step.bit);
            break;
        case WriteStep::Kind::kMerge: {
            // Merged with the port as it is now, not with a value the poll
            // kept a while ago.
            if (const int read = ports.Read(step.port); read != GPIO_RESULT_OK) {
                return ExceptionFor(read);
            }
            const std::optional<std::uint8_t> current = ports.Value(step.port);
            if (!current) {
                return kTargetFailed;
            }
            expected = static_cast<std::uint8_t>((*current & ~step.mask) | (step.value & step.mask));
            outcome = ports.Output(step.port, expected);
            break;
        }
        }
        if (outcome.result != GPIO_RESULT_OK) {
            return ExceptionFor(outcome.result);
        }
        // Unconfirmed is not done: the client must not take it for done.
        if (outcome.readBack != GPIO_RESULT_OK || !outcome.value) {
            return kTargetFailed;
        }
        if (step.verify && ((*outcome.value ^ expected) & mask) != 0) {
            return kServerFailure;
        }
    }
    return 0;
}

int SendAnswer(modbus_t *context, const std::uint8_t *adu, int length, const Answer &answer)
{
    if (answer.kind == Answer::Kind::kNone) {
        return 0;
    }
    if (answer.kind == Answer::Kind::kException) {
        return modbus_reply_exception(context, adu, static_cast<unsigned>(answer.exception));
    }
    // A mapping of just the request's addresses: modbus_reply reads a
    // read's values from it, and writes a write's values into it as it
    // builds the echo.
    const int at = answer.address;
    const int count = answer.quantity;
    const int function = answer.function;
    const bool coils = function == MODBUS_FC_READ_COILS || function == MODBUS_FC_WRITE_SINGLE_COIL ||
                       function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    const bool inputs = function == MODBUS_FC_READ_DISCRETE_INPUTS;
    const bool holding = function == MODBUS_FC_READ_HOLDING_REGISTERS ||
                         function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
                         function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    const bool inputRegisters = function == MODBUS_FC_READ_INPUT_REGISTERS;
    const std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t *)> mapping(
        modbus_mapping_new_start_address(at, coils ? count : 0, at, inputs ? count : 0, at, holding ? count : 0, at,
                                         inputRegisters ? count : 0),
        modbus_mapping_free);
    if (!mapping) {
        return -1;
    }
    for (std::size_t i = 0; answer.kind == Answer::Kind::kRead && i < answer.values.size(); ++i) {
        if (coils) {
            mapping->tab_bits[i] = static_cast<std::uint8_t>(answer.values[i]);
        } else if (inputs) {
            mapping->tab_input_bits[i] = static_cast<std::uint8_t>(answer.values[i]);
        } else if (holding) {
            mapping->tab_registers[i] = answer.values[i];
        } else {
            mapping->tab_input_registers[i] = answer.values[i];
        }
    }
    return modbus_reply(context, adu, length, mapping.get());
}

}  // namespace gpio_modbus
