// The natural order of port names, the order discovery walks them in:
// "ttyS2" before "ttyS10". Free of any system header, so that gpioctl
// lists the ports discovery would try in the very same order.
#ifndef GPIOLINK_LINK_PORT_NAME_ORDER_H
#define GPIOLINK_LINK_PORT_NAME_ORDER_H

namespace gpiolink {

// Negative, zero or positive like strcmp; runs of digits compare as whole
// numbers, leading zeros aside.
int ComparePortNames(const char *left, const char *right);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_PORT_NAME_ORDER_H
