// Whole operations through the public interface against the simulated
// controller on a pseudo-terminal: input exchanges with an instant and with
// a 38400-baud controller, an open with its first call, the time-out
// against a silent one, the close after it, and discovery over three silent
// ports. Each call is timed on its own; the counters give
// the median and 99th percentile beside the floor the line and the fixed
// pause allow, and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_stats.h"
#include "fixed_port_list.h"
#include "gpiolink.h"
#include "link/frame_encoder.h"
#include "link/serial_services.h"
#include "pty_simulator.h"
#include "wire_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using gpio_sim::Behaviour;
using gpio_sim::PtySimulator;
using gpio_sim::SimOptions;
using gpiolink_bench::ReportLatencies;

// The port every exchange reads.
constexpr unsigned char kPort = 0;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Records one timed call: manual time for the benchmark, a sample for the
// counters.
void Record(benchmark::State &state, std::vector<double> &samples, double ms)
{
    state.SetIterationTime(ms / 1000.0);
    samples.push_back(ms);
}

// The wire length of the input request for `port`, as the library stuffs it.
std::size_t InputRequestWireBytes(unsigned char port)
{
    const std::uint8_t payload[] = {'I', port};
    gpiolink::BuildRequestFrame(payload, sizeof(payload));
    gpiolink::StuffFrame();
    const std::size_t length = gpiolink::g_transmitLength;
    gpiolink::g_transmitLength = 0;
    return length;
}

SimOptions QuietOptions(bool paced)
{
    SimOptions options;
    options.pace38400 = paced;
    options.keepHistory = false;
    return options;
}

// ---- input exchanges -------------------------------------------------------

void BM_ExchangeInput(benchmark::State &state, bool paced)
{
    PtySimulator sim(QuietOptions(paced));
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK) {
        state.SkipWithError("the simulator's pty did not open");
        return;
    }
    const std::size_t requestBytes = InputRequestWireBytes(kPort);
    // One exchange outside the figures: it settles the line and gives the
    // value, whose reply length the floor needs.
    unsigned char value = 0;
    if (GPIO_Input(handle, kPort, &value) != GPIO_RESULT_OK) {
        state.SkipWithError("the warm-up exchange failed");
        GPIO_CloseInterface(handle);
        return;
    }
    const std::size_t replyBytes = gpio_tools::EncodeReply({0x00, value}).size();

    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const int result = GPIO_Input(handle, kPort, &value);
        const double ms = MillisecondsSince(start);
        if (result != GPIO_RESULT_OK) {
            state.SkipWithError(gpiolink_result_name(result));
            break;
        }
        Record(state, samples, ms);
    }
    GPIO_CloseInterface(handle);
    ReportLatencies(state, std::move(samples), gpiolink_bench::ExchangeFloorMs(requestBytes, replyBytes));
    state.SetLabel("request " + std::to_string(requestBytes) + " + reply " + std::to_string(replyBytes) +
                   " wire bytes");
}

BENCHMARK_CAPTURE(BM_ExchangeInput, instant, false)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExchangeInput, paced_38400, true)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// An open, its first Input and the close, as a program that opens the port
// for each call does: the open and the first exchange must cost no more
// than a later exchange, and a close after healthy calls nothing.
void BM_OpenAndFirstCall(benchmark::State &state)
{
    PtySimulator sim(QuietOptions(false));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        HANDLE handle = nullptr;
        unsigned char value = 0;
        const Clock::time_point start = Clock::now();
        const int opened = GPIO_OpenInterface(sim.PortName().c_str(), &handle);
        const int result = opened == GPIO_RESULT_OK ? GPIO_Input(handle, kPort, &value) : opened;
        const int closed = GPIO_CloseInterface(handle);
        const double ms = MillisecondsSince(start);
        if (result != GPIO_RESULT_OK || closed != GPIO_RESULT_OK) {
            state.SkipWithError(gpiolink_result_name(result != GPIO_RESULT_OK ? result : closed));
            break;
        }
        Record(state, samples, ms);
    }
    ReportLatencies(state, std::move(samples), gpiolink_bench::kPauseMs);
    state.SetLabel("open + input + close");
}

BENCHMARK(BM_OpenAndFirstCall)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- the time-out ------------------------------------------------------------

// A silent controller: 100 ms of silence after the request, then the pause.
// Each call comes 100 ms after the one before, as a caller that backs off
// does: the call right after a time-out first waits until 100 ms have passed
// since that time-out, and that wait is not what is measured here.
void BM_ExchangeTimeout(benchmark::State &state)
{
    PtySimulator sim(QuietOptions(false));
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK) {
        state.SkipWithError("the simulator's pty did not open");
        return;
    }
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        sim.Script(Behaviour::Silence());
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(gpiolink_bench::kSilenceMs));
        unsigned char value = 0;
        const Clock::time_point start = Clock::now();
        const int result = GPIO_Input(handle, kPort, &value);
        const double ms = MillisecondsSince(start);
        if (result != GPIO_RESULT_TIMEOUT) {
            state.SkipWithError(gpiolink_result_name(result));
            break;
        }
        Record(state, samples, ms);
    }
    GPIO_CloseInterface(handle);
    ReportLatencies(state, std::move(samples), gpiolink_bench::kSilenceMs + gpiolink_bench::kPauseMs);
}

BENCHMARK(BM_ExchangeTimeout)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// The close right after a time-out: it hands the port on only once the line
// has been silent for 100 ms since the time-out, 80 ms after the call's
// 20 ms pause, so that the next open never meets a late reply.
void BM_CloseAfterTimeout(benchmark::State &state)
{
    PtySimulator sim(QuietOptions(false));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        HANDLE handle = nullptr;
        unsigned char value = 0;
        sim.Script(Behaviour::Silence());
        if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK ||
            GPIO_Input(handle, kPort, &value) != GPIO_RESULT_TIMEOUT) {
            state.SkipWithError("the silent exchange did not time out");
            break;
        }
        const Clock::time_point start = Clock::now();
        GPIO_CloseInterface(handle);
        Record(state, samples, MillisecondsSince(start));
    }
    ReportLatencies(state, std::move(samples), gpiolink_bench::kSilenceMs - gpiolink_bench::kPauseMs);
}

BENCHMARK(BM_CloseAfterTimeout)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- discovery -----------------------------------------------------------------

// Three silent ports: each costs a probe's silence and pause, and the rest
// of 100 ms of silence after the time-out before the probe's close.
void BM_DiscoveryThreeSilent(benchmark::State &state)
{
    PtySimulator a(QuietOptions(false));
    PtySimulator b(QuietOptions(false));
    PtySimulator c(QuietOptions(false));
    // Discovery walks the simulators' ptys instead of the system's ports.
    const gpiolink::testing::FixedPortList ports({a.PortName(), b.PortName(), c.PortName()});

    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        for (PtySimulator *sim : {&a, &b, &c}) {
            sim->Script(Behaviour::Silence());
        }
        char name[20] = "unchanged";
        const Clock::time_point start = Clock::now();
        const int result = GPIO_ScanInterface(name);
        const double ms = MillisecondsSince(start);
        if (result != GPIO_RESULT_OK || name[0] != '\0') {
            state.SkipWithError("discovery found a port or failed");
            break;
        }
        Record(state, samples, ms);
    }
    ReportLatencies(state, std::move(samples),
                    static_cast<double>(3) * (2 * gpiolink_bench::kSilenceMs));
    state.SetLabel("3 ports");
}

BENCHMARK(BM_DiscoveryThreeSilent)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
