// gpio-mqtt's log, on stderr for the journal: "gpio-mqtt: what happened",
// or with --json one object per line,
//   {"level":"info","event":"broker-connected","message":"..."}
// Text from outside (payloads, topics, the controller) is escaped as in
// every tool. Written from several threads, a line at a time.
#ifndef GPIO_MQTT_BRIDGE_LOG_H
#define GPIO_MQTT_BRIDGE_LOG_H

#include <mutex>
#include <string>

namespace gpio_mqtt {

class Log {
public:
    explicit Log(bool json) : json_(json) {}

    void Info(const std::string &event, const std::string &message) { Write("info", event, message); }
    void Warning(const std::string &event, const std::string &message) { Write("warning", event, message); }
    void Error(const std::string &event, const std::string &message) { Write("error", event, message); }

private:
    void Write(const char *level, const std::string &event, const std::string &message);

    bool json_;
    std::mutex mutex_;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_LOG_H
