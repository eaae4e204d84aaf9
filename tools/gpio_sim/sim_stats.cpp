#include "sim_stats.h"

namespace gpio_sim {

void CountFrame(SimStats &stats, Outcome outcome, const LineFaults &faults)
{
    ++stats.requests;
    switch (outcome) {
    case Outcome::kIgnored:
        ++stats.ignored;
        break;
    case Outcome::kShaped:
        ++stats.shaped;
        break;
    case Outcome::kIntact:
        ++stats.intact;
        break;
    case Outcome::kFaulted:
        ++stats.faulted;
        stats.silenced += faults.silenced ? 1 : 0;
        stats.withDroppedBytes += faults.dropped > 0 ? 1 : 0;
        stats.withCorruptedBytes += faults.corrupted > 0 ? 1 : 0;
        stats.delayed += faults.delayMs > 0 ? 1 : 0;
        stats.droppedBytes += faults.dropped;
        stats.corruptedBytes += faults.corrupted;
        break;
    }
}

}  // namespace gpio_sim
