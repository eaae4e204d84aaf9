#include "number.h"

#include <charconv>
#include <system_error>

namespace gpio_tools {

const char *const kLeadingZeroAdvice =
    "which some tools read as octal: write it in decimal without the 0, or in hex with 0x";

ParsedUnsigned ParseUnsigned(const std::string &text, std::uint64_t min, std::uint64_t max)
{
    ParsedUnsigned parsed;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *const first = text.data() + (hex ? 2 : 0);
    const char *const last = text.data() + text.size();
    std::uint64_t value = 0;
    // from_chars takes the digits alone (no sign, space or prefix) and says
    // when a number is past 64 bits: no number a tool could take.
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || error != std::errc() || end != last) {
        return parsed;
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
