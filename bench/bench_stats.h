// Per-call latencies of the end-to-end benchmarks and the counters that
// report them beside the time the line itself cannot beat.
#ifndef GPIOLINK_BENCH_BENCH_STATS_H
#define GPIOLINK_BENCH_BENCH_STATS_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

namespace gpiolink_bench {

// 38400 baud, 10 bits per byte (start, 8 data, stop).
constexpr double kBaud = 38400.0;
constexpr double kBitsPerByte = 10.0;

// The library's fixed pause after every exchange, and the silence after
// which the receiver gives up.
constexpr double kPauseMs = 20.0;
constexpr double kSilenceMs = 100.0;

// Milliseconds the line needs to carry `bytes` bytes.
double WireTimeMs(std::size_t bytes);

// The smallest time one exchange of `requestBytes` and `replyBytes` wire
// bytes can take: both frames on the line, then the pause.
double ExchangeFloorMs(std::size_t requestBytes, std::size_t replyBytes);

// Median (the mean of the two middle values for an even count) and 99th
// percentile (nearest rank) of samples in milliseconds; the vector is sorted.
double MedianMs(std::vector<double> &samples);
double PercentileMs(std::vector<double> &samples, double percentile);

// Sets floor_ms, median_ms, p99_ms, ratio (median / floor) and per_second
// (calls per second of summed call time) from per-call samples in ms.
void ReportLatencies(benchmark::State &state, std::vector<double> samples, double floorMs);

}  // namespace gpiolink_bench

#endif  // GPIOLINK_BENCH_BENCH_STATS_H
