#include "config_keys.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>

#include "names_list.h"

namespace gpio_tools {

std::size_t LineOf(const toml::node &node)
{
    return node.source().begin.line == 0 ? 1 : node.source().begin.line;
}

void ReadTable(const toml::table &table, const KeyReaders &readers, const std::string &where)
{
    for (const auto &[key, node] : table) {
        const auto reader = readers.find(std::string(key.str()));
        if (reader == readers.end()) {
            const std::string known = NamesList(readers, [](const auto &entry) { return entry.first; });
            std::string reason = "unknown key '";
            reason.append(key.str()).append("'").append(where).append("; one of ").append(known);
            throw ConfigError{LineOf(node), reason};
        }
        reader->second(node);
    }
}

std::string String(const toml::node &node, const std::string &key)
{
    if (!node.is_string()) {
        throw ConfigError{LineOf(node), key + " wants a string"};
    }
    return *node.value<std::string>();
}

bool Boolean(const toml::node &node, const std::string &key)
{
    if (!node.is_boolean()) {
        throw ConfigError{LineOf(node), key + " wants true or false"};
    }
    return *node.value<bool>();
}

std::int64_t Integer(const toml::node &node, const std::string &key, std::int64_t min, std::int64_t max)
{
    if (!node.is_integer() || *node.value<std::int64_t>() < min || *node.value<std::int64_t>() > max) {
        throw ConfigError{LineOf(node), key + " wants a whole number from " + std::to_string(min) + " to " +
                                            std::to_string(max)};
    }
    return *node.value<std::int64_t>();
}

std::string Name(const toml::node &node, const std::string &key)
{
    std::string name = String(node, key);
    if (name.empty() || name.size() > 64 ||
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        throw ConfigError{LineOf(node), key + " wants 1 to 64 characters, no control character"};
    }
    return name;
}

std::chrono::milliseconds CheckInterval(const toml::node &node)
{
    const std::chrono::milliseconds interval(Integer(node, "check_interval_ms", 0, 3600000));
    if (interval.count() != 0 && interval.count() < 100) {
        throw ConfigError{LineOf(node), "check_interval_ms wants 0 (no check) or 100 to 3600000"};
    }
    return interval;
}

const char *DirectionName(Direction direction)
{
    switch (direction) {
    case Direction::kInput:
        return "input";
    case Direction::kOutput:
        return "output";
    case Direction::kBoth:
        return "both";
    }
    return "input";
}

namespace {

Direction ReadDirection(const toml::node &node)
{
    const std::string text = String(node, "direction");
    constexpr std::array<Direction, 3> kDirections{Direction::kInput, Direction::kOutput, Direction::kBoth};
    const auto found = std::find_if(kDirections.begin(), kDirections.end(),
                                    [&text](Direction direction) { return text == DirectionName(direction); });
    if (found != kDirections.end()) {
        return *found;
    }
    throw ConfigError{LineOf(node), "direction wants \"input\", \"output\" or \"both\""};
}

}  // namespace

void ReadPortEntry(const toml::node &entry, const std::set<int> &taken, const KeyReaders &more, PortEntry &port)
{
    const toml::table *table = entry.as_table();
    if (table == nullptr) {
        throw ConfigError{LineOf(entry), "port wants a table: [[port]] with number, direction, name"};
    }
    bool numbered = false;
    bool directed = false;
    std::size_t pollLine = 0;
    KeyReaders readers = more;
    readers["number"] = [&](const toml::node &node) {
        port.number = static_cast<int>(Integer(node, "number", 0, 255));
        numbered = true;
        if (taken.count(port.number) != 0) {
            throw ConfigError{LineOf(node), "port " + std::to_string(port.number) + " is given twice"};
        }
    };
    readers["direction"] = [&](const toml::node &node) {
        port.direction = ReadDirection(node);
        directed = true;
    };
    readers["name"] = [&](const toml::node &node) { port.name = Name(node, "name"); };
    readers["poll_interval_ms"] = [&](const toml::node &node) {
        port.pollInterval = std::chrono::milliseconds(Integer(node, "poll_interval_ms", 10, 60000));
        pollLine = LineOf(node);
    };
    ReadTable(*table, readers, " in [[port]]");
    if (!numbered || !directed) {
        throw ConfigError{LineOf(entry), std::string("[[port]] needs ") + (numbered ? "direction" : "number")};
    }
    if (pollLine != 0 && !port.Polled()) {
        throw ConfigError{pollLine, "poll_interval_ms is for input and both-way ports: output ports are not polled"};
    }
    if (port.name.empty()) {
        port.name = "Port " + std::to_string(port.number);
    }
}

std::string SerialPort(const toml::node &node)
{
    std::string name = String(node, "serial_port");
    if (name.empty()) {
        throw ConfigError{LineOf(node), "serial_port is empty"};
    }
    return name;
}

void ReadPortTables(const toml::node &node,
                    const std::function<int(const toml::node &entry, const std::set<int> &taken)> &readOne)
{
    const toml::array *entries = node.as_array();
    if (entries == nullptr) {
        throw ConfigError{LineOf(node), "port wants tables: [[port]] with number, direction, name"};
    }
    std::set<int> taken;
    for (const toml::node &entry : *entries) {
        taken.insert(readOne(entry, taken));
    }
}

void CheckSerialPortAndPorts(std::string &serialPort, const std::string &commandLine, bool noPorts,
                             const std::string &purpose)
{
    if (!commandLine.empty()) {
        serialPort = commandLine;
    }
    if (serialPort.empty()) {
        throw ConfigError{1, "no serial_port given (serial_port = \"ttyUSB0\", or --port)"};
    }
    if (noPorts) {
        throw ConfigError{1, "no port given: add a [[port]] table for each port " + purpose};
    }
}

std::string ReadConfigText(const std::string &text, const std::string &path,
                           const std::function<void(const toml::table &)> &read)
{
    try {
        read(toml::parse(text, path));
        return {};
    } catch (const toml::parse_error &error) {
        return path + ":" + std::to_string(error.source().begin.line) + ": " + std::string(error.description());
    } catch (const ConfigError &error) {
        return path + ":" + std::to_string(error.line) + ": " + error.reason;
    }
}

bool ReadFileText(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

}  // namespace gpio_tools
