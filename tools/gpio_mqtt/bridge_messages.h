// What gpio-mqtt publishes, as topics and payloads:
//   <base>/availability         "online" / "offline" (retained; also the Will)
//   <base>/version              the controller's version text (retained)
//   <base>/port/N               {"value":165,"hex":"0xA5","bits":"10100101"} (retained)
//   <base>/port/N/bit/B         "ON" / "OFF" (retained)
//   <base>/error                a refused or failed command (not retained)
//   reply to a request          {"result":0,"name":"GPIO_RESULT_OK","value":165}
// and the Home Assistant MQTT discovery entities: a switch per bit of an
// output or both-way port, a binary_sensor per bit of an input port.
// Text from the controller or from a command is made safe (SafeText)
// before it goes into a payload.
#ifndef GPIO_MQTT_BRIDGE_MESSAGES_H
#define GPIO_MQTT_BRIDGE_MESSAGES_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "bridge_config.h"
#include "command_payload.h"

namespace gpio_mqtt {

std::string PortTopic(const Config &config, int port);
std::string BitTopic(const Config &config, int port, int bit);
std::string AvailabilityTopic(const Config &config);
std::string RequestTopic(const Config &config);

// What a reader needs to show the controller as the plant names it, on
// <base>/signals (retained): {"name":"Boiler room","signals":[{"name":
// "Pump 1","slug":"pump-1","port":0,"bit":0,"inverted":true,"pulse_ms":0,
// "output":true,"device_class":""},...]}; "name" is "" when none is set.
std::string SignalsPayload(const Config &config);

// {"value":165,"hex":"0xA5","bits":"10100101"}, bits from 7 down to 0.
std::string PortStatePayload(std::uint8_t value);
// "ON" or "OFF".
const char *BitPayload(std::uint8_t value, int bit);

// A request's reply: the result code with its name, and what the operation
// read (value, level, version) when it succeeded.
struct Outcome {
    int result = 0;
    std::optional<std::uint8_t> value;  // input, output (the value written)
    std::string version;                // version
};
std::string ReplyPayload(const Command &command, const Outcome &outcome);
// The reply to a request that was refused before the controller saw it.
std::string RefusalReplyPayload(const std::string &reason);

// {"topic":...,"payload":...,"reason":...} and, when the controller gave
// one, "result" and "name". The payload is cut to 256 bytes and made safe.
std::string ErrorPayload(const std::string &topic, const std::string &payload, const std::string &reason,
                         std::optional<int> result);

// The discovery node of this controller: "gpiolink_" and its id with every
// character outside [A-Za-z0-9_-] made '_'.
std::string DiscoveryNode(const Config &config);
// The topic filter under which this controller's entities lie.
std::string DiscoveryFilter(const Config &config);
// Every entity of the configuration: topic -> retained config payload.
std::map<std::string, std::string> DiscoveryEntities(const Config &config, const std::string &version);

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_MESSAGES_H
