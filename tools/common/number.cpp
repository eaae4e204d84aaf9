#include "number.h"

#include <limits>

namespace gpio_tools {

const char *const kLeadingZeroAdvice =
    "which some tools read as octal: write it in decimal without the 0, or in hex with 0x";

ParsedUnsigned ParseUnsigned(const std::string &text, std::uint64_t min, std::uint64_t max)
{
    ParsedUnsigned parsed;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::size_t first = hex ? 2 : 0;
    if (text.size() == first) {
        return parsed;
    }
    const std::uint64_t base = hex ? 16 : 10;
    std::uint64_t value = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint64_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint64_t>(c - 'a') + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint64_t>(c - 'A') + 10;
        } else {
            return parsed;
        }
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) {
            return parsed;  // past 64 bits: no number a tool could take
        }
        value = value * base + digit;
    }
    if (!hex && text.size() > 1 && text[0] == '0') {
        parsed.fault = NumberFault::kLeadingZero;
        return parsed;
    }
    parsed.fault = value < min || value > max ? NumberFault::kOutOfRange : NumberFault::kNone;
    parsed.value = parsed.fault == NumberFault::kNone ? value : 0;
    return parsed;
}

std::string NumberProblem(const std::string &what, const std::string &text, const ParsedUnsigned &parsed,
                          const std::string &range)
{
    const std::string shown = what + " '" + text + "'";
    switch (parsed.fault) {
    case NumberFault::kNone:
        return {};
    case NumberFault::kLeadingZero:
        return shown + " has a leading 0, " + kLeadingZeroAdvice;
    case NumberFault::kNotNumber:
    case NumberFault::kOutOfRange:
        break;
    }
    return shown + " is not a number from " + range;
}

}  // namespace gpio_tools
