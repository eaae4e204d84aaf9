// What a simulator is asked to do: its version text, reply timing, magic
// ports, trace, random line faults and status overrides.
#ifndef GPIO_SIM_SIM_OPTIONS_H
#define GPIO_SIM_SIM_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace gpio_sim {

struct SimOptions {
    std::string versionText = "GPIO-SIM 1.0";
    unsigned replyDelayMs = 0;    // added before every reply
    bool pace38400 = false;       // write replies a byte per ~260 us
    bool magicPorts = false;      // see magic_ports.h
    std::FILE *trace = nullptr;   // one line per frame, both directions
    // One line per piece of reply written: its request's number (from 0),
    // when that request arrived and when the piece went out, in microseconds of the steady clock (the clock
    // that CLOCK_MONOTONIC, or under Windows the performance counter, reads
    // in every process), so that a test can tell a reply that went out
    // late, on a loaded machine, from one the library should have caught.
    std::FILE *replyTimes = nullptr;

    // Random line faults, probabilities from 0.0 to 1.0; see line_faults.h.
    double dropRate = 0.0;        // per reply byte
    double corruptRate = 0.0;     // per reply byte
    double delayRate = 0.0;       // per reply
    unsigned delayMaxMs = 80;     // longest random delay, at least 1
    double silenceRate = 0.0;     // per reply
    std::uint32_t seed = 1;

    // Command name ("I", "O", "T", "BS", "BC" or "V") -> status byte. Every
    // request of that command is still carried out by the model, and then
    // answered with the status byte alone.
    std::map<std::string, std::uint8_t> statusOverride;

    // Whether Requests() and Replies() keep every frame. A long run turns
    // this off so memory stays flat; RequestCount() and GetStats() count
    // either way.
    bool keepHistory = true;
};

// Throws std::invalid_argument for a rate outside 0.0-1.0, a zero
// delayMaxMs with a delay rate, or an unknown statusOverride command.
void CheckSimOptions(const SimOptions &options);

}  // namespace gpio_sim

#endif  // GPIO_SIM_SIM_OPTIONS_H
