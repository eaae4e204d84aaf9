// Why an open of a port fails: the describeOpenFailure entry of the
// services table, one file per platform (open_failure_posix.cpp,
// open_failure_win32.cpp), beside the open it explains.
#ifndef GPIOLINK_LINK_OPEN_FAILURE_H
#define GPIOLINK_LINK_OPEN_FAILURE_H

#include <cstddef>

namespace gpiolink {

int DescribeOpenFailure(const char *portName, char *text, std::size_t size);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_OPEN_FAILURE_H
