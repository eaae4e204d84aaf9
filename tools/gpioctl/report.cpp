#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "gpiolink.h"
#include "text_output.h"

namespace gpioctl {

using gpio_tools::Json;
using gpio_tools::JsonText;

void Report::Number(const std::string &key, double value, const std::string &label, const std::string &unit)
{
    // A whole number as an integer, else to three decimals, in JSON as in
    // text.
    char text[32];
    Json json;
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof(text), "%.0f", value);
        json = static_cast<long long>(value);
    } else {
        std::snprintf(text, sizeof(text), "%.3f", value);
        json = std::round(value * 1000.0) / 1000.0;
    }
    fields_.push_back({key, label.empty() ? key : label, json, text + (unit.empty() ? "" : " " + unit)});
}

void Report::Byte(const std::string &key, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value & 0xFFU);
    fields_.push_back({key, key, value & 0xFFU, text});
}

void Report::Text(const std::string &key, const std::string &value)
{
    fields_.push_back({key, key, JsonText(value), gpio_tools::SafeText(value)});
}

void Report::Print(const std::string &operation, int result) const
{
    const std::string text = explanation_.empty() ? gpiolink_result_text(result) : explanation_;
    std::string out;
    if (json_) {
        Json object = {{"operation", JsonText(operation)},
                       {"result", result},
                       {"name", gpiolink_result_name(result)},
                       {"text", JsonText(text)}};
        for (const Field &field : fields_) {
            object[field.key] = field.json;
        }
        out = gpio_tools::JsonLine(object) + "\n";
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
    Json list = Json::array();
    std::transform(ports.begin(), ports.end(), std::back_inserter(list), JsonText);
    return gpio_tools::JsonLine({{"operation", "ports"}, {"ports", list}});
}

}  // namespace gpioctl
