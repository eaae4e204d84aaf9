// gpioctl ports and scan: the ports discovery tries, and the one where the
// controller answers.
#ifndef GPIOCTL_DISCOVERY_H
#define GPIOCTL_DISCOVERY_H

#include <string>

namespace gpioctl {

// `gpioctl ports`: one name a line, or a JSON object. Returns 0.
int ListPorts(bool json);

// Scan, for the scan command or for a command given without --port.
// Returns -1 with the port found in `port`, else the exit status after the
// report. `simulatedPort` is the port of --simulate, "" without it.
int Scan(const std::string &command, bool json, const std::string &simulatedPort, std::string &port);

}  // namespace gpioctl

#endif  // GPIOCTL_DISCOVERY_H
