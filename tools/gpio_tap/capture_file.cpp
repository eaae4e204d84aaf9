#include "capture_file.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "number.h"

namespace gpio_tap {
namespace {

constexpr const char *kHeader = "# gpio-tap capture 1: microseconds, A (application) D (device) E (end), hex bytes";

// The longest line a capture holds: a read of the relay takes at most 4096
// bytes, three characters each, behind the time and side.
constexpr std::size_t kMaxLine = 3 * 4096 + 64;

// The value of a hex digit, -1 for any other character.
int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

CaptureWriter::CaptureWriter(std::FILE *out) : out_(out) { Flushed(std::fprintf(out_, "%s\n", kHeader)); }

bool CaptureWriter::Flushed(int printed)
{
    ok_ = ok_ && printed >= 0 && std::fflush(out_) == 0 && std::ferror(out_) == 0;
    return ok_;
}

bool CaptureWriter::Write(const CaptureRecord &record)
{
    if (record.kind == CaptureRecord::Kind::kEnd) {
        return Flushed(std::fprintf(out_, "%lld E\n", static_cast<long long>(record.us)));
    }
    return Flushed(std::fprintf(out_, "%lld %c %s\n", static_cast<long long>(record.us),
                                record.from == Side::kApplication ? 'A' : 'D',
                                gpio_tools::HexBytes(record.bytes).c_str()));
}

CaptureReader::CaptureReader(std::FILE *in) : in_(in) {}

bool CaptureReader::Next(CaptureRecord &record)
{
    std::vector<char> text(kMaxLine + 2);
    while (std::fgets(text.data(), static_cast<int>(text.size()), in_) != nullptr) {
        ++line_;
        const char *at = text.data();
        if (*at == '#' || *at == '\n') {
            continue;
        }
        const auto bad = [this](const char *why) {
            error_ = std::string(records_ == 0 ? "not a gpio-tap capture: " : "") + "line " + std::to_string(line_) +
                     ": " + why;
            return false;
        };
        if (std::strchr(at, '\n') == nullptr && std::feof(in_) == 0) {
            return bad("too long");
        }
        // The time, as the writer prints it: decimal, read as every tool
        // reads a number (number.h).
        const char *end = std::strchr(at, ' ');
        const gpio_tools::ParsedUnsigned us =
            end == nullptr ? gpio_tools::ParsedUnsigned{}
                           : gpio_tools::ParseUnsigned(std::string(at, end), 0, std::numeric_limits<std::int64_t>::max());
        if (!us) {
            return bad("no time in microseconds");
        }
        record = CaptureRecord{};
        record.us = static_cast<std::int64_t>(us.value);
        const char side = end[1];
        at = end + 2;
        ++records_;
        if (side == 'E') {
            record.kind = CaptureRecord::Kind::kEnd;
            return true;
        }
        if ((side != 'A' && side != 'D') || *at != ' ') {
            return bad("side is not A, D or E");
        }
        record.from = side == 'A' ? Side::kApplication : Side::kDevice;
        for (;;) {
            while (*at == ' ') {
                ++at;
            }
            if (*at == '\n' || *at == '\r' || *at == '\0') {
                return true;
            }
            const int high = HexDigit(at[0]);
            const int low = high < 0 ? -1 : HexDigit(at[1]);
            if (low < 0 || (at[2] != ' ' && at[2] != '\n' && at[2] != '\r' && at[2] != '\0')) {
                return bad("bytes are not two-digit hex");
            }
            record.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
            at += 2;
        }
    }
    if (records_ == 0) {
        error_ = "not a gpio-tap capture: it holds no records";
    }
    return false;
}

}  // namespace gpio_tap
