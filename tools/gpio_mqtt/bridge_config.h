// gpio-mqtt's configuration, read from a TOML file:
//
//   broker = "mqtt://127.0.0.1:1883"       # or mqtts://HOST[:PORT] (TLS)
//   credentials = "mqtt.credentials"       # optional: username and password
//   ca_file = "/etc/ssl/certs/ca.pem"      # optional, mqtts:// only
//   prefix = "gpiolink"                    # topics lie below PREFIX/ID
//   id = "bench"                           # default: the serial port's name
//   serial_port = "ttyUSB0"
//   max_command_age = 5                    # seconds
//   reply_prefix = "replies/"              # a request's Response Topic lies below it
//   check_interval_ms = 5000               # every port read back this often (0: never)
//   online_lifetime = 60                   # seconds the retained "online" lives unrenewed
//   discovery = true                       # Home Assistant MQTT discovery
//   discovery_prefix = "homeassistant"
//   state_directory = "/var/lib/gpio-mqtt"  # for start = "restore"
//
//   name = "Boiler room"                   # the controller's, for people
//
//   [[port]]
//   number = 1
//   direction = "input"                    # input, output or both
//   name = "Switches"
//   poll_interval_ms = 100
//   start = "keep"                         # output ports: keep, off, on or restore
//
//   [[port.bit]]                           # a bit of the port above, as a signal
//   bit = 0
//   name = "Door closed"
//   inverted = true                        # on when the bit is 0
//   pulse_ms = 500                         # outputs: a command turns it on for this long
//   device_class = "door"                  # Home Assistant's
//   start = "off"                          # outputs: this bit's own start rule
//
// The credentials file is TOML too, `username = "..."` and
// `password = "..."`, so that no secret appears on a command line. It must
// be readable by the service only: one that every user may read or change
// is refused. A relative credentials path is taken from systemd's
// CREDENTIALS_DIRECTORY when that is set (LoadCredential=), else from the
// configuration file's folder; a relative CA path from the configuration
// file's folder.
//
// Every mistake is refused with "FILE:LINE: reason": unknown keys (a typo
// would otherwise be ignored), values of the wrong type or out of range,
// ports given twice, names that would break a topic.
#ifndef GPIO_MQTT_BRIDGE_CONFIG_H
#define GPIO_MQTT_BRIDGE_CONFIG_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "config_keys.h"

namespace gpio_mqtt {

// The [[port]] tables' shared keys (config_keys.h).
using gpio_tools::Direction;
using gpio_tools::DirectionName;

// What the bridge does to an output at its start and when the controller
// comes back after being lost: keep what the controller holds (read it,
// never write), turn the signal off or on (inversion applies), or write
// again the last state the bridge confirmed.
enum class StartRule { kKeep, kOff, kOn, kRestore };

// "keep", "off", "on" or "restore".
const char *StartRuleName(StartRule rule);

// One bit of a port under the plant's name for it.
struct SignalConfig {
    int bit = 0;
    std::string name;
    std::string slug;  // its topic level: the name in lower case, words joined by '-'
    bool inverted = false;                // the signal is on when the bit is 0
    std::chrono::milliseconds pulse{0};  // an output that a command turns on for this long; 0: a level
    std::string deviceClass;              // Home Assistant's device_class, or ""
    StartRule start = StartRule::kKeep;

    // The signal's level in the port's value, inversion applied.
    bool On(std::uint8_t value) const { return (((value >> bit) & 1) != 0) != inverted; }
    // The bit's level that gives the signal `on`.
    bool BitFor(bool on) const { return on != inverted; }
};

// number, direction, name and poll_interval_ms as every program reads
// them; the start rule and the signals are gpio-mqtt's.
struct PortConfig : gpio_tools::PortEntry {
    StartRule start = StartRule::kKeep;  // for the bits without a rule of their own
    std::vector<SignalConfig> signals;   // in the order of their bits
};

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 1883;

    bool operator==(const BrokerAddress &other) const
    {
        return tls == other.tls && host == other.host && port == other.port;
    }
};

struct Config {
    std::string file;
    std::string name;  // the controller's, for people; "" shows the id
    BrokerAddress broker;
    std::string credentialsFile;
    std::string username;
    std::string password;
    std::string caFile;
    std::string prefix = "gpiolink";
    std::string id;
    std::string serialPort;
    std::chrono::milliseconds maxCommandAge{5000};
    // A request's Response Topic must start with this: the bridge writes
    // with its own broker rights, so a requester must not choose where.
    std::string replyPrefix = "replies/";
    // How often every configured port, outputs too, is read to catch a
    // controller that was reset or replaced; zero turns the check off.
    std::chrono::milliseconds checkInterval{5000};
    // The Message Expiry of the retained "online", renewed every third of
    // it: a bridge that dies while its broker is down cannot leave
    // "online" behind for longer.
    std::chrono::seconds onlineLifetime{60};
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";
    std::vector<PortConfig> ports;
    // Where the state kept for the start rule "restore" lies: systemd's
    // STATE_DIRECTORY when it gives one (StateDirectory=), else
    // /var/lib/gpio-mqtt.
    std::string stateDirectory;

    // PREFIX/ID, the root of every topic of this controller.
    std::string Base() const { return prefix + "/" + id; }
    // The file of the outputs' last confirmed state.
    std::string StateFile() const { return stateDirectory + "/" + id + ".json"; }
    // Whether a bit of an output follows the start rule "restore".
    bool Restores() const;
    const PortConfig *Port(int number) const;
};

// A configuration, or what is wrong with it as "FILE:LINE: reason" (or
// "FILE: reason" for a file that cannot be read).
struct ConfigResult {
    bool ok = false;
    Config config;
    std::string error;
};

// Reads and checks the file, and the credentials file it names. A
// `serialPort` given (the command line's --port) stands for the file's
// serial_port, which may then be left out; without an id in the file the
// id is made of it.
ConfigResult LoadConfig(const std::string &path, const std::string &serialPort = {});

// The same for a text already read; `path` names it in errors and anchors
// a relative credentials or CA path.
ConfigResult ParseConfig(const std::string &text, const std::string &path, const std::string &serialPort = {});

// "mqtt://host[:port]" or "mqtts://host[:port]", host a name, an IPv4
// address or an IPv6 address in brackets. Returns "" and fills `address`,
// or says what is wrong.
std::string ParseBrokerUrl(const std::string &url, BrokerAddress &address);

// The address as such a URL, always with its port: "mqtts://[::1]:8883".
std::string BrokerUrl(const BrokerAddress &address);

// A signal's topic level: its name in lower case, each run of other
// characters than letters and digits made one '-', none at either end:
// "Pump 1 (north)" gives "pump-1-north". "" when nothing is left.
std::string Slug(const std::string &name);

// The controller's id when none is configured: the serial port's name
// without "/dev/", every character that could break a topic ('/', '+',
// '#', controls, spaces) made '_': "/dev/serial/by-id/usb-x" gives
// "serial_by-id_usb-x".
std::string DefaultId(const std::string &serialPort);

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_CONFIG_H
