#include "line_faults.h"

namespace gpio_sim {
namespace {

// "2 bytes", "1 byte".
std::string CountOf(unsigned n, const char *what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

bool LineFaults::Any() const { return silenced || dropped > 0 || corrupted > 0 || delayMs > 0; }

std::string LineFaults::Marks() const
{
    std::string marks;
    if (silenced) {
        marks += " [silenced]";
    }
    if (dropped > 0) {
        marks += " [" + CountOf(dropped, "byte") + " dropped]";
    }
    if (corrupted > 0) {
        marks += " [" + CountOf(corrupted, "byte") + " corrupted]";
    }
    if (delayMs > 0) {
        marks += " [delayed " + std::to_string(delayMs) + " ms]";
    }
    return marks;
}

RandomLineFaults::RandomLineFaults(const SimOptions &options)
    : dropRate_(options.dropRate),
      corruptRate_(options.corruptRate),
      delayRate_(options.delayRate),
      delayMaxMs_(options.delayMaxMs),
      silenceRate_(options.silenceRate),
      random_(options.seed)
{
}

// A draw from the raw output of the generator, which the standard fixes
// for a given seed (the distribution classes it leaves to each library).
// Rates of 0 and 1 take no draw.
bool RandomLineFaults::Chance(double probability)
{
    if (probability <= 0.0) {
        return false;
    }
    if (probability >= 1.0) {
        return true;
    }
    return static_cast<double>(random_()) / 4294967296.0 < probability;
}

LineFaults RandomLineFaults::Pass(const Bytes &wire, Bytes &out)
{
    LineFaults faults;
    out.clear();
    if (Chance(silenceRate_)) {
        faults.silenced = true;
        return faults;
    }
    for (std::uint8_t byte : wire) {
        if (Chance(dropRate_)) {
            ++faults.dropped;
            continue;
        }
        if (Chance(corruptRate_)) {
            byte = static_cast<std::uint8_t>(byte ^ (1U << (random_() % 8)));
            ++faults.corrupted;
        }
        out.push_back(byte);
    }
    if (Chance(delayRate_)) {
        faults.delayMs = 1 + static_cast<unsigned>(random_() % delayMaxMs_);
    }
    return faults;
}

}  // namespace gpio_sim
