// The line gpio-sim serves without --serial: a pseudo-terminal of its own,
// which Windows does not have.
#ifndef GPIO_SIM_OWN_PTY_H
#define GPIO_SIM_OWN_PTY_H

#include <memory>
#include <string>

#include "sim_line.h"

namespace gpio_sim {

// False on Windows: there gpio-sim serves only on a serial port.
extern const bool kHasPseudoTerminals;

// Who may open the terminal besides its owner: a group and a mode, as a
// serial port has them (dialout, 0660), so that a service running as
// another user can reach the simulated controller as it would a real one.
struct TerminalAccess {
    std::string group;  // "": left as the system made it
    int mode = -1;      // -1: left as the system made it
};

// Opens a new pseudo-terminal, gives it `access`, makes the symbolic link
// `link` to it when given (removed when the line is closed) and announces
// it on stdout ("port:", "path:", "link:" lines, or one JSON object). Null
// after saying why on stderr.
std::unique_ptr<SimLine> OpenOwnPty(const std::string &link, bool json, const TerminalAccess &access);

}  // namespace gpio_sim

#endif  // GPIO_SIM_OWN_PTY_H
