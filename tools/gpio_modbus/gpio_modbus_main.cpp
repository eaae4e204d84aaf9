// gpio-modbus: serves one controller as a Modbus TCP server until SIGINT or
// SIGTERM; SIGHUP reads the configuration again.
//
// Three threads: the controller's (ControllerThread: every call into the
// library, the poll, the writes), the network thread (this one: the
// Server's loop), and one that waits for the signals and reconfigures or
// stops the server.

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "command_line.h"
#include "controller.h"
#include "controller_owner.h"
#include "controller_thread.h"
#include "service_command_line.h"
#include "modbus_config.h"
#include "modbus_server.h"
#include "text_output.h"

namespace {

using gpio_controller::kBadConfig;
using gpio_controller::kCannotStart;

struct Arguments : gpio_controller::ServiceArguments {
    std::string listen;  // over the configuration's listen when given
};

void Declare(gpio_tools::CommandLine &line, Arguments &args)
{
    gpio_controller::DeclareServiceOptions(line, args, "", "serves");
    line.Option("--listen", "ADDR",
                "the address and TCP port to listen on, HOST:PORT as\n"
                "127.0.0.1:1502, instead of the configuration's listen: one\n"
                "file can then serve several controllers, each on a port\nof its own",
                [&args](const std::string &text) {
                    std::string host;
                    int port = 0;
                    args.listen = text;
                    return gpio_modbus::ParseListen(text, host, port).empty()
                               ? std::string()
                               : std::string("wants an IP address and a port: 127.0.0.1:1502, [::1]:1502");
                });
    line.Section("Map",
                 "Coils (1, 5, 15): output bits at port*8+bit; discrete inputs (2): input\n"
                 "bits; holding registers (3, 6, 16): output ports at their number; input\n"
                 "registers (4): input ports, and the bridge's state from 1000. The map and\n"
                 "the exceptions: gpio-modbus(1), and docs/modbus.md in the documentation.");
    line.Section("Signals",
                 "SIGTERM or SIGINT closes the clients and the port; SIGHUP reads the\n"
                 "configuration again and takes its limits, allow list, unit id and\n"
                 "max_poll_age_ms (a bad one is refused, and the one in use stays);\n"
                 "serial_port, listen, check_interval_ms and the ports need a restart.");
    line.Section("Exit status", gpio_controller::ServiceExitStatus("the listen address cannot be bound\n      (or the server's network loop failed)"));
}

// The configuration with the command line's --port and --listen over it.
gpio_modbus::ConfigResult Load(const Arguments &args)
{
    gpio_modbus::ConfigResult loaded = gpio_modbus::LoadConfig(args.configFile, args.port);
    if (loaded.ok && !args.listen.empty()) {
        gpio_modbus::ParseListen(args.listen, loaded.config.server.host, loaded.config.server.port);
    }
    return loaded;
}

// What --check-config prints of a good configuration.
std::string Summary(const gpio_modbus::Config &config, bool json)
{
    const std::string listen = (config.server.host.find(':') != std::string::npos ? "[" + config.server.host + "]"
                                                                                  : config.server.host) +
                               ":" + std::to_string(config.server.port);
    if (json) {
        nlohmann::json ports = nlohmann::json::array();
        std::transform(config.ports.begin(), config.ports.end(), std::back_inserter(ports),
                       [](const gpio_tools::PortEntry &port) {
                           return nlohmann::json{{"number", port.number},
                                                 {"direction", gpio_tools::DirectionName(port.direction)},
                                                 {"name", port.name}};
                       });
        const nlohmann::json summary = {{"config", config.file},
                                        {"serial_port", config.serialPort},
                                        {"listen", listen},
                                        {"unit_id", config.unitId},
                                        {"allow", config.allow},
                                        {"ports", ports}};
        return summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    std::string ports;
    for (const gpio_tools::PortEntry &port : config.ports) {
        ports += (ports.empty() ? "" : ", ") + std::to_string(port.number) + " " +
                 gpio_tools::DirectionName(port.direction);
    }
    std::string allow;
    for (const std::string &range : config.allow) {
        allow += (allow.empty() ? "" : ", ") + range;
    }
    return gpio_tools::SafeText(config.file + ": good: the controller on " + config.serialPort + " as unit " +
                                std::to_string(config.unitId) + " on " + listen + " (clients from " +
                                (allow.empty() ? "anywhere that reaches it" : allow) + "), ports " + ports) +
           "\n";
}

// SIGHUP: the new limits, allow list, unit id and poll age; what needs a
// restart is said and kept as it is.
void Reload(const Arguments &args, const gpio_modbus::Config &running, gpio_modbus::Server &server,
            gpio_controller::Log &log)
{
    gpio_modbus::ConfigResult loaded = Load(args);
    if (!loaded.ok) {
        log.Error("bad-config", loaded.error + "; keeping the configuration in use");
        return;
    }
    gpio_modbus::Config &fresh = loaded.config;
    const bool samePorts =
        fresh.ports.size() == running.ports.size() &&
        std::equal(fresh.ports.begin(), fresh.ports.end(), running.ports.begin(), [](const auto &a, const auto &b) {
            return a.number == b.number && a.direction == b.direction && a.pollInterval == b.pollInterval;
        });
    if (fresh.serialPort != running.serialPort || fresh.server.host != running.server.host ||
        fresh.server.port != running.server.port || fresh.checkInterval != running.checkInterval || !samePorts) {
        log.Warning("restart-needed", "serial_port, listen, check_interval_ms and the ports take effect at a restart: "
                                      "keeping those in use");
    }
    fresh.serialPort = running.serialPort;
    fresh.server.host = running.server.host;
    fresh.server.port = running.server.port;
    fresh.checkInterval = running.checkInterval;
    fresh.ports = running.ports;
    server.Reconfigure(fresh.server, fresh.Map());
    log.Info("reloaded", "the limits, allow list, unit id and max_poll_age_ms of " + args.configFile + " taken");
}

// SIGHUP reloads; SIGINT and SIGTERM stop the server.
void WaitForSignals(const gpio_controller::ServiceSignals &signals, const Arguments &args,
                    const gpio_modbus::Config &running, gpio_modbus::Server &server, gpio_controller::Log &log)
{
    signals.Wait(log, [&] { Reload(args, running, server, log); });
    server.Stop();
}

int Main(int argc, char **argv)
{
    Arguments args;
    args.configFile = "/etc/gpiolink/modbus.toml";
    gpio_tools::CommandLine line("gpio-modbus", "[OPTIONS]",
                                 "Serves one digital I/O controller as a Modbus TCP server: its ports as\n"
                                 "coils, discrete inputs and registers, read from the poll and written\n"
                                 "with a read-back. Runs until SIGINT or SIGTERM; logs on stderr.");
    Declare(line, args);
    const int parsed = line.Parse(argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    gpio_controller::Log log("gpio-modbus", args.json);
    const gpio_modbus::ConfigResult loaded = Load(args);
    if (!loaded.ok) {
        log.Error("bad-config", loaded.error);
        return kBadConfig;
    }
    const gpio_modbus::Config &config = loaded.config;
    if (args.checkConfig) {
        std::fputs(Summary(config, args.json).c_str(), stdout);
        return 0;
    }

    const gpio_controller::ServiceSignals signals;

    gpio_modbus::SharedState state;
    gpio_modbus::RealController controller(config, log, state);
    gpio_modbus::ControllerThread controllerThread(controller, state);
    const auto note = [&log](gpio_modbus::Level level, const std::string &event, const std::string &message) {
        if (level == gpio_modbus::Level::kInfo) {
            log.Info(event, message);
        } else if (level == gpio_modbus::Level::kWarning) {
            log.Warning(event, message);
        } else {
            log.Error(event, message);
        }
    };
    gpio_modbus::Server server(
        config.server, config.Map(), state,
        [&controllerThread](std::uint64_t ticket, gpio_modbus::WritePlan plan) {
            controllerThread.Submit(ticket, std::move(plan));
        },
        note);
    // The port first: a second server for the same controller must not
    // take a TCP port and answer for it.
    std::string problem;
    if (!controller.Start(problem)) {
        log.Error("port-held", problem + "; not listening");
        return kCannotStart;
    }
    if (!server.Listen(problem)) {
        log.Error("cannot-start", problem);
        controller.Close();
        return kCannotStart;
    }
    controllerThread.Start([&server](std::uint64_t ticket, int exception) { server.Completed(ticket, exception); });
    std::thread signalThread(WaitForSignals, std::cref(signals), std::cref(args), std::cref(config), std::ref(server),
                             std::ref(log));
    log.Info("started", "serving the controller on " + config.serialPort + " as Modbus unit " +
                            std::to_string(config.unitId) + " on " + config.server.host + " port " +
                            std::to_string(server.BoundPort()));
    const bool stopped = server.Run();
    // A loop that failed still has the signal thread waiting.
    signals.Stop();
    signalThread.join();
    controllerThread.Stop();
    controller.Close();
    return stopped ? 0 : kCannotStart;
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpio-modbus", Main(argc, argv)); }
