#include "text_output.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace gpio_tools {
namespace {

// The length of the valid UTF-8 sequence at text[at], 0 if there is none
// there. Overlong forms, surrogates and code points above U+10FFFF are not
// valid.
std::size_t Utf8Length(const std::string &text, std::size_t at, std::uint32_t &codePoint)
{
    const auto byte = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t first = byte(at);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (first < 0x80) {
        codePoint = first;
        return 1;
    }
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        codePoint = first & 0x1FU;
        minimum = 0x80;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        codePoint = first & 0x0FU;
        minimum = 0x800;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        codePoint = first & 0x07U;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0U) != 0x80U) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3FU);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// The characters that can change how a terminal shows the text around
// them: the C0 controls, DEL and the C1 controls; the line and paragraph
// separators (U+2028, U+2029), which start a line of their own; and the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), which can show a line's characters in another order
// than they came in.
bool NeedsEscape(std::uint32_t codePoint)
{
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) ||
           (codePoint >= 0x2028 && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

// Calls `plain(start, length)` for each character shown as it is,
// `character(codePoint)` for each character that needs an escape, and
// `strayByte(byte)` for each byte that is no part of valid UTF-8.
template <typename Plain, typename Character, typename StrayByte>
void ForEachCharacter(const std::string &text, Plain plain, Character character, StrayByte strayByte)
{
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Utf8Length(text, at, codePoint);
        if (length == 0) {
            strayByte(static_cast<std::uint8_t>(text[at]));
            ++at;
            continue;
        }
        if (NeedsEscape(codePoint)) {
            character(codePoint);
        } else {
            plain(at, length);
        }
        at += length;
    }
}

// `number` in `digits` lowercase hexadecimal digits.
std::string Hex(std::uint32_t number, std::size_t digits)
{
    std::string out(digits, '0');
    for (std::size_t i = digits; i > 0; --i, number >>= 4U) {
        out[i - 1] = "0123456789abcdef"[number & 0xFU];
    }
    return out;
}

// `code` in UTF-8.
void AppendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string JsonText(const std::string &text)
{
    std::string out;
    // A JSON string holds characters, not bytes: a stray byte becomes the
    // four characters \xHH of its value, apart from U+00HH, which is the
    // character itself or \u00HH.
    ForEachCharacter(
        text, [&](std::size_t at, std::size_t length) { out.append(text, at, length); },
        [&](std::uint32_t code) { AppendUtf8(out, code); }, [&](std::uint8_t byte) { out += "\\x" + Hex(byte, 2); });
    return out;
}

std::string JsonLine(const Json &value)
{
    // The library escapes the C0 controls; the other characters that could
    // change how a terminal shows the line are escaped here, in the one
    // form JSON has for them.
    // A string that did not come through JsonText gets U+FFFD for a stray
    // byte rather than an exception.
    const std::string dumped = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string out;
    ForEachCharacter(
        dumped, [&](std::size_t at, std::size_t length) { out.append(dumped, at, length); },
        [&](std::uint32_t code) { out += "\\u" + Hex(code, 4); },
        [&](std::uint8_t byte) { out += "\\x" + Hex(byte, 2); });
    return out;
}

std::string JsonString(const std::string &text) { return JsonLine(JsonText(text)); }

std::string SafeText(const std::string &text)
{
    std::string out;
    ForEachCharacter(
        text,
        [&](std::size_t at, std::size_t length) {
            if (text[at] == '\\') {
                out += '\\';
            }
            out.append(text, at, length);
        },
        // A C0 control or DEL is one byte and one character alike: \xHH.
        // Any other character by its code point, so that U+009B and the
        // stray byte 0x9B cannot be taken for one another.
        [&](std::uint32_t code) { out += code < 0x80 ? "\\x" + Hex(code, 2) : "\\u" + Hex(code, 4); },
        [&](std::uint8_t byte) { out += "\\x" + Hex(byte, 2); });
    return out;
}

bool IsValidUtf8(const std::string &text)
{
    bool valid = true;
    ForEachCharacter(
        text, [](std::size_t, std::size_t) {}, [](std::uint32_t) {}, [&valid](std::uint8_t) { valid = false; });
    return valid;
}

void PrintJsonSummary(const std::vector<std::pair<const char *, std::uint64_t>> &counts)
{
    Json summary = {{"event", "summary"}};
    for (const auto &count : counts) {
        summary[count.first] = count.second;
    }
    std::printf("%s\n", JsonLine(summary).c_str());
    std::fflush(stdout);
}

}  // namespace gpio_tools
