#include "modbus_config.h"

#include <algorithm>
#include <set>

#include "number.h"

namespace gpio_modbus {
namespace {

using gpio_tools::ConfigError;
using gpio_tools::Integer;
using gpio_tools::LineOf;
using gpio_tools::String;

// Where the keys that later checks refer to were given (0: not given).
struct KeyLines {
    std::size_t maxPollAge = 0;
};

KeyLines ReadKeys(const toml::table &table, Config &config)
{
    KeyLines lines;
    const auto milliseconds = [](const toml::node &node, const std::string &key, std::int64_t min, std::int64_t max) {
        return std::chrono::milliseconds(Integer(node, key, min, max));
    };
    gpio_tools::ReadTable(
        table,
        {{"serial_port", [&](const toml::node &node) { config.serialPort = gpio_tools::SerialPort(node); }},
         {"listen",
          [&](const toml::node &node) {
              const std::string problem = ParseListen(String(node, "listen"), config.server.host, config.server.port);
              if (!problem.empty()) {
                  throw ConfigError{LineOf(node), problem};
              }
          }},
         {"allow",
          [&](const toml::node &node) {
              const toml::array *entries = node.as_array();
              if (entries == nullptr) {
                  throw ConfigError{LineOf(node), "allow wants a list of addresses and networks: [\"10.0.0.0/8\"]"};
              }
              for (const toml::node &entry : *entries) {
                  AddressRange range;
                  const std::string text = String(entry, "allow");
                  if (const std::string problem = ParseAddressRange(text, range); !problem.empty()) {
                      throw ConfigError{LineOf(entry), "allow: " + problem};
                  }
                  config.server.allow.push_back(range);
                  config.allow.push_back(text);
              }
          }},
         {"unit_id", [&](const toml::node &node) { config.unitId = static_cast<int>(Integer(node, "unit_id", 1, 247)); }},
         {"max_clients",
          [&](const toml::node &node) {
              config.server.maxClients = static_cast<int>(Integer(node, "max_clients", 1, 1024));
          }},
         {"idle_timeout_ms",
          [&](const toml::node &node) {
              config.server.idleTimeout = milliseconds(node, "idle_timeout_ms", 100, 86400000);
          }},
         {"max_poll_age_ms",
          [&](const toml::node &node) {
              config.maxPollAge = milliseconds(node, "max_poll_age_ms", 10, 3600000);
              lines.maxPollAge = LineOf(node);
          }},
         {"check_interval_ms", [&](const toml::node &node) { config.checkInterval = gpio_tools::CheckInterval(node); }},
         {"port",
          [&](const toml::node &node) {
              gpio_tools::ReadPortTables(node, [&](const toml::node &entry, const std::set<int> &taken) {
                  config.ports.emplace_back();
                  gpio_tools::ReadPortEntry(entry, taken, {}, config.ports.back());
                  return config.ports.back().number;
              });
          }}},
        "");
    return lines;
}

void CheckAcrossKeys(const KeyLines &lines, const std::string &serialPort, Config &config)
{
    gpio_tools::CheckSerialPortAndPorts(config.serialPort, serialPort, config.ports.empty(), "to serve");
    // A limit that a port's own poll cannot keep would refuse every read of it.
    const auto unkept = std::find_if(config.ports.begin(), config.ports.end(), [&config](const auto &port) {
        return port.Polled() && port.pollInterval >= config.maxPollAge;
    });
    if (unkept != config.ports.end()) {
        throw ConfigError{lines.maxPollAge == 0 ? 1 : lines.maxPollAge,
                          "max_poll_age_ms (" + std::to_string(config.maxPollAge.count()) +
                              ") must be longer than port " + std::to_string(unkept->number) +
                              "'s poll_interval_ms (" + std::to_string(unkept->pollInterval.count()) +
                              "), or every read of it is refused"};
    }
}

}  // namespace

MapSettings Config::Map() const
{
    MapSettings map;
    map.unitId = unitId;
    map.maxPollAge = maxPollAge;
    map.checkInterval = checkInterval;
    for (const gpio_tools::PortEntry &port : ports) {
        map.ports.push_back(MapPort{port.number, port.Writable(), port.Polled()});
    }
    return map;
}

std::string ParseListen(const std::string &text, std::string &host, int &port)
{
    std::string address = text;
    std::string portText;
    bool portGiven = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close == 1) {
            return "listen '" + text + "': an IPv6 address wants brackets, [::1]:502";
        }
        address = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                return "listen '" + text + "': unexpected text after the address";
            }
            portText = text.substr(close + 2);
            portGiven = true;
        }
    } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
        if (text.find(':', colon + 1) != std::string::npos) {
            return "listen '" + text + "': an IPv6 address wants brackets, [::1]:502";
        }
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        portGiven = true;
    }
    AddressRange parsed;
    if (address.find('/') != std::string::npos || !ParseAddressRange(address, parsed).empty()) {
        return "listen '" + text + "' wants an IP address and a port: 127.0.0.1:502, 0.0.0.0:502, [::]:502";
    }
    int number = kDefaultTcpPort;
    if (portGiven) {
        const gpio_tools::ParsedUnsigned value = gpio_tools::ParseUnsigned(portText, 1, 65535);
        if (portText.empty() || portText.find_first_not_of("0123456789") != std::string::npos || !value) {
            return "listen '" + text + "': port '" + portText + "' is not a number from 1 to 65535";
        }
        number = static_cast<int>(value.value);
    }
    host = address;
    port = number;
    return {};
}

ConfigResult ParseConfig(const std::string &text, const std::string &path, const std::string &serialPort)
{
    return gpio_tools::ParseConfigAs<ConfigResult>(text, path, [&](const toml::table &table, Config &config) {
        CheckAcrossKeys(ReadKeys(table, config), serialPort, config);
    });
}

ConfigResult LoadConfig(const std::string &path, const std::string &serialPort)
{
    return gpio_tools::LoadConfigAs<ConfigResult>(
        path, [&](const std::string &text) { return ParseConfig(text, path, serialPort); });
}

}  // namespace gpio_modbus
