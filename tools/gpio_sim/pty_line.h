// A new pseudo-terminal as the simulator's line (POSIX only): the host
// opens its slave side as the serial port, the simulator reads and writes
// the master side (pty_port.h).
#ifndef GPIO_SIM_PTY_LINE_H
#define GPIO_SIM_PTY_LINE_H

#include <string>

#include "pty_port.h"
#include "sim_line.h"

namespace gpio_sim {

class PtyLine : public SimLine {
public:
    // Opens the pseudo-terminal with its slave side raw. Throws
    // std::runtime_error when the system refuses.
    PtyLine();
    ~PtyLine() override;

    std::size_t Read(std::uint8_t *buffer, std::size_t size, int waitMs) override;
    void Write(const gpio_tools::Bytes &bytes, bool pace) override { pty_.Write(bytes, pace); }
    void Wake() override;

    // The port name relative to /dev/ ("pts/5") and the full slave path.
    std::string PortName() const { return pty_.PortName(); }
    std::string SlavePath() const { return pty_.SlavePath(); }

    // Closes both sides: the host sees a hung-up line.
    void Close() { pty_.Close(); }

private:
    gpio_tools::PtyPort pty_;
    int wake_[2] = {-1, -1};  // a byte in this pipe ends a Read at once
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_PTY_LINE_H
