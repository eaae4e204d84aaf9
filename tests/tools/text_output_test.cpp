// Text from the line made safe for JSON and for a terminal, one code point
// at a time.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

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
    // and a surrogate, each byte as the four characters \xHH.
    EXPECT_EQ("\"\\\\x80x\\\\xc3\"", JsonString("\x80x\xC3"));
    EXPECT_EQ("\"\\\\xc0\\\\xaf\"", JsonString("\xC0\xAF"));
    EXPECT_EQ("\"\\\\xed\\\\xa0\\\\x80\"", JsonString("\xED\xA0\x80"));
    EXPECT_EQ("\"\"", JsonString(""));
}

// A whole JSON line: the members in the order they were set, compact, and
// every string in it, keys and nested ones too, as safe as JsonString's.
TEST(TextOutput, JsonLineKeepsMemberOrderAndEscapesEveryStringInIt)
{
    Json line = {{"z", 1}, {"a", JsonText("A\xE2\x80\xAE" "B")}};
    line["nested"] = {{"list", {JsonText("\xC2\x9B"), JsonText("\x1b[2J"), JsonText("\xFF")}}};
    line[JsonText("key\xE2\x80\xA8")] = true;
    EXPECT_EQ("{\"z\":1,\"a\":\"A\\u202eB\",\"nested\":{\"list\":[\"\\u009b\",\"\\u001b[2J\",\"\\\\xff\"]},"
              "\"key\\u2028\":true}",
              JsonLine(line));
    // A string that missed JsonText still makes a line, not an exception.
    EXPECT_EQ("[\"\xEF\xBF\xBD\"]", JsonLine(Json::array({std::string("\xFF")})));
}

TEST(TextOutput, SafeTextEscapesWhatCouldControlTheTerminalAndNothingElse)
{
    EXPECT_EQ("GPIO-SIM 1.0 \xC3\xA9", SafeText("GPIO-SIM 1.0 \xC3\xA9"));
    EXPECT_EQ("\\x1b]0;owned\\x07\\x1b[2J", SafeText("\x1b]0;owned\x07\x1b[2J"));
    EXPECT_EQ("line\\x0dforged\\x0a", SafeText("line\rforged\n"));
    EXPECT_EQ("\\u009b31m \\x9b", SafeText("\xC2\x9B" "31m \x9B"));  // CSI as C1 and as a stray byte
    // A backslash is doubled, so the text cannot forge an escape.
    EXPECT_EQ("a\\\\x1b", SafeText("a\\x1b"));
}

// The characters that can reorder a line or start a new one, at the edges
// of their ranges, with their neighbours, which are kept; and stray bytes
// beside the characters of the same number, which never print alike. One
// row each: the text, then what SafeText and JsonString give.
TEST(TextOutput, BidirectionalControlsSeparatorsAndStrayBytesEachPrintTheirOwnWay)
{
    const struct {
        const char *utf8, *text, *json;
    } cases[] = {
        {"\xE2\x80\xA7", "\xE2\x80\xA7", "\"\xE2\x80\xA7\""},   // U+2027, kept
        {"\xE2\x80\xA8", "\\u2028", "\"\\u2028\""},             // line separator
        {"\xE2\x80\xAE", "\\u202e", "\"\\u202e\""},             // RLO
        {"\xE2\x80\xAF", "\xE2\x80\xAF", "\"\xE2\x80\xAF\""},   // U+202F, kept
        {"\xE2\x81\xA5", "\xE2\x81\xA5", "\"\xE2\x81\xA5\""},   // U+2065, kept
        {"\xE2\x81\xA6", "\\u2066", "\"\\u2066\""},             // LRI
        {"\xE2\x81\xA9", "\\u2069", "\"\\u2069\""},             // PDI
        {"\xE2\x81\xAA", "\xE2\x81\xAA", "\"\xE2\x81\xAA\""},   // U+206A, kept
        {"\x9B", "\\x9b", "\"\\\\x9b\""},                       // stray byte
        {"\xC2\x9B", "\\u009b", "\"\\u009b\""},                 // CSI, U+009B
        {"\xC2\xA0", "\xC2\xA0", "\"\xC2\xA0\""},               // no-break space, kept
        {"\xFF", "\\xff", "\"\\\\xff\""},                       // stray byte
        {"\xC3\xBF", "\xC3\xBF", "\"\xC3\xBF\""},               // U+00FF, kept
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.text, SafeText(c.utf8)) << c.text;
        EXPECT_EQ(c.json, JsonString(c.utf8)) << c.json;
    }
}

}  // namespace
}  // namespace gpio_tools
