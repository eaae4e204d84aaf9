// A program's log, on stderr for the journal: "PROGRAM: what happened"
// (with "warning: " or "error: " before what is not plain information), or
// with --json one object per line,
//   {"level":"info","event":"broker-connected","message":"..."}
// Text from outside (payloads, topics, the controller) is escaped as in
// every tool. Written from several threads, a line at a time.
#ifndef GPIO_CONTROLLER_EVENT_LOG_H
#define GPIO_CONTROLLER_EVENT_LOG_H

#include <mutex>
#include <string>
#include <utility>

namespace gpio_controller {

class Log {
public:
    // `program` begins each line of text: "gpio-mqtt", "gpio-modbus".
    Log(std::string program, bool json) : program_(std::move(program)), json_(json) {}

    void Info(const std::string &event, const std::string &message) { Write("info", event, message); }
    void Warning(const std::string &event, const std::string &message) { Write("warning", event, message); }
    void Error(const std::string &event, const std::string &message) { Write("error", event, message); }

private:
    void Write(const char *level, const std::string &event, const std::string &message);

    std::string program_;
    bool json_;
    std::mutex mutex_;
};

}  // namespace gpio_controller

#endif  // GPIO_CONTROLLER_EVENT_LOG_H
