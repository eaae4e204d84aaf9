#include "controller_model.h"

#include <cstdio>
#include <utility>

namespace gpio_sim {
namespace {

// Payload length of a well-formed request, command bytes included.
std::size_t ExpectedLength(Command command)
{
    switch (command) {
    case Command::kInput:
        return 2;
    case Command::kOutput:
    case Command::kBitTest:
        return 3;
    case Command::kBitSet:
    case Command::kBitReset:
        return 4;
    case Command::kVersion:
        return 1;
    case Command::kUnknown:
        break;
    }
    return 0;
}

std::string Hex(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", byte);
    return text;
}

std::string StatusText(std::uint8_t status)
{
    switch (status) {
    case kStatusMalformed:
        return "status 0xFD (malformed request)";
    case kStatusUnknownCommand:
        return "status 0xFE (unknown command)";
    case kStatusOutOfRange:
        return "status 0xFF (port or bit out of range)";
    default:
        return "status " + Hex(status);
    }
}

}  // namespace

Command CommandOf(const Bytes &request)
{
    if (request.empty()) {
        return Command::kUnknown;
    }
    switch (request[0]) {
    case 'I':
        return Command::kInput;
    case 'O':
        return Command::kOutput;
    case 'T':
        return Command::kBitTest;
    case 'V':
        return Command::kVersion;
    case 'B':
        if (request.size() >= 2 && request[1] == 'S') {
            return Command::kBitSet;
        }
        if (request.size() >= 2 && request[1] == 'C') {
            return Command::kBitReset;
        }
        return Command::kUnknown;
    default:
        return Command::kUnknown;
    }
}

Command CommandNamed(const std::string &name)
{
    const Bytes bytes(name.begin(), name.end());
    const Command command = CommandOf(bytes);
    // CommandOf looks at the command bytes only; the name must be nothing more.
    const std::size_t length = command == Command::kBitSet || command == Command::kBitReset ? 2 : 1;
    return bytes.size() == length ? command : Command::kUnknown;
}

int PortOperandOffset(Command command)
{
    switch (command) {
    case Command::kInput:
    case Command::kOutput:
    case Command::kBitTest:
        return 1;
    case Command::kBitSet:
    case Command::kBitReset:
        return 2;
    case Command::kVersion:
    case Command::kUnknown:
        break;
    }
    return -1;
}

std::string DescribeRequest(const Bytes &request)
{
    const Command command = CommandOf(request);
    const bool loneB = request.size() == 1 && request[0] == 'B';
    if (loneB || (command != Command::kUnknown && request.size() != ExpectedLength(command))) {
        return "malformed request (" + std::to_string(request.size()) + " payload bytes)";
    }
    const auto operand = [&request](std::size_t i) { return std::to_string(request[i]); };
    switch (command) {
    case Command::kInput:
        return "input port " + operand(1);
    case Command::kOutput:
        return "output port " + operand(1) + " value " + Hex(request[2]);
    case Command::kBitTest:
        return "bit test port " + operand(1) + " bit " + operand(2);
    case Command::kBitSet:
        return "bit set port " + operand(2) + " bit " + operand(3);
    case Command::kBitReset:
        return "bit reset port " + operand(2) + " bit " + operand(3);
    case Command::kVersion:
        return "version";
    case Command::kUnknown:
        break;
    }
    return request.empty() ? "empty request" : "unknown command " + Hex(request[0]);
}

std::string DescribeReply(const Bytes &request, const Bytes &reply)
{
    if (reply.empty()) {
        return "empty reply";
    }
    if (reply[0] != kStatusOk) {
        return StatusText(reply[0]) + (reply.size() > 1 ? " with data" : "");
    }
    const Command command = CommandOf(request);
    if (command == Command::kInput && reply.size() == 2) {
        return "ok value " + Hex(reply[1]);
    }
    if (command == Command::kBitTest && reply.size() == 2) {
        return std::string("ok level ") + static_cast<char>(reply[1]);
    }
    if (command == Command::kVersion) {
        return "ok version \"" + std::string(reply.begin() + 1, reply.end()) + "\"";
    }
    if (reply.size() == 1) {
        return "ok";
    }
    return "ok with " + std::to_string(reply.size() - 1) + " data bytes";
}

ControllerModel::ControllerModel(std::string versionText) : versionText_(std::move(versionText)) {}

Bytes ControllerModel::Handle(const Bytes &request)
{
    const Command command = CommandOf(request);
    if (request.empty()) {
        return {kStatusMalformed};
    }
    if (command == Command::kUnknown) {
        // A lone 'B' cannot be told apart from a cut-off bit command.
        return {request.size() == 1 && request[0] == 'B' ? kStatusMalformed : kStatusUnknownCommand};
    }
    if (request.size() != ExpectedLength(command)) {
        return {kStatusMalformed};
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (command == Command::kVersion) {
        Bytes reply{kStatusOk};
        reply.insert(reply.end(), versionText_.begin(), versionText_.end());
        return reply;
    }
    const auto offset = static_cast<std::size_t>(PortOperandOffset(command));
    const std::uint8_t port = request[offset];
    if (port >= kPortCount) {
        return {kStatusOutOfRange};
    }
    if (command == Command::kInput) {
        return {kStatusOk, ReadPortLocked(port)};
    }
    if (command == Command::kOutput) {
        latch_[port] = request[2];
        return {kStatusOk};
    }
    const std::uint8_t bit = request[offset + 1];
    if (bit >= kBitsPerPort) {
        return {kStatusOutOfRange};
    }
    const auto mask = static_cast<std::uint8_t>(1U << bit);
    switch (command) {
    case Command::kBitTest:
        return {kStatusOk, static_cast<std::uint8_t>((ReadPortLocked(port) & mask) != 0 ? 'H' : 'L')};
    case Command::kBitSet:
        latch_[port] = static_cast<std::uint8_t>(latch_[port] | mask);
        return {kStatusOk};
    case Command::kBitReset:
        latch_[port] = static_cast<std::uint8_t>(latch_[port] & ~mask);
        return {kStatusOk};
    default:
        return {kStatusUnknownCommand};
    }
}

std::uint8_t ControllerModel::Latch(std::uint8_t port) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port < kPortCount ? latch_[port] : 0;
}

void ControllerModel::SetLatch(std::uint8_t port, std::uint8_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (port < kPortCount) {
        latch_[port] = value;
    }
}

void ControllerModel::SetInputPins(std::uint8_t port, std::uint8_t mask, std::uint8_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (port < kPortCount) {
        drivenMask_[port] = mask;
        drivenValue_[port] = static_cast<std::uint8_t>(value & mask);
    }
}

std::uint8_t ControllerModel::ReadPort(std::uint8_t port) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port < kPortCount ? ReadPortLocked(port) : 0;
}

std::uint8_t ControllerModel::ReadPortLocked(std::uint8_t port) const
{
    return static_cast<std::uint8_t>((latch_[port] & ~drivenMask_[port]) | drivenValue_[port]);
}

std::string ControllerModel::VersionText() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return versionText_;
}

void ControllerModel::SetVersionText(std::string text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    versionText_ = std::move(text);
}

void ControllerModel::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    latch_.fill(0);
    drivenMask_.fill(0);
    drivenValue_.fill(0);
}

}  // namespace gpio_sim
