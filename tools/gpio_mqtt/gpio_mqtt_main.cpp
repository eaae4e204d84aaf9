// gpio-mqtt: puts one controller on an MQTT broker until SIGINT or
// SIGTERM; SIGHUP reads the configuration again.
//
// Three threads: this one, which makes every call into the library (the
// Bridge); libmosquitto's, which talks to the broker and queues what comes
// in; and one that waits for the signals and queues a reload or stops the
// queue.
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "bridge.h"
#include "bridge_config.h"
#include "event_log.h"
#include "command_line.h"
#include "mqtt_link.h"
#include "output_state.h"
#include "text_output.h"
#include "work_queue.h"

namespace {

// Exit statuses besides 0 and a usage error (64).
constexpr int kCannotStart = 1;
constexpr int kBadConfig = 78;  // EX_CONFIG

// How long a stop waits for the broker to take "offline".
constexpr std::chrono::milliseconds kOfflineWait{2000};

struct Arguments {
    std::string configFile = "/etc/gpiolink/mqtt.toml";
    std::string port;
    bool checkConfig = false;
    bool json = false;
};

void Declare(gpio_tools::CommandLine &line, Arguments &args)
{
    line.Option("--config", "FILE", "the configuration (default /etc/gpiolink/mqtt.toml)", &args.configFile);
    line.Option("--port", "NAME",
                "the controller's serial port, e.g. ttyUSB0 or /dev/ttyUSB0,\n"
                "instead of the configuration's serial_port; without an id\n"
                "there, the id is made of it",
                [&args](const std::string &name) {
                    args.port = name;
                    return name.empty() ? std::string("wants a port name") : std::string();
                });
    line.Flag("--check-config",
              "read and check the configuration, print what it bridges\n"
              "and exit: 0 when it is good, 78 when not",
              &args.checkConfig);
    line.Flag("--json", "log one JSON object per line on stderr:\n{\"level\":..,\"event\":..,\"message\":..}", &args.json);
    line.Section("Topics",
                 "Below PREFIX/ID (gpiolink/ID by default): availability, version,\n"
                 "port/N and port/N/bit/B (retained state), their /set topics,\n"
                 "request (MQTT 5 request/response) and error. The topics and\n"
                 "payloads: gpio-mqtt(1), and docs/mqtt.md in the documentation.");
    line.Section("Signals",
                 "SIGTERM or SIGINT publishes offline, closes the port and disconnects;\n"
                 "SIGHUP reads the configuration again (a bad one is refused, and the\n"
                 "one in use stays).");
    line.Section("Exit status",
                 "  0   stopped by SIGINT or SIGTERM (with --check-config: good)\n"
                 "  1   could not start: the serial port is held by another process,\n"
                 "      or the MQTT client could not be set up\n"
                 "  64  usage error\n"
                 "  78  bad configuration, said as FILE:LINE: reason");
}

// Waits for the signals that every other thread blocks: SIGHUP queues a
// reload, SIGINT and SIGTERM stop the queue and end the wait.
void WaitForSignals(const sigset_t &signals, gpio_mqtt::WorkQueue &queue, gpio_controller::Log &log)
{
    for (;;) {
        int number = 0;
        if (sigwait(&signals, &number) != 0) {
            continue;
        }
        if (number == SIGHUP) {
            gpio_mqtt::WorkItem item;
            item.kind = gpio_mqtt::WorkItem::Kind::kReload;
            queue.Push(std::move(item));
            continue;
        }
        log.Info("stopping", number == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
        queue.Stop();
        return;
    }
}

// A signal's rules in words: "inverted, pulse 500 ms, start off".
std::string SignalRules(const gpio_mqtt::SignalConfig &signal, bool writable)
{
    std::string rules = signal.inverted ? "inverted" : "not inverted";
    if (signal.pulse.count() > 0) {
        rules += ", pulse " + std::to_string(signal.pulse.count()) + " ms";
    }
    if (!signal.deviceClass.empty()) {
        rules += ", device class " + signal.deviceClass;
    }
    if (writable) {
        rules += std::string(", start ") + gpio_mqtt::StartRuleName(signal.start);
    }
    return rules;
}

// What --check-config prints of a good configuration: a line of text, and
// a line for each signal with its rules; or one JSON object with --json.
std::string Summary(const gpio_mqtt::Config &config, bool json)
{
    const std::string broker = gpio_mqtt::BrokerUrl(config.broker);
    if (json) {
        nlohmann::json ports = nlohmann::json::array();
        for (const gpio_mqtt::PortConfig &port : config.ports) {
            nlohmann::json entry{{"number", port.number},
                                 {"direction", gpio_mqtt::DirectionName(port.direction)},
                                 {"name", port.name}};
            if (port.Writable()) {
                entry["start"] = gpio_mqtt::StartRuleName(port.start);
            }
            nlohmann::json signals = nlohmann::json::array();
            for (const gpio_mqtt::SignalConfig &signal : port.signals) {
                nlohmann::json item{{"bit", signal.bit},
                                    {"name", signal.name},
                                    {"topic", config.Base() + "/signal/" + signal.slug},
                                    {"inverted", signal.inverted}};
                if (signal.pulse.count() > 0) {
                    item["pulse_ms"] = signal.pulse.count();
                }
                if (!signal.deviceClass.empty()) {
                    item["device_class"] = signal.deviceClass;
                }
                if (port.Writable()) {
                    item["start"] = gpio_mqtt::StartRuleName(signal.start);
                }
                signals.push_back(item);
            }
            entry["signals"] = signals;
            ports.push_back(entry);
        }
        nlohmann::json summary = {{"config", config.file}, {"serial_port", config.serialPort},
                                  {"base", config.Base()},  {"broker", broker},
                                  {"ports", ports}};
        if (!config.name.empty()) {
            summary["name"] = config.name;
        }
        return summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    std::string ports;
    std::string signals;
    for (const gpio_mqtt::PortConfig &port : config.ports) {
        ports += (ports.empty() ? "" : ", ") + std::to_string(port.number) + " " +
                 gpio_mqtt::DirectionName(port.direction);
        if (port.Writable() && port.start != gpio_mqtt::StartRule::kKeep) {
            ports += std::string(" (start ") + gpio_mqtt::StartRuleName(port.start) + ")";
        }
        for (const gpio_mqtt::SignalConfig &signal : port.signals) {
            signals += gpio_tools::SafeText("  " + config.Base() + "/signal/" + signal.slug + ": \"" + signal.name +
                                            "\", port " + std::to_string(port.number) + " bit " +
                                            std::to_string(signal.bit) + ", " + SignalRules(signal, port.Writable())) +
                       "\n";
        }
    }
    const std::string named = config.name.empty() ? "" : " \"" + config.name + "\"";
    return gpio_tools::SafeText(config.file + ": good: the controller" + named + " on " + config.serialPort + " as " +
                                config.Base() + "/ on " + broker + ", ports " + ports) +
           "\n" + signals;
}

int Main(int argc, char **argv)
{
    Arguments args;
    gpio_tools::CommandLine line("gpio-mqtt", "[OPTIONS]",
                                 "Puts one digital I/O controller on an MQTT broker: its ports as retained\n"
                                 "state, commands to set them, and MQTT 5 request/response for every\n"
                                 "operation. Runs until SIGINT or SIGTERM; logs on stderr.");
    Declare(line, args);
    const int parsed = line.Parse(argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    gpio_controller::Log log("gpio-mqtt", args.json);
    const gpio_mqtt::ConfigResult loaded = gpio_mqtt::LoadConfig(args.configFile, args.port);
    if (!loaded.ok) {
        log.Error("bad-config", loaded.error);
        return kBadConfig;
    }
    if (args.checkConfig) {
        std::fputs(Summary(loaded.config, args.json).c_str(), stdout);
        return 0;
    }

    // Blocked before any thread starts, so that every thread inherits the
    // mask and only the signal thread takes them. A broken connection is
    // an error from send(), not a signal.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    mosquitto_lib_init();
    int status = 0;
    {
        gpio_mqtt::WorkQueue queue;
        gpio_mqtt::MqttLink link(loaded.config, queue, log);
        gpio_mqtt::Bridge bridge(loaded.config, link, gpio_controller::TheLibrary(), queue, log,
                                 [args] { return gpio_mqtt::LoadConfig(args.configFile, args.port); });
        gpio_mqtt::OutputStateFile state(loaded.config.StateFile(), log);
        if (loaded.config.Restores()) {
            bridge.KeepStateIn(state);
        }
        // The port first: a bridge that finds its controller held by
        // another process (another bridge, say) must not say anything
        // about that controller on the broker.
        std::string problem;
        if (!bridge.Start(problem)) {
            log.Error("port-held", problem + "; not connecting to the broker");
            status = kCannotStart;
        } else if (problem = link.Start(); !problem.empty()) {
            log.Error("cannot-start", problem);
            status = kCannotStart;
        } else {
            std::thread signalThread(WaitForSignals, std::cref(signals), std::ref(queue), std::ref(log));
            log.Info("started", "bridging the controller on " + loaded.config.serialPort + " to " +
                                    loaded.config.Base() + "/");
            bridge.Run();
            link.Finish(kOfflineWait);
            signalThread.join();
        }
    }
    mosquitto_lib_cleanup();
    return status;
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpio-mqtt", Main(argc, argv)); }
