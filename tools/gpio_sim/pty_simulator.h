// The simulated controller on the far side of a new pseudo-terminal
// (POSIX only): the host opens the slave side as its serial port.
#ifndef GPIO_SIM_PTY_SIMULATOR_H
#define GPIO_SIM_PTY_SIMULATOR_H

#include <memory>
#include <string>
#include <utility>

#include "pty_line.h"
#include "simulator.h"

namespace gpio_sim {

using gpio_tools::PtyPort;

class PtySimulator : public Simulator {
public:
    // Opens the pseudo-terminal, sets its slave side raw and starts
    // serving. Throws std::invalid_argument for options CheckSimOptions
    // refuses, and std::runtime_error when the system refuses a pty.
    explicit PtySimulator(SimOptions options = {})
        : Simulator(std::move(options), std::make_unique<PtyLine>()), pty_(static_cast<PtyLine *>(&Line()))
    {
    }

    // The port name relative to /dev/ ("pts/5") and the full slave path.
    std::string PortName() const { return pty_->PortName(); }
    std::string SlavePath() const { return pty_->SlavePath(); }

    // Unplugs the controller: stops serving and closes the pty, so the host
    // sees a hung-up line. Pending replies are dropped.
    void HangUp()
    {
        Stop();
        pty_->Close();
    }

private:
    PtyLine *pty_;  // owned by the Simulator
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_PTY_SIMULATOR_H
