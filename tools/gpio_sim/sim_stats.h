// The simulator's counts of what became of the frames it received.
#ifndef GPIO_SIM_SIM_STATS_H
#define GPIO_SIM_SIM_STATS_H

#include <cstdint>

#include "line_faults.h"

namespace gpio_sim {

// A frame is counted once the model has carried it out and its reply is
// planned, just before the reply is written, so a host holding a reply
// finds it counted; and
//   requests == ignored + shaped + intact + faulted.
// A status override reply counts as intact or faulted like any other.
struct SimStats {
    std::uint64_t requests = 0;  // complete frames received
    std::uint64_t ignored = 0;   // bad CRC or not addressed to us: no reply
    std::uint64_t shaped = 0;    // replies shaped by a scripted behaviour
                                 // other than Normal, or a magic port
    std::uint64_t intact = 0;    // replies sent as the device gave them
    std::uint64_t faulted = 0;   // replies hit by at least one random fault
    // Faulted replies by fault; one reply can count under several.
    std::uint64_t silenced = 0;
    std::uint64_t withDroppedBytes = 0;
    std::uint64_t withCorruptedBytes = 0;
    std::uint64_t delayed = 0;
    // Wire bytes dropped and corrupted, over all replies.
    std::uint64_t droppedBytes = 0;
    std::uint64_t corruptedBytes = 0;
};

// What became of one frame.
enum class Outcome { kIgnored, kShaped, kIntact, kFaulted };

// Counts one handled frame; `faults` matter only for kFaulted.
void CountFrame(SimStats &stats, Outcome outcome, const LineFaults &faults);

}  // namespace gpio_sim

#endif  // GPIO_SIM_SIM_STATS_H
