#include "bridge_messages.h"

#include <algorithm>
#include <iterator>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "gpiolink.h"
#include "text_output.h"

namespace gpio_mqtt {

using json = nlohmann::ordered_json;

std::string PortTopic(const Config &config, int port) { return config.Base() + "/port/" + std::to_string(port); }

std::string BitTopic(const Config &config, int port, int bit)
{
    return PortTopic(config, port) + "/bit/" + std::to_string(bit);
}

std::string AvailabilityTopic(const Config &config) { return config.Base() + "/availability"; }

std::string RequestTopic(const Config &config) { return config.Base() + "/request"; }

std::string PortStatePayload(std::uint8_t value)
{
    char hex[8];
    std::snprintf(hex, sizeof(hex), "0x%02X", value);
    std::string bits;
    for (int bit = 7; bit >= 0; --bit) {
        bits += ((value >> bit) & 1U) != 0 ? '1' : '0';
    }
    return json{{"value", value}, {"hex", hex}, {"bits", bits}}.dump();
}

const char *BitPayload(std::uint8_t value, int bit) { return ((value >> bit) & 1U) != 0 ? "ON" : "OFF"; }

std::string ReplyPayload(const Command &command, const Outcome &outcome)
{
    json reply{{"result", outcome.result}, {"name", gpiolink_result_name(outcome.result)}};
    if (command.operation != Operation::kVersion) {
        reply["port"] = command.port;
    }
    if (command.operation == Operation::kBitTest || command.operation == Operation::kBitSet ||
        command.operation == Operation::kBitReset) {
        reply["bit"] = command.bit;
    }
    if (outcome.value) {
        reply["value"] = *outcome.value;
    }
    if (command.operation == Operation::kBitTest &&
        (outcome.result == GPIO_RESULT_BIT_HIGH || outcome.result == GPIO_RESULT_BIT_LOW)) {
        reply["level"] = outcome.result == GPIO_RESULT_BIT_HIGH ? "high" : "low";
    }
    if (command.operation == Operation::kVersion && outcome.result == GPIO_RESULT_OK) {
        reply["version"] = gpio_tools::SafeText(outcome.version);
    }
    return reply.dump();
}

std::string SignalsPayload(const Config &config)
{
    json signals = json::array();
    for (const PortConfig &port : config.ports) {
        std::transform(port.signals.begin(), port.signals.end(), std::back_inserter(signals),
                       [&port](const SignalConfig &signal) {
                           return json{{"name", gpio_tools::SafeText(signal.name)},
                                       {"slug", signal.slug},
                                       {"port", port.number},
                                       {"bit", signal.bit},
                                       {"inverted", signal.inverted},
                                       {"pulse_ms", signal.pulse.count()},
                                       {"output", port.Writable()},
                                       {"device_class", signal.deviceClass}};
                       });
    }
    return json{{"name", gpio_tools::SafeText(config.name)}, {"signals", signals}}.dump();
}

std::string RefusalReplyPayload(const std::string &reason) { return json{{"error", reason}}.dump(); }

std::string ErrorPayload(const std::string &topic, const std::string &payload, const std::string &reason,
                         std::optional<int> result)
{
    const std::size_t shown = 256;
    json error{{"topic", gpio_tools::SafeText(topic)},
               {"payload", gpio_tools::SafeText(payload.size() > shown ? payload.substr(0, shown) : payload)},
               {"reason", gpio_tools::SafeText(reason)}};
    if (payload.size() > shown) {
        error["payload_bytes"] = payload.size();
    }
    if (result) {
        error["result"] = *result;
        error["name"] = gpiolink_result_name(*result);
    }
    return error.dump();
}

std::string DiscoveryNode(const Config &config)
{
    std::string node = "gpiolink_" + config.id;
    for (char &c : node) {
        const bool fit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                         c == '-';
        if (!fit) {
            c = '_';
        }
    }
    return node;
}

std::string DiscoveryFilter(const Config &config)
{
    return config.discoveryPrefix + "/+/" + DiscoveryNode(config) + "/+/config";
}

std::map<std::string, std::string> DiscoveryEntities(const Config &config, const std::string &version)
{
    std::map<std::string, std::string> entities;
    if (!config.discovery) {
        return entities;
    }
    const std::string node = DiscoveryNode(config);
    // Every entity of the controller under one device, named as the plant
    // names the controller.
    json device{{"identifiers", json::array({node})},
                {"name", gpio_tools::SafeText(config.name.empty() ? "gpiolink " + config.id : config.name)},
                {"model", "digital I/O controller"}};
    if (!version.empty()) {
        device["sw_version"] = gpio_tools::SafeText(version);
    }
    const auto add = [&](const char *component, const std::string &object, json entity) {
        entity["unique_id"] = node + "_" + object;
        entity["object_id"] = node + "_" + object;
        entity["availability_topic"] = AvailabilityTopic(config);
        entity["payload_available"] = "online";
        entity["payload_not_available"] = "offline";
        entity["device"] = device;
        std::string topic = config.discoveryPrefix;
        topic.append("/").append(component).append("/").append(node).append("/").append(object).append("/config");
        entities[topic] = entity.dump();
    };
    for (const PortConfig &port : config.ports) {
        for (int bit = 0; bit < 8; ++bit) {
            const auto signal = std::find_if(port.signals.begin(), port.signals.end(),
                                             [bit](const SignalConfig &s) { return s.bit == bit; });
            if (signal != port.signals.end()) {
                // One entity a signal, in its place of the bit's: a button
                // for a pulse output, a switch for a level output, a
                // binary_sensor for an input.
                const std::string topic = config.Base() + "/signal/" + signal->slug;
                json entity{{"name", gpio_tools::SafeText(signal->name)}};
                if (!signal->deviceClass.empty()) {
                    entity["device_class"] = signal->deviceClass;
                }
                const char *component = "binary_sensor";
                if (port.Writable() && signal->pulse.count() > 0) {
                    component = "button";
                    entity["command_topic"] = topic + "/set";
                    entity["payload_press"] = "PULSE";
                } else {
                    entity["state_topic"] = topic;
                    entity["payload_on"] = "ON";
                    entity["payload_off"] = "OFF";
                    if (port.Writable()) {
                        component = "switch";
                        entity["command_topic"] = topic + "/set";
                    }
                }
                add(component, "signal-" + signal->slug, entity);
                continue;
            }
            std::string object = "p";
            object.append(std::to_string(port.number)).append("b").append(std::to_string(bit));
            json entity{{"name", port.name + " bit " + std::to_string(bit)},
                        {"state_topic", BitTopic(config, port.number, bit)},
                        {"payload_on", "ON"},
                        {"payload_off", "OFF"}};
            if (port.Writable()) {
                entity["command_topic"] = BitTopic(config, port.number, bit) + "/set";
            }
            add(port.Writable() ? "switch" : "binary_sensor", object, entity);
        }
    }
    return entities;
}

}  // namespace gpio_mqtt
