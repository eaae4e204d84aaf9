#include "event_log.h"

#include <cstdio>
#include <string>

#include "text_output.h"

namespace gpio_controller {

void Log::Write(const char *level, const std::string &event, const std::string &message)
{
    std::string line;
    if (json_) {
        line = "{\"level\":" + gpio_tools::JsonString(level) + ",\"event\":" + gpio_tools::JsonString(event) +
               ",\"message\":" + gpio_tools::JsonString(message) + "}\n";
    } else {
        line = program_ + ": " + (std::string(level) == "info" ? "" : std::string(level) + ": ") +
               gpio_tools::SafeText(message) + "\n";
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace gpio_controller
