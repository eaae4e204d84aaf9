// The wire a simulator serves: the serving thread reads requests from it
// and writes replies to it. Two kinds: a new pseudo-terminal that a host
// opens as its port (pty_line.h, POSIX), and an existing serial port, one
// end of a null-modem cable or of a virtual pair, whose far end the host
// opens (serial_line.h, every platform).
#ifndef GPIO_SIM_SIM_LINE_H
#define GPIO_SIM_SIM_LINE_H

#include <cstddef>
#include <cstdint>

#include "wire_codec.h"

namespace gpio_sim {

class SimLine {
public:
    SimLine() = default;
    virtual ~SimLine() = default;
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    // Waits at most `waitMs` for bytes and reads those that have come, up
    // to `size`. 0 when none came, or when the line is hung up.
    virtual std::size_t Read(std::uint8_t *buffer, std::size_t size, int waitMs) = 0;

    // Writes all of `bytes`; with `pace`, a byte per byte time at 38400
    // baud. What the line does not take within a second is dropped, as on
    // a line that nobody listens to.
    virtual void Write(const gpio_tools::Bytes &bytes, bool pace) = 0;

    // Ends a Read in progress early, from another thread: the simulator is
    // stopping. A line whose Read ends on its own soon enough does nothing.
    virtual void Wake() {}
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_SIM_LINE_H
