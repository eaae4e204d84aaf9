// gpio-modbus's configuration, read from a TOML file:
//
//   serial_port = "ttyUSB0"
//   listen = "127.0.0.1:502"           # HOST[:PORT], [IPV6][:PORT]; port 502 by default
//   allow = ["192.168.10.0/24"]        # clients let in; none given: every one that reaches it
//   unit_id = 1                        # 1-247; 255 is answered too
//   max_clients = 16
//   idle_timeout_ms = 60000            # a client without a request that long is closed
//   max_poll_age_ms = 1000             # an older read of a polled port is not served
//   check_interval_ms = 5000           # ports not polled are read this often (0: never)
//
//   [[port]]                           # as gpio-mqtt's (config_keys.h)
//   number = 1
//   direction = "input"
//   name = "Switches"
//   poll_interval_ms = 100
//
// Every mistake is refused with "FILE:LINE: reason". The listen address
// has no key `port` of its own: in TOML that name is the [[port]] tables.
#ifndef GPIO_MODBUS_MODBUS_CONFIG_H
#define GPIO_MODBUS_MODBUS_CONFIG_H

#include <chrono>
#include <string>
#include <vector>

#include "config_keys.h"
#include "modbus_map.h"
#include "modbus_server.h"

namespace gpio_modbus {

constexpr int kDefaultTcpPort = 502;

struct Config {
    std::string file;
    std::string serialPort;
    std::vector<gpio_tools::PortEntry> ports;
    std::chrono::milliseconds checkInterval{5000};
    ServerSettings server;
    std::vector<std::string> allow;  // as written, for people
    int unitId = 1;
    std::chrono::milliseconds maxPollAge{1000};

    MapSettings Map() const;
};

struct ConfigResult {
    bool ok = false;
    Config config;
    std::string error;  // "FILE:LINE: reason", or "FILE: reason"
};

// Reads and checks the file; a `serialPort` given (--port) stands for the
// file's serial_port, which may then be left out.
ConfigResult LoadConfig(const std::string &path, const std::string &serialPort = {});
ConfigResult ParseConfig(const std::string &text, const std::string &path, const std::string &serialPort = {});

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; "" and fills host and
// port (kDefaultTcpPort when none is given), or says what is wrong.
std::string ParseListen(const std::string &text, std::string &host, int &port);

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_MODBUS_CONFIG_H
