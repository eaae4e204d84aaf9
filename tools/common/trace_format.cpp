#include "trace_format.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "text_output.h"

namespace gpio_tools {

std::string HexBytes(const Bytes &bytes)
{
    std::string text;
    char one[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(one, sizeof(one), "%02X ", byte);
        text += one;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

std::string TraceText(const TraceEntry &entry)
{
    char time[32];
    std::snprintf(time, sizeof(time), "%9.3f ms", entry.ms);
    const std::string hex = HexBytes(entry.bytes);
    return std::string(time) + "  " + entry.direction + "  " + hex + (hex.empty() ? "" : "  ") + entry.meaning;
}

std::string TraceJson(const TraceEntry &entry)
{
    std::string direction = entry.direction;
    direction.erase(direction.find_last_not_of(' ') + 1);
    // The time to the microsecond, as the text shows it.
    Json line = {{"ms", std::round(entry.ms * 1000.0) / 1000.0}, {"dir", JsonText(direction)}};
    if (!entry.event.empty()) {
        line["event"] = JsonText(entry.event);
    }
    line["hex"] = HexBytes(entry.bytes);
    line["meaning"] = JsonText(entry.meaning);
    return JsonLine(line);
}

void WriteTrace(std::FILE *out, const TraceEntry &entry, bool json)
{
    const std::string line = json ? TraceJson(entry) : TraceText(entry);
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

}  // namespace gpio_tools
