// A request payload read once into what it asks for, and the words a trace
// uses for requests and replies. Shared by gpio-sim, which carries requests
// out, and gpio-tap, which reports them.
//
// Commands (request payload -> reply payload on success):
//   'I' port              -> 00 value           input
//   'O' port value        -> 00                 output
//   'T' port bit          -> 00 'H' | 'L'       bit test
//   'B' 'S' port bit      -> 00                 bit set
//   'B' 'C' port bit      -> 00                 bit reset
//   'V'                   -> 00 version text    version (no terminator)
#ifndef GPIO_TOOLS_REQUEST_H
#define GPIO_TOOLS_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire_codec.h"

namespace gpio_tools {

constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusMalformed = 0xFD;
constexpr std::uint8_t kStatusUnknownCommand = 0xFE;
constexpr std::uint8_t kStatusOutOfRange = 0xFF;

// What a request asks for, once its command bytes are recognised.
enum class Command { kUnknown, kInput, kOutput, kBitTest, kBitSet, kBitReset, kVersion };

// A request payload, decoded.
struct Request {
    enum class Form {
        kWellFormed,   // a known command with the length it needs
        kEmpty,        // no payload at all
        kUnknown,      // the first byte names no command (see `code`)
        kWrongLength,  // a known command, or a lone 'B', of the wrong length
    };
    Form form = Form::kEmpty;
    Command command = Command::kUnknown;
    std::uint8_t code = 0;     // the first payload byte
    std::size_t length = 0;    // payload bytes
    bool hasPort = false;      // the command takes a port (I, O, T, BS, BC)
    std::uint8_t port = 0;
    std::uint8_t bit = 0;      // T, BS, BC
    std::uint8_t value = 0;    // O
};

Request DecodeRequest(const Bytes &payload);

// The command named by its request bytes as text: "I", "O", "T", "BS",
// "BC" or "V"; kUnknown for any other text.
Command CommandNamed(const std::string &name);

// A short human reading of a request ("input port 2") and of the reply
// payload given to it ("ok value 0xA5"), for traces. Port and bit numbers
// are decimal; text from the line is escaped (SafeText).
std::string DescribeRequest(const Request &request);
std::string DescribeReply(const Request &request, const Bytes &reply);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_REQUEST_H
