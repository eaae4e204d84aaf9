// The one way the tools read a number: decimal or 0x hex, a leading 0
// refused, a range checked, and no text that only looks like a number.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "number.h"

namespace gpio_tools {
namespace {

struct Case {
    const char *text;
    std::uint64_t min;
    std::uint64_t max;
    NumberFault fault;
    std::uint64_t value;  // when fault is kNone
};

constexpr std::uint64_t kAll = ~std::uint64_t{0};

TEST(ParseUnsigned, ReadsDecimalAndHexAndRefusesAllElse)
{
    const Case cases[] = {
        // Decimal, hex with either x, and the edges of the range.
        {"0", 0, 255, NumberFault::kNone, 0},
        {"255", 0, 255, NumberFault::kNone, 255},
        {"0x0", 0, 255, NumberFault::kNone, 0},
        {"0xff", 0, 255, NumberFault::kNone, 255},
        {"0XFF", 0, 255, NumberFault::kNone, 255},
        {"0x00A5", 0, 255, NumberFault::kNone, 0xA5},  // zeros after 0x are not octal
        {"7", 7, 7, NumberFault::kNone, 7},
        {"18446744073709551615", 0, kAll, NumberFault::kNone, kAll},
        {"0xFFFFFFFFFFFFFFFF", 0, kAll, NumberFault::kNone, kAll},
        // Out of the range given, on either side.
        {"256", 0, 255, NumberFault::kOutOfRange, 0},
        {"0x100", 0, 255, NumberFault::kOutOfRange, 0},
        {"0", 1, 10, NumberFault::kOutOfRange, 0},
        {"4294967296", 0, 0xFFFFFFFF, NumberFault::kOutOfRange, 0},
        // Past 64 bits: no number, not a wrapped one.
        {"18446744073709551616", 0, kAll, NumberFault::kNotNumber, 0},
        {"0x10000000000000000", 0, kAll, NumberFault::kNotNumber, 0},
        {"99999999999999999999999", 0, 255, NumberFault::kNotNumber, 0},
        // A leading 0 of a decimal number, whatever its digits.
        {"010", 0, 255, NumberFault::kLeadingZero, 0},
        {"00", 0, 255, NumberFault::kLeadingZero, 0},
        {"08", 0, 255, NumberFault::kLeadingZero, 0},
        {"0255", 0, 255, NumberFault::kLeadingZero, 0},
        // Not a number in the tools' form.
        {"", 0, 255, NumberFault::kNotNumber, 0},
        {"0x", 0, 255, NumberFault::kNotNumber, 0},
        {"x10", 0, 255, NumberFault::kNotNumber, 0},
        {"-1", 0, 255, NumberFault::kNotNumber, 0},
        {"+1", 0, 255, NumberFault::kNotNumber, 0},
        {" 1", 0, 255, NumberFault::kNotNumber, 0},
        {"1 ", 0, 255, NumberFault::kNotNumber, 0},
        {"1\n", 0, 255, NumberFault::kNotNumber, 0},
        {"12a", 0, 255, NumberFault::kNotNumber, 0},
        {"ff", 0, 255, NumberFault::kNotNumber, 0},
        {"0x1G", 0, 255, NumberFault::kNotNumber, 0},
        {"0x-1", 0, 255, NumberFault::kNotNumber, 0},
        {"0x 1", 0, 255, NumberFault::kNotNumber, 0},
        {"1e3", 0, 5000, NumberFault::kNotNumber, 0},
        {"1.0", 0, 255, NumberFault::kNotNumber, 0},
        {"0b1", 0, 255, NumberFault::kNotNumber, 0},
        {"0o10", 0, 255, NumberFault::kNotNumber, 0},
        {"\xd9\xa1", 0, 255, NumberFault::kNotNumber, 0},  // an Arabic-Indic digit one
    };
    for (const Case &c : cases) {
        const ParsedUnsigned parsed = ParseUnsigned(c.text, c.min, c.max);
        EXPECT_EQ(c.fault, parsed.fault) << "'" << c.text << "'";
        EXPECT_EQ(c.fault == NumberFault::kNone, static_cast<bool>(parsed)) << "'" << c.text << "'";
        if (c.fault == NumberFault::kNone) {
            EXPECT_EQ(c.value, parsed.value) << "'" << c.text << "'";
        }
    }
    // A string that holds a NUL is not cut short at it.
    EXPECT_FALSE(ParseUnsigned(std::string("1\0" "2", 3), 0, 255));
}

TEST(ParseUnsigned, ProblemNamesTheWordAndTheRule)
{
    const std::string range = "0 to 255 (or 0x00 to 0xFF)";
    EXPECT_EQ("", NumberProblem("PORT", "0x10", ParseUnsigned("0x10", 0, 255), range));
    EXPECT_EQ("PORT '256' is not a number from 0 to 255 (or 0x00 to 0xFF)",
              NumberProblem("PORT", "256", ParseUnsigned("256", 0, 255), range));
    EXPECT_EQ("VALUE 'ten' is not a number from 0 to 255 (or 0x00 to 0xFF)",
              NumberProblem("VALUE", "ten", ParseUnsigned("ten", 0, 255), range));
    EXPECT_EQ("BIT '07' has a leading 0, which some tools read as octal: write it in decimal without the 0, or in "
              "hex with 0x",
              NumberProblem("BIT", "07", ParseUnsigned("07", 0, 7), range));
}

}  // namespace
}  // namespace gpio_tools
