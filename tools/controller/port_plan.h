// One configured port of the controller, as the program that owns the
// controller plans it.
#ifndef GPIO_CONTROLLER_PORT_PLAN_H
#define GPIO_CONTROLLER_PORT_PLAN_H

#include <chrono>

namespace gpio_controller {

using Clock = std::chrono::steady_clock;

struct PortPlan {
    int number = 0;                      // 0..255
    bool writable = false;               // takes writes (output or both)
    bool polled = false;                 // read on its own interval (input or both)
    std::chrono::milliseconds pollInterval{100};
};

}  // namespace gpio_controller

#endif  // GPIO_CONTROLLER_PORT_PLAN_H
