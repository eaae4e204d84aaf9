// When each polled port is read next. The first polls of n ports are
// spread over their intervals (port i at i+1 n-ths of its interval), so
// that the exchanges interleave instead of coming in bursts; each port
// then keeps its own beat, and a beat missed while commands ran is not
// made up with a burst of polls.
#ifndef GPIO_CONTROLLER_POLL_SCHEDULE_H
#define GPIO_CONTROLLER_POLL_SCHEDULE_H

#include <optional>
#include <vector>

#include "port_plan.h"

namespace gpio_controller {

class PollSchedule {
public:
    // Starts over with the polled ports of `ports`.
    void Reset(const std::vector<PortPlan> &ports, Clock::time_point now);
    // When the next poll is due; nothing without polled ports.
    std::optional<Clock::time_point> NextDue() const;
    // The port most overdue at `now`, its next poll set a beat later; nothing
    // if none is due.
    std::optional<int> TakeDue(Clock::time_point now);

private:
    struct Entry {
        int port;
        Clock::duration interval;
        Clock::time_point due;
    };
    std::vector<Entry> entries_;
};

}  // namespace gpio_controller

#endif  // GPIO_CONTROLLER_POLL_SCHEDULE_H
