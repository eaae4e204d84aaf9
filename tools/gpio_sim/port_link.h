// The --link option of gpio-sim and gpio-tap: a symbolic link to the pty,
// so that a program can be given a fixed name (a Wine COM port, say).
#ifndef GPIO_SIM_PORT_LINK_H
#define GPIO_SIM_PORT_LINK_H

#include <string>

namespace gpio_sim {

// Creates `link` -> `target`, replacing an existing symbolic link but never
// any other kind of file. On failure, says why on stderr after `program`.
bool MakeLink(const char *program, const std::string &link, const std::string &target);

// Removes `link` if it still points at `target`.
void RemoveLink(const std::string &link, const std::string &target);

}  // namespace gpio_sim

#endif  // GPIO_SIM_PORT_LINK_H
