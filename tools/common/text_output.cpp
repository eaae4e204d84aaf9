#include "text_output.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

bool IsControl(std::uint32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F); }

// Calls `plain(start, length)` for each printable character and
// `escape(codePointOrByte)` for each control character or stray byte.
template <typename Plain, typename Escape>
void ForEachCharacter(const std::string &text, Plain plain, Escape escape)
{
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Utf8Length(text, at, codePoint);
        if (length == 0) {
            escape(static_cast<std::uint8_t>(text[at]));
            ++at;
            continue;
        }
        if (IsControl(codePoint)) {
            escape(codePoint);
        } else {
            plain(at, length);
        }
        at += length;
    }
}

}  // namespace

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    ForEachCharacter(
        text,
        [&](std::size_t at, std::size_t length) {
            if (text[at] == '"' || text[at] == '\\') {
                out += '\\';
            }
            out.append(text, at, length);
        },
        [&](std::uint32_t code) {
            if (code == '\n') {
                out += "\\n";
            } else if (code == '\r') {
                out += "\\r";
            } else if (code == '\t') {
                out += "\\t";
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(code));
                out += escaped;
            }
        });
    return out + "\"";
}

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
        [&](std::uint32_t code) {
            char escaped[8];
            // A C1 control is shown by its code point, a stray byte by itself.
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned>(code));
            out += escaped;
        });
    return out;
}

void PrintJsonSummary(const std::vector<std::pair<const char *, std::uint64_t>> &counts)
{
    std::string out = "{\"event\":\"summary\"";
    for (const auto &count : counts) {
        out += "," + JsonString(count.first) + ":" + std::to_string(count.second);
    }
    std::printf("%s}\n", out.c_str());
    std::fflush(stdout);
}

}  // namespace gpio_tools
