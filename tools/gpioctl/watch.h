// gpioctl watch: a live view of the controller's ports. On a terminal, a
// screen redrawn as the polls go, with keys to toggle output bits;
// otherwise one line (or JSON object) per change.
#ifndef GPIOCTL_WATCH_H
#define GPIOCTL_WATCH_H

#include <cstdint>
#include <string>
#include <vector>

#include "gpiolink.h"

namespace gpioctl {

struct WatchOptions {
    std::string portName;              // shown on the screen
    std::vector<std::uint8_t> ports;   // the port numbers to poll
    bool json = false;                 // JSON lines even on a terminal
    unsigned long count = 0;           // lines to print before it ends; 0: no end
};

// Polls `handle` until q, SIGINT or SIGTERM, or until `count` lines (which
// takes the lines even on a terminal); returns the exit status.
int Watch(HANDLE handle, const WatchOptions &options);

// The screen on a terminal (POSIX): -1 when standard input and output are
// not both terminals, else the exit status.
int WatchOnTerminal(HANDLE handle, const WatchOptions &options, const std::string &version);

}  // namespace gpioctl

#endif  // GPIOCTL_WATCH_H
