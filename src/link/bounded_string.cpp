#include "link/bounded_string.h"

#include <cstring>

namespace gpiolink {

std::size_t BoundedLength(const char *text, std::size_t limit)
{
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

bool JoinBounded(char *destination, std::size_t destinationSize, const char *prefix, const char *text)
{
    const std::size_t prefixLength = BoundedLength(prefix, destinationSize);
    if (prefixLength >= destinationSize) {
        return false;
    }
    const std::size_t room = destinationSize - prefixLength;  // includes the terminator
    const std::size_t textLength = BoundedLength(text, room);
    if (textLength >= room) {
        return false;
    }
    std::memcpy(destination, prefix, prefixLength);
    std::memcpy(destination + prefixLength, text, textLength);
    destination[prefixLength + textLength] = '\0';
    return true;
}

}  // namespace gpiolink
