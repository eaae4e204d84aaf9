#include "link/port_name_order.h"

#include <cstddef>
#include <cstring>

namespace gpiolink {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int ComparePortNames(const char *left, const char *right)
{
    while (*left != '\0' && *right != '\0') {
        if (IsDigit(*left) && IsDigit(*right)) {
            // Compare whole numbers: skip leading zeros, then the longer
            // run of digits is larger, then digit by digit.
            while (*left == '0') {
                ++left;
            }
            while (*right == '0') {
                ++right;
            }
            std::size_t leftDigits = 0;
            std::size_t rightDigits = 0;
            while (IsDigit(left[leftDigits])) {
                ++leftDigits;
            }
            while (IsDigit(right[rightDigits])) {
                ++rightDigits;
            }
            if (leftDigits != rightDigits) {
                return leftDigits < rightDigits ? -1 : 1;
            }
            const int digits = std::strncmp(left, right, leftDigits);
            if (digits != 0) {
                return digits;
            }
            left += leftDigits;
            right += rightDigits;
            continue;
        }
        if (*left != *right) {
            return static_cast<unsigned char>(*left) < static_cast<unsigned char>(*right) ? -1 : 1;
        }
        ++left;
        ++right;
    }
    return static_cast<int>(*left != '\0') - static_cast<int>(*right != '\0');
}

}  // namespace gpiolink
