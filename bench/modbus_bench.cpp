// gpio_modbus_bench: gpio-modbus beside the direct library call, in one run.
//
//   build/linux/bench/gpio_modbus_bench [--samples N] [--load-seconds S]
//
// Every controller is a simulator on a pseudo-terminal inside this process,
// which notes each request frame that comes off its line. The clients are
// libmodbus's own. Measured:
//   - a coil write: modbus_write_bit from the call to its reply, which
//     gpio-modbus sends once the bit set and the read-back of its port are
//     done; beside it the direct GPIO_BitSet, and GPIO_BitSet followed by
//     GPIO_Input (the same two exchanges), on a simulator of their own;
//     each also from the call to the bit set frame on the line;
//   - a register read served from the poll: modbus_read_input_registers of a
//     port polled every 100 ms, beside the direct GPIO_Input;
//   - a load: 10 clients each reading the input registers of 4 ports 10
//     times a second for S seconds (60 by default) while gpio-modbus polls
//     the 4 ports every 100 ms: its resident memory at the start and the end
//     (VmRSS), its share of one core (utime + stime in /proc/PID/stat), and
//     the request frames on the serial line against those the poll schedule
//     asks for.
// It prints Markdown tables with each goal and whether it was met.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <modbus.h>

#include "bench_process.h"
#include "bench_stats.h"
#include "gpiolink.h"
#include "pty_simulator.h"

namespace {

namespace fs = std::filesystem;
using gpio_sim::PtySimulator;
using gpiolink_bench::Child;
using gpiolink_bench::Clock;
using gpiolink_bench::CpuSeconds;
using gpiolink_bench::FreePort;
using gpiolink_bench::Listening;
using gpiolink_bench::MedianMs;
using gpiolink_bench::MsBetween;
using gpiolink_bench::PercentileMs;
using gpiolink_bench::SampleGap;
using gpiolink_bench::StatusMb;

constexpr int kOutputPort = 0;
constexpr int kInputPort = 1;
constexpr std::chrono::milliseconds kPollInterval{100};
// The goals.
constexpr double kGoalWriteSlackMs = 2.0;
constexpr double kGoalReadMs = 1.0;
constexpr double kGoalCpuPercent = 5.0;
// Resident memory may differ by a few pages between two readings without
// growing: more than this is growth.
constexpr double kGoalGrowthMb = 0.1;
// The load.
constexpr int kLoadClients = 10;
constexpr int kLoadPorts = 4;
// The bridge's "controller answering" input register (docs/modbus.md).
constexpr int kAnsweringRegister = 1000;
// Longest wait for anything that has no deadline of its own.
constexpr std::chrono::seconds kPatience{20};
// Between two samples at least this, and a random part of a poll interval.
constexpr std::chrono::milliseconds kSampleGap{5};

// ---- gpio-modbus and its clients -------------------------------------------------

struct ClientDeleter {
    void operator()(modbus_t *context) const
    {
        modbus_close(context);
        modbus_free(context);
    }
};
using ModbusClient = std::unique_ptr<modbus_t, ClientDeleter>;

ModbusClient Connect(int port)
{
    ModbusClient client(modbus_new_tcp("127.0.0.1", port));
    if (!client || modbus_connect(client.get()) != 0) {
        throw std::runtime_error(std::string("a client cannot connect: ") + modbus_strerror(errno));
    }
    modbus_set_slave(client.get(), 1);
    modbus_set_response_timeout(client.get(), 5, 0);
    return client;
}

// A simulated controller and the gpio-modbus process that serves it on a free
// port of 127.0.0.1, `ports` its [[port]] tables; nothing is read but the
// polls and the writes (check_interval_ms = 0). Ready once the controller
// answers.
class ServedController {
public:
    ServedController(const std::string &program, const fs::path &folder, const std::string &name,
                     const std::string &ports)
        : port_(FreePort())
    {
        const fs::path conf = folder / (name + ".toml");
        std::ofstream(conf) << "serial_port = \"" << sim_.SlavePath() << "\"\nlisten = \"127.0.0.1:" << port_
                            << "\"\ncheck_interval_ms = 0\n"
                            << ports;
        process_ = std::make_unique<Child>(std::vector<std::string>{program, "--config", conf.string()},
                                           folder / (name + ".log"));
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (!Listening(port_)) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("gpio-modbus did not listen; see " + (folder / (name + ".log")).string());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ModbusClient client = Connect(port_);
        std::uint16_t answering = 0;
        while (modbus_read_input_registers(client.get(), kAnsweringRegister, 1, &answering) != 1 || answering != 1) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("the controller behind gpio-modbus did not answer");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    int Port() const { return port_; }
    PtySimulator &Sim() { return sim_; }
    pid_t Pid() const { return process_->Pid(); }

private:
    PtySimulator sim_;  // outlives gpio-modbus, which is stopped first
    int port_;
    std::unique_ptr<Child> process_;
};

std::string PortTable(int number, const char *direction)
{
    return "\n[[port]]\nnumber = " + std::to_string(number) + "\ndirection = \"" + direction +
           "\"\npoll_interval_ms = " + std::to_string(kPollInterval.count()) + "\n";
}

// When the first request frame from index `from` on came off the line.
double FirstFrameMs(PtySimulator &sim, std::size_t from, Clock::time_point start)
{
    if (!sim.WaitForRequests(from + 1, static_cast<int>(kPatience.count() * 1000))) {
        throw std::runtime_error("no request frame on the line");
    }
    return MsBetween(start, sim.RequestTimes()[from]);
}

// ---- the measures ----------------------------------------------------------------

struct Row {
    std::string what;
    std::vector<double> samples;
    std::string goal;  // "" when the row has none
    std::optional<bool> met;
};

void Print(std::vector<Row> &rows)
{
    std::printf("| Measure | Median | p99 | Max | Goal | Met |\n|---|---|---|---|---|---|\n");
    for (Row &row : rows) {
        std::vector<double> &s = row.samples;
        std::printf("| %s | %.3f ms | %.3f ms | %.3f ms | %s | %s |\n", row.what.c_str(), MedianMs(s),
                    PercentileMs(s, 99.0), s.empty() ? 0.0 : *std::max_element(s.begin(), s.end()),
                    row.goal.c_str(), !row.met ? "" : *row.met ? "yes" : "**no**");
    }
}

std::string Ms(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f ms", value);
    return text;
}

// The direct calls, on a simulator of their own: GPIO_BitSet, GPIO_BitSet
// then GPIO_Input, GPIO_Input. Returns the median of the second.
double DirectCalls(int samples, std::mt19937 &random, std::vector<Row> &rows)
{
    PtySimulator sim;
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK) {
        throw std::runtime_error("the direct call cannot open the simulator");
    }
    Row wire{"coil write: GPIO_BitSet call to its frame on the line (direct)", {}, "", std::nullopt};
    Row bitSet{"coil write: the whole GPIO_BitSet call (direct)", {}, "", std::nullopt};
    Row withReadBack{"coil write: GPIO_BitSet then GPIO_Input, the read-back (direct)", {}, "", std::nullopt};
    Row input{"register read: the whole GPIO_Input call (direct)", {}, "", std::nullopt};
    unsigned char value = 0;
    for (int sample = 0; sample < samples; ++sample) {
        const auto bit = static_cast<unsigned char>(sample % 8);
        const std::size_t from = sim.RequestCount();
        const Clock::time_point start = Clock::now();
        const bool set = GPIO_BitSet(handle, kOutputPort, bit) == GPIO_RESULT_OK;
        bitSet.samples.push_back(MsBetween(start, Clock::now()));
        const bool read = GPIO_Input(handle, kOutputPort, &value) == GPIO_RESULT_OK;
        withReadBack.samples.push_back(MsBetween(start, Clock::now()));
        wire.samples.push_back(FirstFrameMs(sim, from, start));
        const Clock::time_point inputStart = Clock::now();
        const bool polled = GPIO_Input(handle, kInputPort, &value) == GPIO_RESULT_OK;
        input.samples.push_back(MsBetween(inputStart, Clock::now()));
        if (!set || !read || !polled) {
            throw std::runtime_error("a direct call failed");
        }
        SampleGap(random, kSampleGap, kPollInterval);
    }
    GPIO_CloseInterface(handle);
    rows.push_back(wire);
    rows.push_back(bitSet);
    rows.push_back(withReadBack);
    rows.push_back(input);
    return MedianMs(withReadBack.samples);
}

// Through gpio-modbus: coil writes to a controller with one output port,
// which nothing polls, so that the write meets an idle line as the direct
// call does; then reads of an input port of another, polled every 100 ms.
void ServedCalls(const std::string &program, const fs::path &folder, int samples, double directWriteMs,
                 std::mt19937 &random, std::vector<Row> &rows)
{
    ServedController writes(program, folder, "writes",
                            "\n[[port]]\nnumber = " + std::to_string(kOutputPort) + "\ndirection = \"output\"\n");
    const ModbusClient writer = Connect(writes.Port());
    Row wire{"coil write: modbus_write_bit call to the bit set frame on the line (gpio-modbus)", {}, "",
             std::nullopt};
    Row write{"coil write: modbus_write_bit call to its reply, after the read-back (gpio-modbus)", {},
              "median within 2 ms of the direct GPIO_BitSet + GPIO_Input (" + Ms(directWriteMs + kGoalWriteSlackMs) +
                  ")",
              std::nullopt};
    for (int sample = 0; sample < samples; ++sample) {
        const int bit = sample % 8;
        const std::size_t from = writes.Sim().RequestCount();
        const Clock::time_point start = Clock::now();
        if (modbus_write_bit(writer.get(), kOutputPort * 8 + bit, 1) != 1) {
            throw std::runtime_error(std::string("a coil write failed: ") + modbus_strerror(errno));
        }
        write.samples.push_back(MsBetween(start, Clock::now()));
        wire.samples.push_back(FirstFrameMs(writes.Sim(), from, start));
        SampleGap(random, kSampleGap, kPollInterval);
    }
    std::vector<double> sorted = write.samples;
    write.met = MedianMs(sorted) <= directWriteMs + kGoalWriteSlackMs;

    ServedController reads(program, folder, "reads", PortTable(kInputPort, "input"));
    const ModbusClient reader = Connect(reads.Port());
    Row read{"register read served from the poll: modbus_read_input_registers call to its reply (gpio-modbus)",
             {}, "median under " + Ms(kGoalReadMs), std::nullopt};
    std::uint16_t value = 0;
    for (int sample = 0; sample < samples; ++sample) {
        const Clock::time_point start = Clock::now();
        if (modbus_read_input_registers(reader.get(), kInputPort, 1, &value) != 1) {
            throw std::runtime_error(std::string("a register read failed: ") + modbus_strerror(errno));
        }
        read.samples.push_back(MsBetween(start, Clock::now()));
        SampleGap(random, kSampleGap, kPollInterval);
    }
    sorted = read.samples;
    read.met = MedianMs(sorted) < kGoalReadMs;
    rows.push_back(wire);
    rows.push_back(write);
    rows.push_back(read);
}

// Ten clients reading 4 polled ports 10 times a second for `seconds`.
void Load(const std::string &program, const fs::path &folder, int seconds)
{
    std::string ports;
    for (int port = 0; port < kLoadPorts; ++port) {
        ports += PortTable(port, "input");
    }
    ServedController served(program, folder, "load", ports);
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<long> failures{0};
    std::vector<std::thread> clients;
    for (int index = 0; index < kLoadClients; ++index) {
        clients.emplace_back([&, index] {
            const ModbusClient client = Connect(served.Port());
            // Each client on its own phase of the 100 ms.
            Clock::time_point due = Clock::now() + kPollInterval * index / kLoadClients;
            std::uint16_t values[kLoadPorts] = {};
            while (!stop) {
                std::this_thread::sleep_until(due);
                due += kPollInterval;
                if (modbus_read_input_registers(client.get(), 0, kLoadPorts, values) == kLoadPorts) {
                    ++reads;
                } else {
                    ++failures;
                }
            }
        });
    }
    // A second for the clients to connect and the process to settle.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const pid_t pid = served.Pid();
    const double residentBefore = StatusMb(pid, "VmRSS");
    const double cpuBefore = CpuSeconds(pid);
    const std::size_t framesBefore = served.Sim().RequestCount();
    const long readsBefore = reads;
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = MsBetween(start, Clock::now()) / 1000.0;
    const double cpuPercent = (CpuSeconds(pid) - cpuBefore) / elapsed * 100.0;
    const std::size_t frames = served.Sim().RequestCount() - framesBefore;
    const double residentAfter = StatusMb(pid, "VmRSS");
    const double peak = StatusMb(pid, "VmHWM");
    const long served_reads = reads - readsBefore;
    stop = true;
    for (std::thread &client : clients) {
        client.join();
    }
    // Each port polled once every interval; one more a port for the
    // measure's two ends falling inside an exchange.
    const double scheduled = kLoadPorts * elapsed * 1000.0 / static_cast<double>(kPollInterval.count());
    const double growth = residentAfter - residentBefore;
    std::printf("\n%d clients each reading %d ports' input registers every %lld ms, gpio-modbus polling them "
                "every %lld ms, for %.1f s (%ld reads, %.0f a second):\n\n",
                kLoadClients, kLoadPorts, static_cast<long long>(kPollInterval.count()),
                static_cast<long long>(kPollInterval.count()), elapsed, served_reads,
                static_cast<double>(served_reads) / elapsed);
    std::printf("| Measure | Value | Goal | Met |\n|---|---|---|---|\n");
    std::printf("| Resident memory (VmRSS) at the start, at the end (VmHWM %.2f MB) | %.2f MB, %.2f MB | no "
                "growth (under %.1f MB) | %s |\n",
                peak, residentBefore, residentAfter, kGoalGrowthMb, growth < kGoalGrowthMb ? "yes" : "**no**");
    std::printf("| CPU, share of one core | %.2f %% | under %.0f %% | %s |\n", cpuPercent, kGoalCpuPercent,
                cpuPercent < kGoalCpuPercent ? "yes" : "**no**");
    std::printf("| Request frames on the serial line | %zu (the polls ask for %.0f) | no more than the poll "
                "schedule (+%d) | %s |\n",
                frames, scheduled, kLoadPorts,
                static_cast<double>(frames) <= scheduled + kLoadPorts ? "yes" : "**no**");
    std::printf("| Client reads that failed | %ld | none | %s |\n", failures.load(),
                failures == 0 ? "yes" : "**no**");
}

int Main(int argc, char **argv)
{
    int samples = 200;
    int loadSeconds = 60;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if ((option == "--samples" || option == "--load-seconds") && index + 1 < argc) {
            (option == "--samples" ? samples : loadSeconds) = std::max(1, std::atoi(argv[++index]));
        } else {
            std::fprintf(stderr, "usage: gpio_modbus_bench [--samples N] [--load-seconds S]\n");
            return 64;
        }
    }
    const fs::path folder = fs::temp_directory_path() / ("gpio-modbus-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    signal(SIGPIPE, SIG_IGN);
    std::mt19937 random(1);
    try {
        std::vector<Row> rows;
        const double directWriteMs = DirectCalls(samples, random, rows);
        ServedCalls(GPIOLINK_BENCH_GPIO_MODBUS, folder, samples, directWriteMs, random, rows);
        std::printf("gpio-modbus beside the direct library call, %d samples a row:\n\n", samples);
        Print(rows);
        std::fflush(stdout);
        Load(GPIOLINK_BENCH_GPIO_MODBUS, folder, loadSeconds);
        fs::remove_all(folder);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "gpio_modbus_bench: %s (logs kept in %s)\n", error.what(), folder.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return Main(argc, argv); }
