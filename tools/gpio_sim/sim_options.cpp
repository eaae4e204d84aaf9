#include "sim_options.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "request.h"

namespace gpio_sim {
namespace {

void CheckRate(double rate, const char *name)
{
    if (!std::isfinite(rate) || rate < 0.0 || rate > 1.0) {
        throw std::invalid_argument(std::string(name) + " must be a probability from 0.0 to 1.0");
    }
}

}  // namespace

void CheckSimOptions(const SimOptions &options)
{
    CheckRate(options.dropRate, "dropRate");
    CheckRate(options.corruptRate, "corruptRate");
    CheckRate(options.delayRate, "delayRate");
    CheckRate(options.silenceRate, "silenceRate");
    if (options.delayRate > 0.0 && options.delayMaxMs == 0) {
        throw std::invalid_argument("delayMaxMs must be at least 1 with a delay rate");
    }
    const auto unknown = std::find_if(options.statusOverride.begin(), options.statusOverride.end(), [](const auto &entry) {
        return gpio_tools::CommandNamed(entry.first) == gpio_tools::Command::kUnknown;
    });
    if (unknown != options.statusOverride.end()) {
        throw std::invalid_argument("statusOverride: unknown command \"" + unknown->first + "\" (I, O, T, BS, BC or V)");
    }
}

}  // namespace gpio_sim
