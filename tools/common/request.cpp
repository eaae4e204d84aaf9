#include "request.h"

#include <cstdio>

#include "text_output.h"

namespace gpio_tools {
namespace {

// The command of the first payload bytes, kUnknown if they name none.
Command CommandOf(const Bytes &payload)
{
    if (payload.empty()) {
        return Command::kUnknown;
    }
    switch (payload[0]) {
    case 'I':
        return Command::kInput;
    case 'O':
        return Command::kOutput;
    case 'T':
        return Command::kBitTest;
    case 'V':
        return Command::kVersion;
    case 'B':
        if (payload.size() >= 2 && payload[1] == 'S') {
            return Command::kBitSet;
        }
        if (payload.size() >= 2 && payload[1] == 'C') {
            return Command::kBitReset;
        }
        return Command::kUnknown;
    default:
        return Command::kUnknown;
    }
}

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

Request DecodeRequest(const Bytes &payload)
{
    Request request;
    request.length = payload.size();
    if (payload.empty()) {
        return request;
    }
    request.code = payload[0];
    request.command = CommandOf(payload);
    if (request.command == Command::kUnknown) {
        // A lone 'B' cannot be told apart from a cut-off bit command.
        request.form = payload.size() == 1 && payload[0] == 'B' ? Request::Form::kWrongLength : Request::Form::kUnknown;
        return request;
    }
    if (payload.size() != ExpectedLength(request.command)) {
        request.form = Request::Form::kWrongLength;
        return request;
    }
    request.form = Request::Form::kWellFormed;
    switch (request.command) {
    case Command::kOutput:
        request.value = payload[2];
        [[fallthrough]];
    case Command::kInput:
        request.hasPort = true;
        request.port = payload[1];
        break;
    case Command::kBitTest:
        request.hasPort = true;
        request.port = payload[1];
        request.bit = payload[2];
        break;
    case Command::kBitSet:
    case Command::kBitReset:
        request.hasPort = true;
        request.port = payload[2];
        request.bit = payload[3];
        break;
    case Command::kVersion:
    case Command::kUnknown:
        break;
    }
    return request;
}

Command CommandNamed(const std::string &name)
{
    const Request request = DecodeRequest(Bytes(name.begin(), name.end()));
    // The name is the command bytes and nothing more.
    const std::size_t length = request.command == Command::kBitSet || request.command == Command::kBitReset ? 2 : 1;
    return name.size() == length ? request.command : Command::kUnknown;
}

std::string DescribeRequest(const Request &request)
{
    switch (request.form) {
    case Request::Form::kEmpty:
        return "empty request";
    case Request::Form::kUnknown:
        return "unknown command " + Hex(request.code);
    case Request::Form::kWrongLength:
        return "malformed request (" + std::to_string(request.length) + " payload bytes)";
    case Request::Form::kWellFormed:
        break;
    }
    const std::string port = "port " + std::to_string(request.port);
    const std::string bit = " bit " + std::to_string(request.bit);
    switch (request.command) {
    case Command::kInput:
        return "input " + port;
    case Command::kOutput:
        return "output " + port + " value " + Hex(request.value);
    case Command::kBitTest:
        return "bit test " + port + bit;
    case Command::kBitSet:
        return "bit set " + port + bit;
    case Command::kBitReset:
        return "bit reset " + port + bit;
    case Command::kVersion:
        return "version";
    case Command::kUnknown:
        break;
    }
    return "unknown command " + Hex(request.code);
}

std::string DescribeReply(const Request &request, const Bytes &reply)
{
    if (reply.empty()) {
        return "empty reply";
    }
    if (reply[0] != kStatusOk) {
        return StatusText(reply[0]) + (reply.size() > 1 ? " with data" : "");
    }
    const bool wellFormed = request.form == Request::Form::kWellFormed;
    if (wellFormed && request.command == Command::kInput && reply.size() == 2) {
        return "ok value " + Hex(reply[1]);
    }
    if (wellFormed && request.command == Command::kBitTest && reply.size() == 2) {
        return "ok level " + SafeText(std::string(1, static_cast<char>(reply[1])));
    }
    if (wellFormed && request.command == Command::kVersion) {
        return "ok version \"" + SafeText(std::string(reply.begin() + 1, reply.end())) + "\"";
    }
    if (reply.size() == 1) {
        return "ok";
    }
    return "ok with " + std::to_string(reply.size() - 1) + " data bytes";
}

}  // namespace gpio_tools
