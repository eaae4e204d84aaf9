// gpio_mqtt_bench: gpio-mqtt beside the direct library call, in one run.
//
//   build/linux/bench/gpio_mqtt_bench [--samples N] [--idle-seconds S]
//
// Every controller is a simulator on a pseudo-terminal inside this process,
// which notes when each request frame comes off the line (on the steady
// clock, which the bridges' processes share). Measured:
//   - a set: from the call (direct) or the MQTT publish (bridge) to the
//     Output frame on the wire; for the bridge also to the confirmed state
//     back at the subscriber;
//   - an input change: from the pins changing to the new value read by a
//     program polling the library every 100 ms (direct), or to its MQTT
//     publish at the subscriber (bridge, polling every 100 ms);
// with 1 and with 32 controllers bridged (32 simulators, 32 gpio-mqtt
// processes, one mosquitto), the direct call on a controller of its own
// beside them; then the CPU time and resident memory of one bridge polling
// 4 ports, read from /proc. It prints Markdown tables with each goal and
// whether it was met.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "bench_process.h"
#include "bench_stats.h"
#include "bridge_messages.h"
#include "gpiolink.h"
#include "pty_simulator.h"
#include "wire_codec.h"

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
using gpiolink_bench::StatusMb;

// The bridges' ports: 0 takes sets, 1 is polled at the default interval.
constexpr unsigned char kOutputPort = 0;
constexpr unsigned char kInputPort = 1;
constexpr std::chrono::milliseconds kPollInterval{100};
// What the goals allow on top of the direct figures.
constexpr double kGoalSlackMs = 5.0;
constexpr double kGoalCpuPercent = 2.0;
constexpr double kGoalResidentMb = 10.0;
// Longest wait for anything that has no deadline of its own.
constexpr std::chrono::seconds kPatience{20};

// A gap before the next sample of 20 ms and a random part of a poll
// interval, so that samples fall at every phase of the polls.
void Gap(std::mt19937 &random) { gpiolink_bench::SampleGap(random, std::chrono::milliseconds(20), kPollInterval); }

// ---- the broker, the bridges and a subscriber ----------------------------------

// Messages as the subscriber gets them, with the time they came.
class Subscriber {
public:
    Subscriber(int port, const std::string &filter)
    {
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        // Its sets go out at once, not behind its acknowledgements.
        mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_v5_callback_set(
            client_, [](mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *) {
                static_cast<Subscriber *>(self)->Received(*message);
            });
        mosquitto_subscribe_v5_callback_set(
            client_, [](mosquitto *, void *self, int, int, const int *, const mosquitto_property *) {
                static_cast<Subscriber *>(self)->Subscribed();
            });
        if (mosquitto_connect(client_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1, 0, nullptr) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("the subscriber cannot reach the broker");
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [this] { return subscribed_; })) {
            throw std::runtime_error("the broker did not take the subscription");
        }
    }
    ~Subscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    void Publish(const std::string &topic, const std::string &payload)
    {
        mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             false, nullptr);
    }

    // When `payload` came on `topic`, waiting for it up to kPatience.
    std::optional<Clock::time_point> WaitFor(const std::string &topic, const std::string &payload)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Clock::time_point> when;
        changed_.wait_for(lock, kPatience, [&] {
            const auto found = std::find_if(received_.begin(), received_.end(), [&](const Arrival &arrival) {
                return arrival.topic == topic && arrival.payload == payload;
            });
            if (found != received_.end()) {
                when = found->when;
            }
            return when.has_value();
        });
        return when;
    }

    // Forgets what came so far.
    void Clear()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        received_.clear();
    }

private:
    struct Arrival {
        std::string topic;
        std::string payload;
        Clock::time_point when;
    };

    void Received(const mosquitto_message &message)
    {
        const Clock::time_point now = Clock::now();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back({message.topic,
                                 std::string(static_cast<const char *>(message.payload),
                                             static_cast<std::size_t>(std::max(message.payloadlen, 0))),
                                 now});
        }
        changed_.notify_all();
    }
    void Subscribed()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            subscribed_ = true;
        }
        changed_.notify_all();
    }

    mosquitto *client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Arrival> received_;
    bool subscribed_ = false;
};

struct Programs {
    std::string mosquitto;
    std::string bridge;
};

// mosquitto on a free port of 127.0.0.1, its configuration and log in
// `folder`.
class Broker {
public:
    Broker(const Programs &programs, const fs::path &folder) : port_(FreePort())
    {
        const fs::path conf = folder / "broker.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
        process_ = std::make_unique<Child>(std::vector<std::string>{programs.mosquitto, "-c", conf.string()},
                                           folder / "broker.log");
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (!Listening(port_)) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("mosquitto did not listen; see " + (folder / "broker.log").string());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    int Port() const { return port_; }
    pid_t Pid() const { return process_->Pid(); }

private:
    int port_;
    std::unique_ptr<Child> process_;
};

// A controller and the gpio-mqtt process that puts it on the broker as
// gpiolink/<id>: port 0 for sets when `output`, and the `inputs` polled
// every 100 ms.
class BridgedController {
public:
    BridgedController(const Programs &programs, const fs::path &folder, int broker, const std::string &id,
                      bool output, const std::vector<int> &inputs)
        : id_(id)
    {
        const fs::path conf = folder / (id + ".toml");
        std::ofstream out(conf);
        out << "broker = \"mqtt://127.0.0.1:" << broker << "\"\nserial_port = \"" << sim_.SlavePath() << "\"\n"
            << "id = \"" << id << "\"\n";
        if (output) {
            out << "\n[[port]]\nnumber = " << int{kOutputPort} << "\ndirection = \"output\"\n";
        }
        for (const int port : inputs) {
            out << "\n[[port]]\nnumber = " << port << "\ndirection = \"input\"\npoll_interval_ms = "
                << kPollInterval.count() << "\n";
        }
        out.close();
        process_ = std::make_unique<Child>(std::vector<std::string>{programs.bridge, "--config", conf.string()},
                                           folder / (id + ".log"));
    }

    std::string Topic(const std::string &suffix) const { return "gpiolink/" + id_ + "/" + suffix; }
    PtySimulator &Sim() { return sim_; }
    pid_t Pid() const { return process_->Pid(); }

private:
    std::string id_;
    PtySimulator sim_;  // outlives the bridge, which is stopped first
    std::unique_ptr<Child> process_;
};

// When the frame `wanted` came off the line of `sim` among the frames from
// index `from` on, waiting for it up to kPatience.
std::optional<Clock::time_point> FrameTime(PtySimulator &sim, std::size_t from, const gpio_tools::Bytes &wanted)
{
    const Clock::time_point deadline = Clock::now() + kPatience;
    std::size_t checked = from;
    while (Clock::now() < deadline) {
        sim.WaitForRequests(checked + 1, 100);
        // Each frame's time is noted with it, so `times` holds at least as
        // many as `requests`.
        const std::vector<gpio_tools::Bytes> requests = sim.Requests();
        const std::vector<Clock::time_point> times = sim.RequestTimes();
        for (; checked < requests.size(); ++checked) {
            if (requests[checked] == wanted) {
                return times[checked];
            }
        }
    }
    return std::nullopt;
}

gpio_tools::Bytes OutputFrame(unsigned char port, unsigned char value)
{
    return gpio_tools::EncodeRequest({'O', port, value});
}

// ---- the measures ----------------------------------------------------------------

struct Row {
    std::string what;
    int controllers = 0;
    std::vector<double> samples;
    std::string goal;  // "" when the row has none
    std::optional<bool> met;
};

void Print(std::vector<Row> &rows)
{
    std::printf("| Measure | Bridged controllers | Median | p99 | Max | Goal | Met |\n"
                "|---|---|---|---|---|---|---|\n");
    for (Row &row : rows) {
        std::vector<double> &s = row.samples;
        std::printf("| %s | %d | %.2f ms | %.2f ms | %.2f ms | %s | %s |\n", row.what.c_str(), row.controllers,
                    MedianMs(s), PercentileMs(s, 99.0), s.empty() ? 0.0 : *std::max_element(s.begin(), s.end()),
                    row.goal.c_str(), !row.met ? "" : *row.met ? "yes" : "**no**");
    }
}

// Direct: GPIO_Output from the call to the frame on the wire, and the whole
// call (the exchange and the library's pause after it), beside `bridges`
// bridges at work. Returns the median of the whole call.
double DirectSets(int bridges, int samples, std::mt19937 &random, std::vector<Row> &rows)
{
    PtySimulator sim;
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK) {
        throw std::runtime_error("the direct call cannot open the simulator");
    }
    Row wire{"set: GPIO_Output call to the Output frame on the wire (direct)", bridges, {}, "", std::nullopt};
    Row exchange{"set: the whole GPIO_Output call (direct)", bridges, {}, "", std::nullopt};
    for (int sample = 0; sample < samples; ++sample) {
        const auto value = static_cast<unsigned char>(sample);
        const std::size_t from = sim.RequestCount();
        const Clock::time_point start = Clock::now();
        if (GPIO_Output(handle, kOutputPort, value) != GPIO_RESULT_OK) {
            throw std::runtime_error("a direct GPIO_Output failed");
        }
        exchange.samples.push_back(MsBetween(start, Clock::now()));
        wire.samples.push_back(MsBetween(start, *FrameTime(sim, from, OutputFrame(kOutputPort, value))));
        Gap(random);
    }
    GPIO_CloseInterface(handle);
    rows.push_back(wire);
    rows.push_back(exchange);
    return MedianMs(exchange.samples);
}

// Direct: a program polling port 1 every 100 ms, as the bridge does; from
// the pins changing to the call that read the new value returning; beside
// `bridges` bridges at work.
void DirectInputs(int bridges, int samples, std::mt19937 &random, std::vector<Row> &rows)
{
    PtySimulator sim;
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(sim.PortName().c_str(), &handle) != GPIO_RESULT_OK) {
        throw std::runtime_error("the direct call cannot open the simulator");
    }
    std::mutex mutex;
    std::condition_variable seen;
    int lastValue = -1;
    Clock::time_point lastChange;
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        Clock::time_point due = Clock::now();
        while (!stop) {
            unsigned char value = 0;
            if (GPIO_Input(handle, kInputPort, &value) == GPIO_RESULT_OK) {
                const std::lock_guard<std::mutex> lock(mutex);
                if (value != lastValue) {
                    lastValue = value;
                    lastChange = Clock::now();
                    seen.notify_all();
                }
            }
            due += kPollInterval;
            std::this_thread::sleep_until(due);
        }
    });
    Row row{"input change to the value read by polling every 100 ms (direct)", bridges, {}, "", std::nullopt};
    for (int sample = 0; sample < samples; ++sample) {
        const auto value = static_cast<unsigned char>(sample % 2 == 0 ? 0x55 : 0xAA);
        const Clock::time_point changed = Clock::now();
        sim.Model().SetInputPins(kInputPort, 0xFF, value);
        std::unique_lock<std::mutex> lock(mutex);
        if (!seen.wait_for(lock, kPatience, [&] { return lastValue == value; })) {
            throw std::runtime_error("the direct poll never saw the change");
        }
        row.samples.push_back(MsBetween(changed, lastChange));
        lock.unlock();
        Gap(random);
    }
    stop = true;
    poller.join();
    GPIO_CloseInterface(handle);
    rows.push_back(row);
}

// Through the bridges: `count` controllers, each with its gpio-mqtt, one
// broker. Sets go to each controller in turn while all of them poll. The
// direct call is measured first, on a controller of its own beside the
// bridges, so that both meet the same machine.
void BridgedSetsAndInputs(const Programs &programs, const fs::path &folder, int count, int samples,
                          std::mt19937 &random, std::vector<Row> &rows)
{
    const Broker broker(programs, folder);
    std::vector<std::unique_ptr<BridgedController>> controllers;
    controllers.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) {
        controllers.push_back(std::make_unique<BridgedController>(programs, folder, broker.Port(),
                                                                  "c" + std::to_string(index), true,
                                                                  std::vector<int>{kInputPort}));
    }
    Subscriber subscriber(broker.Port(), "gpiolink/#");
    if (!std::all_of(controllers.begin(), controllers.end(), [&](const auto &controller) {
            return subscriber.WaitFor(controller->Topic("availability"), "online").has_value();
        })) {
        throw std::runtime_error("a bridge did not come online; see its log in " + folder.string());
    }
    const double directExchangeMs = DirectSets(count, samples, random, rows);
    DirectInputs(count, samples, random, rows);

    const double setGoal = directExchangeMs + kGoalSlackMs;
    Row wire{"set: MQTT publish to the Output frame on the wire (gpio-mqtt)", count, {},
             "median under the direct call + 5 ms = " + std::to_string(setGoal).substr(0, 5) + " ms", std::nullopt};
    Row confirmed{"set: MQTT publish to its confirmed state at the subscriber (gpio-mqtt)", count, {}, "",
                  std::nullopt};
    for (int sample = 0; sample < samples; ++sample) {
        BridgedController &controller = *controllers[static_cast<std::size_t>(sample % count)];
        const auto value = static_cast<unsigned char>(sample % 256);
        subscriber.Clear();
        const std::size_t from = controller.Sim().RequestCount();
        const Clock::time_point start = Clock::now();
        subscriber.Publish(controller.Topic("port/0/set"), std::to_string(value));
        const std::optional<Clock::time_point> onWire = FrameTime(controller.Sim(), from, OutputFrame(kOutputPort, value));
        const std::optional<Clock::time_point> back =
            subscriber.WaitFor(controller.Topic("port/0"), gpio_mqtt::PortStatePayload(value));
        if (!onWire || !back) {
            throw std::runtime_error("a set did not reach the wire or did not come back");
        }
        wire.samples.push_back(MsBetween(start, *onWire));
        confirmed.samples.push_back(MsBetween(start, *back));
        Gap(random);
    }
    std::vector<double> sorted = wire.samples;
    wire.met = MedianMs(sorted) <= setGoal;

    const double inputGoal = static_cast<double>(kPollInterval.count()) + directExchangeMs + kGoalSlackMs;
    Row input{"input change to its MQTT publish at the subscriber (gpio-mqtt, polling every 100 ms)", count, {},
              "each under the poll interval + the direct call + 5 ms = " + std::to_string(inputGoal).substr(0, 5) +
                  " ms",
              std::nullopt};
    for (int sample = 0; sample < samples; ++sample) {
        BridgedController &controller = *controllers[static_cast<std::size_t>(sample % count)];
        const auto value = static_cast<unsigned char>((sample / count) % 2 == 0 ? 0x55 : 0xAA);
        subscriber.Clear();
        const Clock::time_point changed = Clock::now();
        controller.Sim().Model().SetInputPins(kInputPort, 0xFF, value);
        const std::optional<Clock::time_point> published =
            subscriber.WaitFor(controller.Topic("port/1"), gpio_mqtt::PortStatePayload(value));
        if (!published) {
            throw std::runtime_error("an input change was never published");
        }
        input.samples.push_back(MsBetween(changed, *published));
        Gap(random);
    }
    input.met = *std::max_element(input.samples.begin(), input.samples.end()) <= inputGoal;
    rows.push_back(wire);
    rows.push_back(confirmed);
    rows.push_back(input);
    // All the bridges told to stop at once; each then is waited for.
    for (const auto &controller : controllers) {
        kill(controller->Pid(), SIGTERM);
    }
}

// One bridge polling 4 input ports every 100 ms, left alone for `seconds`:
// its share of one core and its resident memory.
void IdleBridge(const Programs &programs, const fs::path &folder, int seconds)
{
    const Broker broker(programs, folder);
    BridgedController controller(programs, folder, broker.Port(), "idle", false, {0, 1, 2, 3});
    {
        Subscriber subscriber(broker.Port(), "gpiolink/#");
        if (!subscriber.WaitFor(controller.Topic("availability"), "online")) {
            throw std::runtime_error("the idle bridge did not come online");
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t framesBefore = controller.Sim().RequestCount();
    const double cpuBefore = CpuSeconds(controller.Pid());
    const double brokerBefore = CpuSeconds(broker.Pid());
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = MsBetween(start, Clock::now()) / 1000.0;
    const double cpuPercent = (CpuSeconds(controller.Pid()) - cpuBefore) / elapsed * 100.0;
    const double brokerPercent = (CpuSeconds(broker.Pid()) - brokerBefore) / elapsed * 100.0;
    const double polls = static_cast<double>(controller.Sim().RequestCount() - framesBefore) / elapsed;
    const double resident = StatusMb(controller.Pid(), "VmRSS");
    const double peak = StatusMb(controller.Pid(), "VmHWM");
    std::printf("\nOne gpio-mqtt polling 4 ports every 100 ms, idle for %.1f s (%.1f polls a second):\n\n", elapsed,
                polls);
    std::printf("| Measure | Value | Goal | Met |\n|---|---|---|---|\n");
    std::printf("| CPU, share of one core | %.2f %% | under %.0f %% | %s |\n", cpuPercent, kGoalCpuPercent,
                cpuPercent < kGoalCpuPercent ? "yes" : "**no**");
    std::printf("| Resident memory (VmRSS; VmHWM %.1f MB) | %.1f MB | under %.0f MB | %s |\n", peak, resident,
                kGoalResidentMb, resident < kGoalResidentMb ? "yes" : "**no**");
    std::printf("| The broker's CPU meanwhile | %.2f %% | | |\n", brokerPercent);
}

int Main(int argc, char **argv)
{
    int samples = 100;
    int idleSeconds = 10;
    Programs programs{GPIOLINK_BENCH_MOSQUITTO, GPIOLINK_BENCH_GPIO_MQTT};
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if ((option == "--samples" || option == "--idle-seconds") && index + 1 < argc) {
            (option == "--samples" ? samples : idleSeconds) = std::max(1, std::atoi(argv[++index]));
        } else {
            std::fprintf(stderr, "usage: gpio_mqtt_bench [--samples N] [--idle-seconds S]\n");
            return 64;
        }
    }
    const fs::path folder = fs::temp_directory_path() / ("gpio-mqtt-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();
    std::mt19937 random(1);
    int status = 0;
    try {
        std::vector<Row> rows;
        for (const int count : {1, 32}) {
            BridgedSetsAndInputs(programs, folder, count, samples, random, rows);
        }
        std::printf("gpio-mqtt beside the direct library call, %d samples a row:\n\n", samples);
        Print(rows);
        IdleBridge(programs, folder, idleSeconds);
        fs::remove_all(folder);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "gpio_mqtt_bench: %s (logs kept in %s)\n", error.what(), folder.c_str());
        status = 1;
    }
    mosquitto_lib_cleanup();
    return status;
}

}  // namespace

int main(int argc, char **argv) { return Main(argc, argv); }
