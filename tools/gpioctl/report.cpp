#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "gpiolink.h"
#include "text_output.h"

namespace gpioctl {

using gpio_tools::JsonString;

void Report::Number(const std::string &key, double value, const std::string &label, const std::string &unit)
{
    char text[32];
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof(text), "%.0f", value);
    } else {
        std::snprintf(text, sizeof(text), "%.3f", value);
    }
    fields_.push_back({key, label.empty() ? key : label, text, text + (unit.empty() ? "" : " " + unit)});
}

void Report::Byte(const std::string &key, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value & 0xFFU);
    fields_.push_back({key, key, std::to_string(value), text});
}

void Report::Text(const std::string &key, const std::string &value)
{
    fields_.push_back({key, key, JsonString(value), gpio_tools::SafeText(value)});
}

void Report::Print(const std::string &operation, int result) const
{
    const std::string text = explanation_.empty() ? gpiolink_result_text(result) : explanation_;
    std::string out;
    if (json_) {
        out = "{\"operation\":" + JsonString(operation) + ",\"result\":" + std::to_string(result) +
              ",\"name\":" + JsonString(gpiolink_result_name(result)) + ",\"text\":" + JsonString(text);
        for (const Field &field : fields_) {
            out += "," + JsonString(field.key) + ":" + field.json;
        }
        out += "}\n";
    } else {
        out = named_ ? operation + ": " : std::string();
        out += std::string(gpiolink_result_name(result)) + ": " + gpio_tools::SafeText(text);
        std::size_t width = 0;
        for (const Field &field : fields_) {
            width = std::max(width, field.label.size());
        }
        for (const Field &field : fields_) {
            if (table_) {
                out += "\n  " + field.label + std::string(width + 2 - field.label.size(), ' ') + field.text;
            } else {
                out += ", " + field.label + " " + field.text;
            }
        }
        out += "\n";
    }
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

std::string PortListJson(const std::vector<std::string> &ports)
{
    std::string out = "{\"operation\":\"ports\",\"ports\":[";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        out += (i == 0 ? "" : ",") + JsonString(ports[i]);
    }
    return out + "]}";
}

}  // namespace gpioctl
