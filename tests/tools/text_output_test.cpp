// Text from the line made safe for JSON and for a terminal, one code point
// at a time.
#include <gtest/gtest.h>

#include <string>

#include "text_output.h"

namespace gpio_tools {
namespace {

TEST(TextOutput, JsonKeepsValidUtf8WholeAndEscapesControlsAndStrayBytes)
{
    EXPECT_EQ("\"tty\xC3\xA9\"", JsonString("tty\xC3\xA9"));                // é, two bytes, one character
    EXPECT_EQ("\"\xE2\x82\xAC \xF0\x9F\x94\x8C\"", JsonString("\xE2\x82\xAC \xF0\x9F\x94\x8C"));
    EXPECT_EQ("\"a\\\"b\\\\c\"", JsonString("a\"b\\c"));
    EXPECT_EQ("\"\\u001b]0;x\\u0007\\r\\n\\t\\u007f\"", JsonString("\x1b]0;x\x07\r\n\t\x7f"));
    EXPECT_EQ("\"\\u0085\"", JsonString("\xC2\x85"));                         // C1 control NEL
    // Not UTF-8: a lone continuation byte, a cut sequence, an overlong '/'
    // and a surrogate, each byte as the code point of its number.
    EXPECT_EQ("\"\\u0080x\\u00c3\"", JsonString("\x80x\xC3"));
    EXPECT_EQ("\"\\u00c0\\u00af\"", JsonString("\xC0\xAF"));
    EXPECT_EQ("\"\\u00ed\\u00a0\\u0080\"", JsonString("\xED\xA0\x80"));
    EXPECT_EQ("\"\"", JsonString(""));
}

TEST(TextOutput, SafeTextEscapesWhatCouldControlTheTerminalAndNothingElse)
{
    EXPECT_EQ("GPIO-SIM 1.0 \xC3\xA9", SafeText("GPIO-SIM 1.0 \xC3\xA9"));
    EXPECT_EQ("\\x1b]0;owned\\x07\\x1b[2J", SafeText("\x1b]0;owned\x07\x1b[2J"));
    EXPECT_EQ("line\\x0dforged\\x0a", SafeText("line\rforged\n"));
    EXPECT_EQ("\\x9b31m \\x9b", SafeText("\xC2\x9B" "31m \x9B"));  // CSI as C1 and as a stray byte
    // A backslash is doubled, so the text cannot forge an escape.
    EXPECT_EQ("a\\\\x1b", SafeText("a\\x1b"));
}

}  // namespace
}  // namespace gpio_tools
