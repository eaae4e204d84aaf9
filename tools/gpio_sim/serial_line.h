// An existing serial port as the simulator's line, on every platform: one
// end of a null-modem cable, so that a host on the far end sees a
// controller (hardware in the loop), or one end of a virtual pair (two
// linked pseudo-terminals, or a Windows null-modem driver's two COM ports)
// whose other end a program under test opens.
//
// The port is opened by the library's own services (library_port.h), as
// an application's GPIO_OpenInterface opens it: exclusively, and only a
// serial line. It is set to 38400 baud 8N1 raw, and whatever waited in its
// receive queue is dropped: bytes sent before the simulator was there are
// no requests to it.
#ifndef GPIO_SIM_SERIAL_LINE_H
#define GPIO_SIM_SERIAL_LINE_H

#include <memory>
#include <string>

#include "link/serial_services.h"
#include "sim_line.h"

namespace gpio_sim {

class SerialLine : public SimLine {
public:
    // Opens the port `name` ("ttyS0", "/dev/ttyUSB0", "COM6"); null with
    // `error` saying why, in gpioctl's words, when it is refused.
    static std::unique_ptr<SerialLine> Open(const std::string &name, std::string &error);
    ~SerialLine() override;

    std::size_t Read(std::uint8_t *buffer, std::size_t size, int waitMs) override;
    void Write(const gpio_tools::Bytes &bytes, bool pace) override;

private:
    explicit SerialLine(gpiolink::PortHandle port) : port_(port) {}

    gpiolink::PortHandle port_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_SERIAL_LINE_H
