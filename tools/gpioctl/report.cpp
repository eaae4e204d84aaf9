#include "report.h"

#include <cmath>
#include <cstdio>

#include "gpiolink.h"

namespace gpioctl {

std::string JsonQuote(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void Report::Number(const std::string &key, double value)
{
    char text[32];
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof(text), "%.0f", value);
    } else {
        std::snprintf(text, sizeof(text), "%.3f", value);
    }
    fields_.push_back({key, text, text});
}

void Report::Byte(const std::string &key, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value & 0xFFU);
    fields_.push_back({key, std::to_string(value), text});
}

void Report::Text(const std::string &key, const std::string &value) { fields_.push_back({key, JsonQuote(value), value}); }

void Report::Print(const std::string &operation, int result) const
{
    const std::string text = explanation_.empty() ? gpiolink_result_text(result) : explanation_;
    if (json_) {
        std::string line = "{\"operation\": " + JsonQuote(operation) + ", \"result\": " + std::to_string(result) +
                           ", \"name\": " + JsonQuote(gpiolink_result_name(result)) +
                           ", \"text\": " + JsonQuote(text);
        for (const Field &field : fields_) {
            line += ", " + JsonQuote(field.key) + ": " + field.json;
        }
        std::printf("%s}\n", line.c_str());
    } else {
        std::string line = named_ ? operation + ": " : std::string();
        line += std::string(gpiolink_result_name(result)) + ": " + text;
        for (const Field &field : fields_) {
            line += ", " + field.key + " " + field.text;
        }
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace gpioctl
