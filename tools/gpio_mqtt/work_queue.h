// The work of the one thread that calls the library, in arrival order:
// commands from the broker, a (re)connect to the broker, a discovery entity
// seen on the broker, a reload. The MQTT client's thread and the signal
// thread only push; the bridge's thread pops, and between items polls the
// input ports when a poll is due, so that a command waits at most for the
// exchange in progress.
#ifndef GPIO_MQTT_WORK_QUEUE_H
#define GPIO_MQTT_WORK_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace gpio_mqtt {

using Clock = std::chrono::steady_clock;

// A message from the broker, with what MQTT 5 says about its reply and
// its life.
struct Message {
    std::string topic;
    std::string payload;
    std::string responseTopic;  // empty: no reply wanted
    std::string correlation;    // the requester's Correlation Data, returned as it came
    Clock::time_point arrival;
    std::optional<Clock::time_point> expiry;  // from its Message Expiry Interval
    bool retained = false;                    // its retain flag, as published
};

struct WorkItem {
    enum class Kind {
        kMessage,        // a command
        kConnected,      // the broker took the connection: republish everything
        kDiscoverySeen,  // a retained discovery entity of this node (message.topic, .payload)
        kReload,         // SIGHUP: read the configuration again
    };
    Kind kind = Kind::kMessage;
    Message message;
};

class WorkQueue {
public:
    // Beyond this many waiting messages (commands and discovery entities)
    // a push is refused, and the pusher answers the command itself: a
    // flood cannot grow memory without end. Each message's payload is
    // bounded before it is queued, so the memory is bounded too. A connect
    // or a reload is never refused; a reload already waiting takes a
    // second one in.
    static constexpr std::size_t kCapacity = 1000;

    // False when a message finds the queue full, or the queue stopped.
    bool Push(WorkItem item);
    // The next item, or nothing once `deadline` passes or the queue stops.
    std::optional<WorkItem> PopUntil(Clock::time_point deadline);
    // Wakes the bridge's thread for good; later pushes are refused.
    void Stop();
    bool Stopped() const;
    // What is left, to be answered at the stop.
    std::deque<WorkItem> TakeAll();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<WorkItem> items_;
    std::size_t messages_ = 0;  // the items of items_ that count against kCapacity
    bool stopped_ = false;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_WORK_QUEUE_H
