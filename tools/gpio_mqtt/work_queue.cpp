#include "work_queue.h"

#include <algorithm>
#include <utility>

namespace gpio_mqtt {
namespace {

bool IsMessage(const WorkItem &item)
{
    return item.kind == WorkItem::Kind::kMessage || item.kind == WorkItem::Kind::kDiscoverySeen;
}

}  // namespace

bool WorkQueue::Push(WorkItem item)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            return false;
        }
        if (IsMessage(item)) {
            if (messages_ >= kCapacity) {
                return false;
            }
            ++messages_;
        } else if (item.kind == WorkItem::Kind::kReload &&
                   std::any_of(items_.begin(), items_.end(),
                               [](const WorkItem &waiting) { return waiting.kind == WorkItem::Kind::kReload; })) {
            return true;
        }
        items_.push_back(std::move(item));
    }
    changed_.notify_one();
    return true;
}

std::optional<WorkItem> WorkQueue::PopUntil(Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return stopped_ || !items_.empty(); });
    if (stopped_ || items_.empty()) {
        return std::nullopt;
    }
    WorkItem item = std::move(items_.front());
    items_.pop_front();
    if (IsMessage(item)) {
        --messages_;
    }
    return item;
}

void WorkQueue::Stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool WorkQueue::Stopped() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

std::deque<WorkItem> WorkQueue::TakeAll()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    messages_ = 0;
    return std::exchange(items_, {});
}

}  // namespace gpio_mqtt
