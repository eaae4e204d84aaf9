#include "bridge_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "number.h"

namespace gpio_mqtt {
namespace {

namespace fs = std::filesystem;

using gpio_tools::Boolean;
using gpio_tools::ConfigError;
using gpio_tools::Integer;
using gpio_tools::LineOf;
using gpio_tools::Name;
using gpio_tools::ReadTable;
using gpio_tools::String;

// A character that no level of a topic may hold: the level separator, a
// wildcard, a space or a control character.
bool BreaksTopicLevel(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == '+' || c == '#' || byte <= 0x20 || byte == 0x7F;
}

bool IsTopicLevel(const std::string &text)
{
    return !text.empty() && std::none_of(text.begin(), text.end(), BreaksTopicLevel);
}

// `text` as one topic level (`single`) or as levels split by '/', else a
// mistake at `line` that names `key`.
std::string TopicLevels(const std::string &text, std::size_t line, const std::string &key, bool single)
{
    std::stringstream levels(text);
    bool fit = !text.empty() && text.front() != '/' && text.back() != '/';
    for (std::string level; fit && std::getline(levels, level, '/');) {
        fit = IsTopicLevel(level);
    }
    if (!fit || (single && text.find('/') != std::string::npos)) {
        throw ConfigError{line, key + " '" + text + "' cannot be part of a topic: it wants " +
                                    (single ? "no '/', " : "levels split by '/', none empty, ") +
                                    "no '+', '#', space or control character"};
    }
    return text;
}

StartRule ReadStartRule(const toml::node &node)
{
    const std::string text = String(node, "start");
    constexpr StartRule kRules[] = {StartRule::kKeep, StartRule::kOff, StartRule::kOn, StartRule::kRestore};
    const auto *found = std::find_if(std::begin(kRules), std::end(kRules),
                                     [&text](StartRule rule) { return text == StartRuleName(rule); });
    if (found != std::end(kRules)) {
        return *found;
    }
    throw ConfigError{LineOf(node), "start wants \"keep\", \"off\", \"on\" or \"restore\""};
}

// One [[port.bit]] table of `port`; `writable` tells whether the port takes
// commands, which pulses and start rules are for.
SignalConfig ReadSignal(const toml::node &entry, const PortConfig &port, bool writable)
{
    const toml::table *table = entry.as_table();
    if (table == nullptr) {
        throw ConfigError{LineOf(entry), "bit wants tables: [[port.bit]] with bit and name"};
    }
    SignalConfig signal;
    signal.start = port.start;
    bool numbered = false;
    std::size_t startLine = 0;
    const auto outputsOnly = [&](const toml::node &node, const std::string &key) {
        if (!writable) {
            throw ConfigError{LineOf(node), key + " is for the bits of output and both-way ports"};
        }
    };
    ReadTable(*table,
              {{"bit",
                [&](const toml::node &node) {
                    signal.bit = static_cast<int>(Integer(node, "bit", 0, 7));
                    numbered = true;
                }},
               {"name", [&](const toml::node &node) { signal.name = Name(node, "name"); }},
               {"inverted", [&](const toml::node &node) { signal.inverted = Boolean(node, "inverted"); }},
               {"pulse_ms",
                [&](const toml::node &node) {
                    outputsOnly(node, "pulse_ms");
                    signal.pulse = std::chrono::milliseconds(Integer(node, "pulse_ms", 10, 600000));
                }},
               {"device_class",
                [&](const toml::node &node) {
                    signal.deviceClass = String(node, "device_class");
                    if (signal.deviceClass.empty() || signal.deviceClass.size() > 32 ||
                        signal.deviceClass.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string::npos) {
                        throw ConfigError{LineOf(node), "device_class wants Home Assistant's word, such as door"};
                    }
                }},
               {"start",
                [&](const toml::node &node) {
                    outputsOnly(node, "start");
                    signal.start = ReadStartRule(node);
                    startLine = LineOf(node);
                }}},
              " in [[port.bit]]");
    // A pulse output rests off: it starts so whatever the port's rule.
    if (signal.pulse.count() > 0) {
        if (startLine != 0 && signal.start != StartRule::kOff) {
            throw ConfigError{startLine, "a pulse output always starts off, at its rest level"};
        }
        signal.start = StartRule::kOff;
    }
    if (!numbered || signal.name.empty()) {
        throw ConfigError{LineOf(entry), std::string("[[port.bit]] needs ") + (numbered ? "name" : "bit")};
    }
    signal.slug = Slug(signal.name);
    if (signal.slug.empty()) {
        throw ConfigError{LineOf(entry), "name '" + signal.name + "' has no letter or digit to make its topic of"};
    }
    return signal;
}

PortConfig ReadPort(const toml::node &entry, const std::set<int> &taken)
{
    PortConfig port;
    std::size_t startLine = 0;
    const toml::node *bits = nullptr;
    gpio_tools::ReadPortEntry(entry, taken,
                              {{"start",
                                [&](const toml::node &node) {
                                    port.start = ReadStartRule(node);
                                    startLine = LineOf(node);
                                }},
                               {"bit", [&](const toml::node &node) { bits = &node; }}},
                              port);
    if (startLine != 0 && !port.Writable()) {
        throw ConfigError{startLine, "start is for output and both-way ports"};
    }
    if (bits != nullptr) {
        const toml::array *entries = bits->as_array();
        if (entries == nullptr) {
            throw ConfigError{LineOf(*bits), "bit wants tables: [[port.bit]] with bit and name"};
        }
        std::set<int> named;
        for (const toml::node &signalEntry : *entries) {
            SignalConfig signal = ReadSignal(signalEntry, port, port.Writable());
            if (!named.insert(signal.bit).second) {
                throw ConfigError{LineOf(signalEntry), "bit " + std::to_string(signal.bit) + " of port " +
                                                           std::to_string(port.number) + " is given twice"};
            }
            port.signals.push_back(std::move(signal));
        }
        std::sort(port.signals.begin(), port.signals.end(),
                  [](const SignalConfig &a, const SignalConfig &b) { return a.bit < b.bit; });
    }
    return port;
}

// The credentials file: TOML with a username and a password, readable by
// the service only. One that every user of the machine may read (or
// change) is refused rather than used: the password would be everyone's.
// Its group may read it, as a service's group does (root:gpio-mqtt 0640).
void ReadCredentials(const std::string &path, Config &config, std::size_t line)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError{line, "cannot read the credentials file " + path};
    }
    std::error_code statusError;
    const fs::perms perms = fs::status(path, statusError).permissions();
    if (!statusError && (perms & (fs::perms::others_read | fs::perms::others_write)) != fs::perms::none) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(perms & fs::perms::mask));
        throw ConfigError{line, "the credentials file " + path + " may be read or changed by every user (mode " +
                                    mode + "): make it readable by the service only (chmod 600, or 640 for its group)"};
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        const toml::table table = toml::parse(text.str(), path);
        ReadTable(table,
                  {{"username", [&](const toml::node &node) { config.username = String(node, "username"); }},
                   {"password", [&](const toml::node &node) { config.password = String(node, "password"); }}},
                  " in the credentials file " + path);
    } catch (const toml::parse_error &error) {
        throw ConfigError{line, path + ":" + std::to_string(error.source().begin.line) + ": " +
                                    std::string(error.description())};
    } catch (const ConfigError &error) {
        throw ConfigError{line, path + ":" + std::to_string(error.line) + ": " + error.reason};
    }
    if (config.username.empty()) {
        throw ConfigError{line, "the credentials file " + path + " gives no username"};
    }
}

// A file named in the configuration: a relative name is taken from the
// configuration file's folder.
std::string Beside(const std::string &configFile, const std::string &name)
{
    const std::size_t slash = configFile.rfind('/');
    return name.front() == '/' || slash == std::string::npos ? name : configFile.substr(0, slash + 1) + name;
}

// Where the keys that later checks refer to were given (0: not given).
struct KeyLines {
    std::size_t broker = 0;
    std::size_t credentials = 0;
    std::size_t caFile = 0;
};

// A number of seconds, whole or not, from `min` to `max`, as milliseconds.
std::chrono::milliseconds Seconds(const toml::node &node, const std::string &key, double min, double max)
{
    const double seconds = node.is_integer()          ? static_cast<double>(*node.value<std::int64_t>())
                           : node.is_floating_point() ? *node.value<double>()
                                                      : -1.0;
    if (!(seconds >= min && seconds <= max)) {
        char range[64];
        std::snprintf(range, sizeof(range), " wants seconds from %g to %g", min, max);
        throw ConfigError{LineOf(node), key + range};
    }
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

// The readers of the keys at the top of the file, each on its own: what a
// key says alone. What keys say together is checked after all are read.
KeyLines ReadKeys(const toml::table &table, Config &config)
{
    KeyLines lines;
    const auto topic = [](const toml::node &node, const std::string &key, bool single) {
        return TopicLevels(String(node, key), LineOf(node), key, single);
    };
    ReadTable(
        table,
        {{"broker",
          [&](const toml::node &node) {
              const std::string problem = ParseBrokerUrl(String(node, "broker"), config.broker);
              if (!problem.empty()) {
                  throw ConfigError{LineOf(node), problem};
              }
              lines.broker = LineOf(node);
          }},
         {"credentials",
          [&](const toml::node &node) {
              config.credentialsFile = String(node, "credentials");
              lines.credentials = LineOf(node);
          }},
         {"ca_file",
          [&](const toml::node &node) {
              config.caFile = String(node, "ca_file");
              lines.caFile = LineOf(node);
          }},
         {"name", [&](const toml::node &node) { config.name = Name(node, "name"); }},
         {"prefix", [&](const toml::node &node) { config.prefix = topic(node, "prefix", false); }},
         {"id", [&](const toml::node &node) { config.id = topic(node, "id", true); }},
         {"serial_port", [&](const toml::node &node) { config.serialPort = gpio_tools::SerialPort(node); }},
         {"max_command_age",
          [&](const toml::node &node) { config.maxCommandAge = Seconds(node, "max_command_age", 0.1, 3600); }},
         {"reply_prefix",
          [&](const toml::node &node) {
              // Levels and a closing '/', so that "replies" cannot take "repliesX/...".
              std::string text = String(node, "reply_prefix");
              if (!text.empty() && text.back() == '/') {
                  text.pop_back();
              }
              config.replyPrefix = TopicLevels(text, LineOf(node), "reply_prefix", false) + "/";
          }},
         {"check_interval_ms", [&](const toml::node &node) { config.checkInterval = gpio_tools::CheckInterval(node); }},
         {"online_lifetime",
          [&](const toml::node &node) {
              config.onlineLifetime = std::chrono::seconds(Integer(node, "online_lifetime", 3, 86400));
          }},
         {"state_directory",
          [&](const toml::node &node) {
              config.stateDirectory = String(node, "state_directory");
              if (config.stateDirectory.empty() || config.stateDirectory.front() != '/') {
                  throw ConfigError{LineOf(node), "state_directory wants an absolute path"};
              }
          }},
         {"discovery", [&](const toml::node &node) { config.discovery = Boolean(node, "discovery"); }},
         {"discovery_prefix",
          [&](const toml::node &node) { config.discoveryPrefix = topic(node, "discovery_prefix", false); }},
         {"port",
          [&](const toml::node &node) {
              gpio_tools::ReadPortTables(node, [&](const toml::node &entry, const std::set<int> &taken) {
                  config.ports.push_back(ReadPort(entry, taken));
                  return config.ports.back().number;
              });
          }}},
        "");
    return lines;
}

// What the keys say together, and the files they name; `serialPort`, when
// given, replaces the file's serial_port.
void CheckAcrossKeys(const KeyLines &lines, const std::string &path, const std::string &serialPort, Config &config)
{
    if (lines.broker == 0) {
        throw ConfigError{1, "no broker given (broker = \"mqtt://HOST:PORT\")"};
    }
    gpio_tools::CheckSerialPortAndPorts(config.serialPort, serialPort, config.ports.empty(), "to bridge");
    if (!config.caFile.empty()) {
        if (!config.broker.tls) {
            throw ConfigError{lines.caFile, "ca_file is for a broker reached over TLS (mqtts://)"};
        }
        config.caFile = Beside(path, config.caFile);
        if (!std::ifstream(config.caFile)) {
            throw ConfigError{lines.caFile, "cannot read the ca_file " + config.caFile};
        }
    }
    if (config.id.empty()) {
        config.id = DefaultId(config.serialPort);
    }
    if (config.stateDirectory.empty()) {
        const char *state = std::getenv("STATE_DIRECTORY");
        config.stateDirectory = state != nullptr && *state == '/' ? state : "/var/lib/gpio-mqtt";
    }
    // Each signal's topic is its slug: two names that give one slug would
    // share a topic.
    std::map<std::string, std::string> slugs;
    for (const PortConfig &port : config.ports) {
        for (const SignalConfig &signal : port.signals) {
            const auto [other, fresh] = slugs.emplace(signal.slug, signal.name);
            if (!fresh) {
                throw ConfigError{1, "the signals '" + other->second + "' and '" + signal.name +
                                         "' both make the topic signal/" + signal.slug + ": rename one"};
            }
        }
    }
    if (!config.credentialsFile.empty()) {
        // systemd's LoadCredential= gives a service its secrets in a folder
        // that only the service can read, named by CREDENTIALS_DIRECTORY:
        // a relative path is taken from there when there is one.
        const char *credentials = std::getenv("CREDENTIALS_DIRECTORY");
        if (config.credentialsFile.front() != '/' && credentials != nullptr && *credentials != '\0') {
            config.credentialsFile = std::string(credentials) + "/" + config.credentialsFile;
        } else {
            config.credentialsFile = Beside(path, config.credentialsFile);
        }
        ReadCredentials(config.credentialsFile, config, lines.credentials);
    }
}

}  // namespace

const char *StartRuleName(StartRule rule)
{
    switch (rule) {
    case StartRule::kKeep:
        return "keep";
    case StartRule::kOff:
        return "off";
    case StartRule::kOn:
        return "on";
    case StartRule::kRestore:
        return "restore";
    }
    return "keep";
}

std::string Slug(const std::string &name)
{
    std::string slug;
    bool gap = false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 && byte < 0x80) {
            if (gap && !slug.empty()) {
                slug += '-';
            }
            slug += static_cast<char>(std::tolower(byte));
            gap = false;
        } else {
            gap = true;
        }
    }
    return slug;
}

bool Config::Restores() const
{
    return std::any_of(ports.begin(), ports.end(), [](const PortConfig &port) {
        return port.Writable() &&
               (port.start == StartRule::kRestore ||
                std::any_of(port.signals.begin(), port.signals.end(),
                            [](const SignalConfig &signal) { return signal.start == StartRule::kRestore; }));
    });
}

const PortConfig *Config::Port(int number) const
{
    const auto found =
        std::find_if(ports.begin(), ports.end(), [number](const PortConfig &port) { return port.number == number; });
    return found == ports.end() ? nullptr : &*found;
}

std::string ParseBrokerUrl(const std::string &url, BrokerAddress &address)
{
    BrokerAddress parsed;
    std::string rest;
    if (url.compare(0, 7, "mqtt://") == 0) {
        rest = url.substr(7);
    } else if (url.compare(0, 8, "mqtts://") == 0) {
        parsed.tls = true;
        parsed.port = 8883;
        rest = url.substr(8);
    } else {
        return "broker '" + url + "' wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close == 1) {
            return "broker '" + url + "': an IPv6 address wants brackets, [::1]";
        }
        parsed.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                return "broker '" + url + "': unexpected text after the address";
            }
            portText = rest.substr(close + 2);
            if (portText.empty()) {
                return "broker '" + url + "': no port after ':'";
            }
        }
    } else {
        const std::size_t colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                return "broker '" + url + "': no port after ':'";
            }
        }
    }
    if (parsed.host.empty() || parsed.host.find_first_of("/@?# ") != std::string::npos) {
        return "broker '" + url + "' wants a host name or address (no path, user or query)";
    }
    if (!portText.empty()) {
        // A URL's port is decimal; the digits are then read as every
        // tool reads a number (number.h).
        const gpio_tools::ParsedUnsigned port = gpio_tools::ParseUnsigned(portText, 1, 65535);
        if (portText.find_first_not_of("0123456789") != std::string::npos || !port) {
            return "broker '" + url + "': port '" + portText + "' is not a number from 1 to 65535";
        }
        parsed.port = static_cast<int>(port.value);
    }
    address = parsed;
    return {};
}

std::string BrokerUrl(const BrokerAddress &address)
{
    const bool v6 = address.host.find(':') != std::string::npos;
    return std::string(address.tls ? "mqtts://" : "mqtt://") + (v6 ? "[" : "") + address.host + (v6 ? "]" : "") + ":" +
           std::to_string(address.port);
}

std::string DefaultId(const std::string &serialPort)
{
    std::string id = serialPort.compare(0, 5, "/dev/") == 0 ? serialPort.substr(5) : serialPort;
    std::replace_if(id.begin(), id.end(), BreaksTopicLevel, '_');
    return id.empty() ? "controller" : id;
}

ConfigResult ParseConfig(const std::string &text, const std::string &path, const std::string &serialPort)
{
    return gpio_tools::ParseConfigAs<ConfigResult>(text, path, [&](const toml::table &table, Config &config) {
        CheckAcrossKeys(ReadKeys(table, config), path, serialPort, config);
    });
}

ConfigResult LoadConfig(const std::string &path, const std::string &serialPort)
{
    return gpio_tools::LoadConfigAs<ConfigResult>(
        path, [&](const std::string &text) { return ParseConfig(text, path, serialPort); });
}

}  // namespace gpio_mqtt
