// What the programs' TOML configurations share (gpio-mqtt's, gpio-modbus's):
// every key read by a reader of its own, an unknown key refused, each
// mistake said as "FILE:LINE: reason", and the [[port]] tables:
//
//   [[port]]
//   number = 1                  # 0-255, each port once
//   direction = "input"         # input, output or both
//   name = "Switches"           # for people; "Port 1" when left out
//   poll_interval_ms = 100      # input and both-way ports: how often read
//
// Built with toml++ (libtomlplusplus-dev), where the programs that read
// TOML are built.
#ifndef GPIO_TOOLS_CONFIG_KEYS_H
#define GPIO_TOOLS_CONFIG_KEYS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include <toml++/toml.h>

namespace gpio_tools {

// A mistake found at a line of the file.
struct ConfigError {
    std::size_t line;
    std::string reason;
};

std::size_t LineOf(const toml::node &node);

// The keys of one table, each read by its own reader; a key without a
// reader is a mistake (a typo would otherwise be ignored). `where` follows
// the key in the message: " in [[port]]".
using KeyReader = std::function<void(const toml::node &)>;
using KeyReaders = std::map<std::string, KeyReader>;
void ReadTable(const toml::table &table, const KeyReaders &readers, const std::string &where);

std::string String(const toml::node &node, const std::string &key);
bool Boolean(const toml::node &node, const std::string &key);
// A whole number from `min` to `max`.
std::int64_t Integer(const toml::node &node, const std::string &key, std::int64_t min, std::int64_t max);
// A name for people: 1 to 64 characters, none of them a control character.
std::string Name(const toml::node &node, const std::string &key);
// check_interval_ms: 0 (no check) or 100 to 3600000.
std::chrono::milliseconds CheckInterval(const toml::node &node);

enum class Direction { kInput, kOutput, kBoth };

// "input", "output" or "both".
const char *DirectionName(Direction direction);

// The keys of a [[port]] table that every program has.
struct PortEntry {
    int number = 0;
    Direction direction = Direction::kInput;
    std::string name;
    std::chrono::milliseconds pollInterval{100};

    // Input and both-way ports are polled; output and both-way ports take
    // writes.
    bool Polled() const { return direction != Direction::kOutput; }
    bool Writable() const { return direction != Direction::kInput; }
};

// Reads one [[port]] table into `port`: the shared keys, and `more`, the
// program's own keys, each a reader as in ReadTable. A port number in
// `taken` is refused as given twice.
void ReadPortEntry(const toml::node &entry, const std::set<int> &taken, const KeyReaders &more, PortEntry &port);

// serial_port: a name that is not empty.
std::string SerialPort(const toml::node &node);

// The key `port`, an array of [[port]] tables: each handed to `readOne`
// with the numbers of those before it.
void ReadPortTables(const toml::node &node,
                    const std::function<int(const toml::node &entry, const std::set<int> &taken)> &readOne);

// The command line's serial port (--port), when given, stands for the
// file's; none at all, or no [[port]] table, is a mistake. `purpose` ends
// the message: "to bridge".
void CheckSerialPortAndPorts(std::string &serialPort, const std::string &commandLine, bool noPorts,
                             const std::string &purpose);

// Parses `text` and hands its table to `read`; "" when all went well,
// else "PATH:LINE: reason" (a TOML syntax error or a ConfigError thrown).
std::string ReadConfigText(const std::string &text, const std::string &path,
                           const std::function<void(const toml::table &)> &read);

// The file's text, or false.
bool ReadFileText(const std::string &path, std::string &text);

// A program's configuration as a Result {ok, config, error}, config with a
// `file`: `read(table, config)` reads the parsed text and checks it.
template <typename Result, typename Read>
Result ParseConfigAs(const std::string &text, const std::string &path, Read read)
{
    Result result;
    result.config.file = path;
    result.error = ReadConfigText(text, path, [&](const toml::table &table) { read(table, result.config); });
    result.ok = result.error.empty();
    return result;
}

// The file at `path` through `parse(text)`, or a Result that says it
// cannot be read.
template <typename Result, typename Parse>
Result LoadConfigAs(const std::string &path, Parse parse)
{
    std::string text;
    if (!ReadFileText(path, text)) {
        Result result;
        result.error = path + ": cannot read the configuration file";
        return result;
    }
    return parse(text);
}

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_CONFIG_KEYS_H
