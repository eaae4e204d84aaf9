// Bounded string copies into fixed buffers.
#ifndef GPIOLINK_LINK_BOUNDED_STRING_H
#define GPIOLINK_LINK_BOUNDED_STRING_H

#include <cstddef>

namespace gpiolink {

// The length of text, or `limit` when no terminator lies among its first
// `limit` bytes. Never reads past text[limit - 1].
std::size_t BoundedLength(const char *text, std::size_t limit);

// Writes prefix followed by text, zero-terminated, into destination of
// destinationSize bytes. Returns false, leaving destination untouched, when
// the result (terminator included) does not fit.
bool JoinBounded(char *destination, std::size_t destinationSize, const char *prefix, const char *text);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_BOUNDED_STRING_H
