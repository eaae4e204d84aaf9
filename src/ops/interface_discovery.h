// Interface discovery: the probe of one port.
#ifndef GPIOLINK_OPS_INTERFACE_DISCOVERY_H
#define GPIOLINK_OPS_INTERFACE_DISCOVERY_H

namespace gpiolink {

// Opens the port at `path` (a full probe path), asks for its version and
// returns 1 when the reply identifies the controller, else 0. The port is
// closed again before returning.
int ProbePort(const char *path);

}  // namespace gpiolink

#endif  // GPIOLINK_OPS_INTERFACE_DISCOVERY_H
