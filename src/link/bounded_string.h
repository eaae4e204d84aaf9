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

// A line of text written into a caller's buffer and cut to its size: what
// does not fit is dropped, and the terminator always lies inside. A null
// buffer or a size of 0 takes nothing and is never written.
class BoundedText {
public:
    BoundedText(char *buffer, std::size_t size);
    BoundedText &Add(const char *text);
    BoundedText &AddNumber(unsigned long long number);
    // Four octal digits, as a file's mode is written (0660).
    BoundedText &AddMode(unsigned mode);

private:
    char *buffer_;
    std::size_t size_;
    std::size_t length_ = 0;
};

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_BOUNDED_STRING_H
