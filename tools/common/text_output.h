// Text from the line, or from the user, made safe to print: as a JSON
// string literal, or escaped for a terminal so that no byte of it can move
// the cursor, retitle the window or start a line of its own.
//
// Both read the text as UTF-8, one code point at a time: a character that
// is valid UTF-8 and no control character is kept as it is, "ttyé" stays
// "ttyé". A control character (C0, DEL, C1) is escaped; so is every byte
// that is no part of valid UTF-8, which a terminal might otherwise take for
// a C1 control.
#ifndef GPIO_TOOLS_TEXT_OUTPUT_H
#define GPIO_TOOLS_TEXT_OUTPUT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gpio_tools {

// A JSON string literal, quotes included. Control characters become
// \n, \r, \t or \u00XX; a byte that is not valid UTF-8 becomes the code
// point of the same number (\u00XX), as if the text were Latin-1.
std::string JsonString(const std::string &text);

// The text for a terminal: control characters and bytes that are not
// valid UTF-8 become \xNN (ESC is \x1b, BEL \x07, CR \x0d), and a
// backslash becomes \\ so that an escape cannot be forged.
std::string SafeText(const std::string &text);

// A run's counts when it stops, as the tools print them under --json: one
// line on stdout, flushed at once: {"event":"summary","requests":3,...}
void PrintJsonSummary(const std::vector<std::pair<const char *, std::uint64_t>> &counts);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_TEXT_OUTPUT_H
