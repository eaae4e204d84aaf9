// Where the bridge's messages go: the broker (MqttLink), or a test's record.
#ifndef GPIO_MQTT_PUBLISHER_H
#define GPIO_MQTT_PUBLISHER_H

#include <string>

namespace gpio_mqtt {

class Publisher {
public:
    virtual ~Publisher() = default;
    // Retained state, or a message such as an error (QoS 1).
    virtual void Publish(const std::string &topic, const std::string &payload, bool retain) = 0;
    // A request's reply, with the request's Correlation Data.
    virtual void Reply(const std::string &topic, const std::string &correlation, const std::string &payload) = 0;
    // The availability, retained: "online" with a Message Expiry of the
    // configured lifetime (renewed by calling this again), or "offline".
    virtual void PublishAvailability(bool online) = 0;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_PUBLISHER_H
