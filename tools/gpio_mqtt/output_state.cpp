#include "output_state.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "number.h"

namespace gpio_mqtt {

OutputValues OutputStateFile::Load()
{
    OutputValues values;
    std::ifstream in(path_);
    if (!in) {
        return values;
    }
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json saved = nlohmann::json::parse(text.str(), nullptr, false);
    if (!saved.is_object()) {
        log_.Warning("state-unreadable", "the saved output state " + path_ + " is not one the bridge wrote: not used");
        return values;
    }
    for (const auto &[key, value] : saved.items()) {
        const gpio_tools::ParsedUnsigned port = gpio_tools::ParseUnsigned(key, 0, 255);
        if (port && value.is_number_unsigned() && value.get<std::uint64_t>() <= 255) {
            values[static_cast<int>(port.value)] = static_cast<std::uint8_t>(value.get<std::uint64_t>());
        }
    }
    return values;
}

void OutputStateFile::Save(const OutputValues &values)
{
    nlohmann::json saved = nlohmann::json::object();
    for (const auto &[port, value] : values) {
        saved[std::to_string(port)] = value;
    }
    const std::string next = path_ + ".new";
    {
        std::ofstream out(next, std::ios::trunc);
        out << saved.dump() << "\n";
        out.flush();
        if (!out) {
            log_.Warning("state-not-saved", "cannot write the output state to " + next);
            return;
        }
    }
    if (std::rename(next.c_str(), path_.c_str()) != 0) {
        log_.Warning("state-not-saved", "cannot replace the output state " + path_ + ": " +
                                            std::generic_category().message(errno));
    }
}

}  // namespace gpio_mqtt
