// When each piece of output goes out. Replies go out in order, as from a
// device that answers one request at a time: a reply delayed by N ms holds
// back the replies to requests that arrive in the meantime.
#ifndef GPIO_SIM_REPLY_SCHEDULE_H
#define GPIO_SIM_REPLY_SCHEDULE_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>

#include "behaviour.h"

namespace gpio_sim {

class ReplySchedule {
public:
    using Clock = std::chrono::steady_clock;

    // A piece of output, due at a fixed time, in answer to one request.
    struct Chunk {
        Bytes bytes;
        Clock::time_point due;
        Clock::time_point received;  // when its request was queued
        std::size_t request = 0;
        std::string note;
    };

    // `replyDelayMs` comes before every reply.
    explicit ReplySchedule(unsigned replyDelayMs);

    // Queues the pieces of the reply to frame number `request`: the first
    // after replyDelayMs plus the reply's own delay, counted from now or
    // from the end of the output still waiting, whichever is later; the
    // others the reply's gap apart.
    void Add(std::size_t request, ShapedReply reply);

    // How long to wait for the next piece, at most `idleMs`.
    int WaitMs(int idleMs) const;

    // Takes the next piece if it is due.
    bool TakeDue(Chunk &chunk);

private:
    unsigned replyDelayMs_;
    std::deque<Chunk> outgoing_;
    Clock::time_point busyUntil_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_REPLY_SCHEDULE_H
