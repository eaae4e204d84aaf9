// Text from the line, or from the user, made safe to print: as a JSON
// string literal, or escaped for a terminal so that no byte of it can move
// the cursor, retitle the window, start a line of its own or reorder what
// the terminal shows.
//
// Both read the text as UTF-8, one code point at a time: a character that
// is valid UTF-8 and needs no escape is kept as it is, "ttyé" stays "ttyé".
// Escaped are the control characters (C0, DEL, C1), the line and paragraph
// separators (U+2028, U+2029), the bidirectional controls (U+202A-U+202E,
// U+2066-U+2069), and every byte that is no part of valid UTF-8, which a
// terminal might otherwise take for a C1 control. A stray byte and the
// character of the same number never print alike:
//
//                     text (SafeText)   JSON (JsonString)
//   ESC, U+001B       \x1b              \u001b
//   CSI, U+009B       \u009b            \u009b
//   RLO, U+202E       \u202e            \u202e
//   ÿ, U+00FF         ÿ                 ÿ
//   stray byte 0x9B   \x9b              \\x9b (its value holds \x9b)
//   stray byte 0xFF   \xff              \\xff (its value holds \xff)
//   backslash         \\                \\ (its value holds \)
//
// A JSON value cannot tell the stray byte 0xFF from the text "\xff" that
// came as such; the text for a terminal can (\xff and \\xff).
#ifndef GPIO_TOOLS_TEXT_OUTPUT_H
#define GPIO_TOOLS_TEXT_OUTPUT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The declarations alone: a file that builds JSON values includes
// <nlohmann/json.hpp>.
#include <nlohmann/json_fwd.hpp>

namespace gpio_tools {

// A JSON value of the tools' output; its members keep the order in which
// they were set, as the tools document them.
using Json = nlohmann::ordered_json;

// Text from the line as a JSON string's value: valid UTF-8, where each
// byte that is not valid UTF-8 becomes the four characters \xHH.
std::string JsonText(const std::string &text);

// A JSON value in the tools' style: compact, on one line. Escaped are the
// characters listed above: \n, \r, \t, \b, \f or \uXXXX. Its strings
// must have come through JsonText (or be ASCII).
std::string JsonLine(const Json &value);

// A JSON string literal, quotes included: JsonLine(JsonText(text)). A
// byte that is not valid UTF-8 is written \\xHH in the JSON.
std::string JsonString(const std::string &text);

// The text for a terminal: a C0 control or DEL becomes \xHH (ESC is \x1b,
// BEL \x07, CR \x0d), any other escaped character \uHHHH (\u009b,
// \u202e), a byte that is not valid UTF-8 \xHH (80-ff), and a backslash
// \\ so that an escape cannot be forged.
std::string SafeText(const std::string &text);

// Whether the text is valid UTF-8 throughout (no overlong form, no
// surrogate, nothing above U+10FFFF): what a JSON parser or an MQTT
// client expects of a text it is given.
bool IsValidUtf8(const std::string &text);

// A run's counts when it stops, as the tools print them under --json: one
// line on stdout, flushed at once: {"event":"summary","requests":3,...}
void PrintJsonSummary(const std::vector<std::pair<const char *, std::uint64_t>> &counts);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_TEXT_OUTPUT_H
