#include "bench_stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace gpiolink_bench {

double WireTimeMs(std::size_t bytes) { return static_cast<double>(bytes) * kBitsPerByte / kBaud * 1000.0; }

double ExchangeFloorMs(std::size_t requestBytes, std::size_t replyBytes)
{
    return kPauseMs + WireTimeMs(requestBytes + replyBytes);
}

double MedianMs(std::vector<double> &samples)
{
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2.0;
}

double PercentileMs(std::vector<double> &samples, double percentile)
{
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(percentile / 100.0 * static_cast<double>(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

void ReportLatencies(benchmark::State &state, std::vector<double> samples, double floorMs)
{
    const double totalMs = std::accumulate(samples.begin(), samples.end(), 0.0);
    const double median = MedianMs(samples);
    state.counters["floor_ms"] = floorMs;
    state.counters["median_ms"] = median;
    state.counters["p99_ms"] = PercentileMs(samples, 99.0);
    state.counters["ratio"] = floorMs > 0.0 ? median / floorMs : 0.0;
    state.counters["per_second"] = totalMs > 0.0 ? static_cast<double>(samples.size()) * 1000.0 / totalMs : 0.0;
}

}  // namespace gpiolink_bench
