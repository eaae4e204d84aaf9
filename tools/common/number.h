// Numbers on the tools' command lines, on gpio-sim's standard input and in
// gpio-mqtt's topics and payloads, all read by one set of rules:
//   - decimal digits ("200"), or hex digits after 0x or 0X ("0xC8");
//   - nothing else: no sign, no space, no suffix, no empty text;
//   - a decimal number of more than one digit that starts with 0 ("010")
//     is refused, because other tools read it as octal (8), and a user who
//     meant either would be surprised by the other;
//   - the value must lie from `min` to `max`.
#ifndef GPIO_TOOLS_NUMBER_H
#define GPIO_TOOLS_NUMBER_H

#include <cstdint>
#include <string>

namespace gpio_tools {

enum class NumberFault {
    kNone,
    kNotNumber,    // not digits in the form above, or past 2^64 - 1
    kLeadingZero,  // "010"
    kOutOfRange,   // a number, below `min` or above `max`
};

struct ParsedUnsigned {
    std::uint64_t value = 0;
    NumberFault fault = NumberFault::kNotNumber;

    explicit operator bool() const { return fault == NumberFault::kNone; }
};

ParsedUnsigned ParseUnsigned(const std::string &text, std::uint64_t min, std::uint64_t max);

// Why a leading 0 is refused and what to write instead, after "has a
// leading 0, " or "wants a number without a leading 0, ".
extern const char *const kLeadingZeroAdvice;

// What is wrong with `text` as `what`, in the tools' words, "" when
// nothing is: "PORT '9x' is not a number from 0 to 255 (or 0x00 to 0xFF)",
// or for a leading 0 "PORT '010' has a leading 0, which some tools read as
// octal: write it in decimal without the 0, or in hex with 0x". `range`
// words the allowed values ("0 to 255 (or 0x00 to 0xFF)"). The text is
// quoted as given: it is made safe where it is printed (SafeText).
std::string NumberProblem(const std::string &what, const std::string &text, const ParsedUnsigned &parsed,
                          const std::string &range);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_NUMBER_H
