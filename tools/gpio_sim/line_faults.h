// Random line faults, drawn per reply from SimOptions' rates:
//   silence   with silenceRate, no reply at all (and no further draws);
//   drop      each wire byte, STX and ETX included, is left out with
//             dropRate;
//   corrupt   each byte not dropped gets one random bit flipped with
//             corruptRate;
//   delay     with delayRate the reply waits 1..delayMaxMs ms more, drawn
//             uniformly, on top of replyDelayMs (and, as any delayed reply,
//             holds back the replies after it).
// The draws come from std::mt19937 seeded with SimOptions::seed and use its
// raw output only, so the same seed and the same requests give the same
// faults with any standard library.
#ifndef GPIO_SIM_LINE_FAULTS_H
#define GPIO_SIM_LINE_FAULTS_H

#include <random>
#include <string>

#include "sim_options.h"
#include "wire_codec.h"

namespace gpio_sim {

using gpio_tools::Bytes;

// What the random faults did to one reply.
struct LineFaults {
    bool silenced = false;
    unsigned dropped = 0;    // wire bytes left out
    unsigned corrupted = 0;  // wire bytes with a bit flipped
    unsigned delayMs = 0;    // extra delay, 0 for none

    bool Any() const;
    std::string Marks() const;  // " [2 bytes dropped] [delayed 37 ms]"
};

class RandomLineFaults {
public:
    explicit RandomLineFaults(const SimOptions &options);

    // Sends the wire bytes of one reply over the faulty line: what arrives
    // goes to `out` (nothing when silenced), and the result says what
    // happened on the way.
    LineFaults Pass(const Bytes &wire, Bytes &out);

private:
    bool Chance(double probability);

    double dropRate_;
    double corruptRate_;
    double delayRate_;
    unsigned delayMaxMs_;
    double silenceRate_;
    std::mt19937 random_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_LINE_FAULTS_H
