#include "reply_schedule.h"

#include <algorithm>
#include <utility>

namespace gpio_sim {

ReplySchedule::ReplySchedule(unsigned replyDelayMs) : replyDelayMs_(replyDelayMs), busyUntil_(Clock::now()) {}

void ReplySchedule::Add(std::size_t request, ShapedReply reply)
{
    const Clock::time_point received = Clock::now();
    Clock::time_point due = std::max(received, busyUntil_) + std::chrono::milliseconds(replyDelayMs_ + reply.delayMs);
    for (ReplyPiece &piece : reply.pieces) {
        busyUntil_ = due;
        outgoing_.push_back({std::move(piece.bytes), due, received, request, std::move(piece.note)});
        due += std::chrono::milliseconds(reply.gapMs);
    }
}

int ReplySchedule::WaitMs(int idleMs) const
{
    if (outgoing_.empty()) {
        return idleMs;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(outgoing_.front().due - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, idleMs));
}

bool ReplySchedule::TakeDue(Chunk &chunk)
{
    if (outgoing_.empty() || outgoing_.front().due > Clock::now()) {
        return false;
    }
    chunk = std::move(outgoing_.front());
    outgoing_.pop_front();
    return true;
}

}  // namespace gpio_sim
