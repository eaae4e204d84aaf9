// The parts of gpioctl's --help that are made rather than written out.
#ifndef GPIOCTL_HELP_TEXT_H
#define GPIOCTL_HELP_TEXT_H

#include <cstddef>
#include <string>

namespace gpioctl {

// `text` in lines of at most 78 characters, each after `indent` spaces,
// broken at spaces; a word longer than a line stands on a line of its own.
std::string Wrapped(const std::string &text, std::size_t indent);

// The exit statuses: the library's result codes with their names and
// texts, and gpioctl's own (1, 64, 130).
std::string ExitStatusText();

}  // namespace gpioctl

#endif  // GPIOCTL_HELP_TEXT_H
