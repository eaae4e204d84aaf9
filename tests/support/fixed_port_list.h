// Replaces the system's port list with a fixed one, for discovery over
// simulated ports. The names live in static buffers, so reading the list
// allocates nothing. One at a time; the destructor reinstalls the services
// that were in force before.
#ifndef GPIOLINK_TESTS_FIXED_PORT_LIST_H
#define GPIOLINK_TESTS_FIXED_PORT_LIST_H

#include <string>
#include <vector>

#include "link/serial_services.h"

namespace gpiolink::testing {

class FixedPortList {
public:
    // Installs the list over the services in force now.
    explicit FixedPortList(const std::vector<std::string> &names = {});
    ~FixedPortList();
    FixedPortList(const FixedPortList &) = delete;
    FixedPortList &operator=(const FixedPortList &) = delete;

    // Replaces the names (at most 8, each shorter than 32 characters).
    void Set(const std::vector<std::string> &names);

private:
    SerialServices replaced_;
    bool replacedDefault_;
};

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_FIXED_PORT_LIST_H
