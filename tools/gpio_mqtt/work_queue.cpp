#include "work_queue.h"

#include <utility>

namespace gpio_mqtt {

bool WorkQueue::Push(WorkItem item)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || items_.size() >= kCapacity) {
            return false;
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
    return std::exchange(items_, {});
}

}  // namespace gpio_mqtt
