#include "controller_model.h"

#include <utility>

namespace gpio_sim {

using gpio_tools::kStatusMalformed;
using gpio_tools::kStatusOk;
using gpio_tools::kStatusOutOfRange;
using gpio_tools::kStatusUnknownCommand;

ControllerModel::ControllerModel(std::string versionText) : versionText_(std::move(versionText)) {}

Bytes ControllerModel::Handle(const Request &request)
{
    switch (request.form) {
    case Request::Form::kEmpty:
    case Request::Form::kWrongLength:
        return {kStatusMalformed};
    case Request::Form::kUnknown:
        return {kStatusUnknownCommand};
    case Request::Form::kWellFormed:
        break;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (request.command == Command::kVersion) {
        Bytes reply{kStatusOk};
        reply.insert(reply.end(), versionText_.begin(), versionText_.end());
        return reply;
    }
    const std::uint8_t port = request.port;
    if (port >= kPortCount) {
        return {kStatusOutOfRange};
    }
    if (request.command == Command::kInput) {
        return {kStatusOk, ReadPortLocked(port)};
    }
    if (request.command == Command::kOutput) {
        latch_[port] = request.value;
        return {kStatusOk};
    }
    if (request.bit >= kBitsPerPort) {
        return {kStatusOutOfRange};
    }
    const auto mask = static_cast<std::uint8_t>(1U << request.bit);
    switch (request.command) {
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
