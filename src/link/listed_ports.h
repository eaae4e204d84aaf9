// The ports the services list, as text for a message: the ports that
// discovery tries, or that the system knows of, after a failed open.
#ifndef GPIOLINK_LINK_LISTED_PORTS_H
#define GPIOLINK_LINK_LISTED_PORTS_H

#include <cstddef>

#include "link/bounded_string.h"

namespace gpiolink {

// Adds `intro` and the names of the services' port list shorter than
// `nameSize`, in the list's order and split by spaces; `none` when there
// is no such name.
void AddListedPorts(BoundedText &text, const char *intro, const char *none, std::size_t nameSize);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_LISTED_PORTS_H
