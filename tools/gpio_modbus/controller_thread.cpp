#include "controller_thread.h"

#include <utility>

namespace gpio_modbus {

void SharedState::PortRead(int port, std::uint8_t value, Clock::time_point when)
{
    if (port < 0 || port > 255) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.ports[static_cast<std::size_t>(port)] = PortReading{value, when};
}

void SharedState::SetOnline(bool online, const std::string &version)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.online = online;
    state_.version = version;
}

void SharedState::SetFailedExchanges(std::uint32_t count)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.failedExchanges = count;
}

Snapshot SharedState::Copy() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

ControllerThread::ControllerThread(ControllerOwner &owner, SharedState &state) : owner_(owner), state_(state) {}

ControllerThread::~ControllerThread() { Stop(); }

void ControllerThread::Start(Done done)
{
    done_ = std::move(done);
    state_.SetFailedExchanges(owner_.FailedExchanges());
    thread_ = std::thread(&ControllerThread::Run, this);
}

void ControllerThread::Submit(std::uint64_t ticket, WritePlan plan)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.emplace_back(ticket, std::move(plan));
    }
    wake_.notify_one();
}

void ControllerThread::Stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ControllerThread::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        // NextWake and Tick are the owner's, called on this thread alone.
        const Clock::time_point due = owner_.NextWake();
        wake_.wait_until(lock, due, [this] { return stopping_ || !queue_.empty(); });
        // cppcheck-suppress knownConditionTrueFalse ; Stop() sets it on another thread
        if (stopping_) {
            break;
        }
        if (!queue_.empty()) {
            auto [ticket, plan] = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            const int exception = CarryOut(plan, owner_);
            state_.SetFailedExchanges(owner_.FailedExchanges());
            done_(ticket, exception);
            lock.lock();
        }
        lock.unlock();
        const Clock::time_point now = Clock::now();
        if (now >= owner_.NextWake()) {
            owner_.Tick(now);
            state_.SetFailedExchanges(owner_.FailedExchanges());
        }
        lock.lock();
    }
    while (!queue_.empty()) {
        const std::uint64_t ticket = queue_.front().first;
        queue_.pop_front();
        lock.unlock();
        done_(ticket, kTargetFailed);
        lock.lock();
    }
}

}  // namespace gpio_modbus
