#include "link/bounded_string.h"

#include <charconv>
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

BoundedText::BoundedText(char *buffer, std::size_t size) : buffer_(size > 0 ? buffer : nullptr), size_(size)
{
    if (buffer_ != nullptr) {
        buffer_[0] = '\0';
    }
}

BoundedText &BoundedText::Add(const char *text)
{
    if (buffer_ == nullptr) {
        return *this;
    }
    const std::size_t room = size_ - 1 - length_;
    const std::size_t length = BoundedLength(text, room);
    std::memcpy(buffer_ + length_, text, length);
    length_ += length;
    buffer_[length_] = '\0';
    return *this;
}

BoundedText &BoundedText::AddNumber(unsigned long long number)
{
    char digits[24];
    *std::to_chars(digits, digits + sizeof(digits) - 1, number).ptr = '\0';
    return Add(digits);
}

BoundedText &BoundedText::AddMode(unsigned mode)
{
    const char digits[] = {static_cast<char>('0' + (mode >> 9 & 7U)), static_cast<char>('0' + (mode >> 6 & 7U)),
                           static_cast<char>('0' + (mode >> 3 & 7U)), static_cast<char>('0' + (mode & 7U)), '\0'};
    return Add(digits);
}

}  // namespace gpiolink
