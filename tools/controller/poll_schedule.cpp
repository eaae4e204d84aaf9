#include "poll_schedule.h"

#include <algorithm>

namespace gpio_controller {
namespace {

// The entry due first, of a const or a changeable list.
template <typename Entries>
auto Earliest(Entries &entries)
{
    return std::min_element(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.due < b.due; });
}

}  // namespace

void PollSchedule::Reset(const std::vector<PortPlan> &ports, Clock::time_point now)
{
    entries_.clear();
    const auto polled = static_cast<Clock::rep>(
        std::count_if(ports.begin(), ports.end(), [](const PortPlan &port) { return port.polled; }));
    Clock::rep index = 0;
    for (const PortPlan &port : ports) {
        if (port.polled) {
            const Clock::duration interval = port.pollInterval;
            entries_.push_back({port.number, interval, now + interval * (++index) / polled});
        }
    }
}

std::optional<Clock::time_point> PollSchedule::NextDue() const
{
    const auto earliest = Earliest(entries_);
    if (earliest == entries_.end()) {
        return std::nullopt;
    }
    return earliest->due;
}

std::optional<int> PollSchedule::TakeDue(Clock::time_point now)
{
    const auto earliest = Earliest(entries_);
    if (earliest == entries_.end() || earliest->due > now) {
        return std::nullopt;
    }
    earliest->due += earliest->interval;
    if (earliest->due <= now) {
        earliest->due = now + earliest->interval;
    }
    return earliest->port;
}

}  // namespace gpio_controller
