// The last value of each output port that the controller confirmed, kept
// across restarts of the bridge for the start rule "restore". The file is
// the bridge's own, JSON such as {"0":51,"2":0}, and is replaced whole: the
// new state is written to a file beside it and renamed over it, so that a
// bridge killed while saving leaves the old state or the new one, never a
// mix.
#ifndef GPIO_MQTT_OUTPUT_STATE_H
#define GPIO_MQTT_OUTPUT_STATE_H

#include <cstdint>
#include <map>
#include <string>

#include "event_log.h"

namespace gpio_mqtt {

using OutputValues = std::map<int, std::uint8_t>;

class OutputStateStore {
public:
    virtual ~OutputStateStore() = default;
    // What was saved; nothing when nothing was, or it cannot be read.
    virtual OutputValues Load() = 0;
    virtual void Save(const OutputValues &values) = 0;
};

class OutputStateFile final : public OutputStateStore {
public:
    OutputStateFile(std::string path, gpio_controller::Log &log) : path_(std::move(path)), log_(log) {}
    OutputValues Load() override;
    void Save(const OutputValues &values) override;

private:
    std::string path_;
    gpio_controller::Log &log_;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_OUTPUT_STATE_H
