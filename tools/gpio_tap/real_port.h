// The serial port of the real controller, opened by the library's own
// services, so that gpio-tap refuses what an application would be refused
// and holds the port as it would be held: a device that is a terminal but
// no line to a controller (the master side of a pseudo-terminal, the
// terminal of this session) is refused; the port is taken exclusively
// (flock and TIOCEXCL), set to 38400 baud 8N1 raw with DTR raised and RTS
// low, and asked for low latency. Its settings are put back when it is
// closed, and when a signal ends the process.
#ifndef GPIO_TAP_REAL_PORT_H
#define GPIO_TAP_REAL_PORT_H

#include <optional>
#include <string>

#include "link/serial_services.h"
#include "terminal_restore.h"

namespace gpio_tap {

class RealPort {
public:
    RealPort() = default;
    // Closes the port (Close).
    ~RealPort();
    RealPort(const RealPort &) = delete;
    RealPort &operator=(const RealPort &) = delete;

    // Opens the port `name` (a name or a path, as LibraryPortPath reads it). False
    // with `error` saying why, in gpioctl's words, when it is refused.
    bool Open(const std::string &name, std::string &error);

    // The open port's descriptor, non-blocking, for poll, read and write;
    // -1 when it is not open.
    int Descriptor() const;

    // Puts the port's settings back and closes it.
    void Close();

private:
    gpiolink::PortHandle port_ = gpiolink::InvalidPort();
    std::optional<gpio_tools::RestoreOnFatalSignal> restore_;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_REAL_PORT_H
