// The controller's own thread, the only one that calls into the library
// (one open interface per process, no two calls at once), and the state it
// shares with the network thread.
//
// The thread waits on its queue of writes until the controller owner's next
// due step (NextWake), carries out a write when one comes, then lets the
// owner do what is due (Tick: a reopen, a poll, a check step). A write's
// result goes back through the `done` callback, which the network thread
// turns into a reply.
#ifndef GPIO_MODBUS_CONTROLLER_THREAD_H
#define GPIO_MODBUS_CONTROLLER_THREAD_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "modbus_map.h"

namespace gpio_modbus {

// The controller's state as the poll, the check and the writes leave it:
// written on the controller's thread, copied on the network thread.
class SharedState {
public:
    void PortRead(int port, std::uint8_t value, Clock::time_point when);
    void SetOnline(bool online, const std::string &version);
    void SetFailedExchanges(std::uint32_t count);
    Snapshot Copy() const;

private:
    mutable std::mutex mutex_;
    Snapshot state_;
};

// What the controller's thread drives: the controller owner behind a seam,
// so that a test puts a fake in its place.
class ControllerOwner : public PortAccess {
public:
    virtual Clock::time_point NextWake() const = 0;
    virtual void Tick(Clock::time_point now) = 0;
    virtual std::uint32_t FailedExchanges() const = 0;
};

class ControllerThread {
public:
    // A write's ticket and its result: 0, or the exception to answer.
    using Done = std::function<void(std::uint64_t ticket, int exception)>;

    ControllerThread(ControllerOwner &owner, SharedState &state);
    ~ControllerThread();
    ControllerThread(const ControllerThread &) = delete;
    ControllerThread &operator=(const ControllerThread &) = delete;

    void Start(Done done);
    // Queues a write; any thread.
    void Submit(std::uint64_t ticket, WritePlan plan);
    // Ends the thread after the step it is in; writes still queued are
    // answered 0x0B.
    void Stop();

private:
    void Run();

    ControllerOwner &owner_;
    SharedState &state_;
    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::uint64_t, WritePlan>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_CONTROLLER_THREAD_H
