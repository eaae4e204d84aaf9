// The bridge between the controller and the broker: the one thread that
// owns the controller.
//
// It takes the work queue's items in arrival order and, after each one,
// does one thing that has come due: the end of a pulse, or the
// controller's own (a reopen, a poll of an input port, or one step of the
// slow check). So under any flood of
// commands a due poll waits at most for one command's exchanges. Every
// command gives either a confirmed state (the port read back after a
// write) or an error; one older than its Message Expiry or than
// max_command_age is refused instead of carried out late, and so is a
// retained one and a request whose reply would go outside the reply prefix.
//
// What the broker shows is what the controller holds: a write that failed,
// or whose read-back failed, may still have been carried out, so the port
// is read again; and every port that is not polled, outputs too, is read
// every check_interval_ms, so that a controller that was reset or replaced
// shows.
//
// Signals: a bit of a port under the plant's name, published on
// signal/<slug> as ON or OFF of the signal (inversion applied) beside the
// port's own topics, and commanded on signal/<slug>/set. A pulse output is
// turned on, confirmed, and put back to its rest level by the bridge once
// its time is up; a pulse command while one runs extends it. When the
// controller is found, at the start and after it was lost, each output bit
// follows its start rule: keep (read, never write), off, on, or restore
// (the last value the bridge confirmed, kept in a file); a pulse output is
// put back to rest then, so one cut short by a lost controller ends as soon
// as the controller answers again.
//
// Availability: the controller's (gpio_controller::Controller, which the
// bridge owns and which makes every call into the library); "online" is
// published with a lifetime that the bridge renews, and when the
// controller is found again every port is read and all state is published
// again.
#ifndef GPIO_MQTT_BRIDGE_H
#define GPIO_MQTT_BRIDGE_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "bridge_config.h"
#include "bridge_messages.h"
#include "command_payload.h"
#include "controller.h"
#include "event_log.h"
#include "output_state.h"
#include "publisher.h"
#include "work_queue.h"

namespace gpio_mqtt {

class Bridge final : private gpio_controller::ControllerEvents {
public:
    using Reload = std::function<ConfigResult()>;
    using Now = std::function<Clock::time_point()>;

    Bridge(Config config, Publisher &publisher, const gpio_controller::LibraryCalls &calls, WorkQueue &queue,
           gpio_controller::Log &log, Reload reload, Now now = Clock::now);
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // The first open, before the broker is reached. False when another
    // process holds the port (`problem` says so): a second bridge for the
    // same controller must not publish anything about it. A port that
    // cannot be opened for another reason is tried again every second.
    bool Start(std::string &problem);

    // Serves until the queue stops; then answers what is left in the queue
    // with an error and closes the interface. The caller publishes
    // "offline" as it disconnects.
    void Run();

    // One turn of Run: the next item (waiting for it until something comes
    // due), then one due thing. False once the queue stopped.
    bool Turn();
    void Handle(const WorkItem &item);
    // Does one thing that is due at `now`: the end of a pulse, or a
    // reopen, a poll or a step of the check; and renews "online" when its
    // time has come.
    void Tick(Clock::time_point now);
    void Finish();

    // Where the outputs' last confirmed state is kept for the start rule
    // "restore"; without one, restore keeps what the controller holds.
    void KeepStateIn(OutputStateStore &store);

    bool Online() const { return controller_.Online(); }
    const Config &CurrentConfig() const { return config_; }

private:
    // The controller's news.
    void PortRead(int port, std::uint8_t value, Clock::time_point when) override;
    void WentOnline(const std::string &version) override;
    void WentOffline() override;
    // The earliest time something is due.
    Clock::time_point NextWake() const;

    void PublishPort(int port, bool force);
    void PublishAll();
    void PublishOnline(Clock::time_point now);
    void PublishDiscovery();
    // The start rules, on the ports just read.
    void ApplyStartRules();
    // Ends the pulses that are due at `now` (all of them with `all`): each
    // bit back to its rest level, read back and published.
    void EndPulses(Clock::time_point now, bool all);
    void NoteConfirmed(int port);

    void HandleMessage(const Message &message);
    void HandleDiscoverySeen(const Message &message);
    void HandleReload();
    void Carry(const Message &message, const Command &command);
    void Refuse(const Message &message, const std::string &reason, std::optional<int> result);
    void ApplyPorts();

    Config config_;
    Publisher &publisher_;
    WorkQueue &queue_;
    gpio_controller::Log &log_;
    Reload reload_;
    Now now_;

    PortTable access_{};
    SignalTable signals_;
    struct Pulse {
        Clock::time_point end;
        bool restLevel;  // the bit's level when the pulse is over
    };
    std::map<std::pair<int, int>, Pulse> pulses_;  // (port, bit) of a running pulse
    OutputStateStore *store_ = nullptr;
    OutputValues saved_;  // as last saved in store_
    Clock::time_point nextRenewal_{};  // of "online"
    std::map<int, std::uint8_t> published_;  // as last published
    std::set<std::string> discovery_;        // entities published in this run
    // The ports the controller read in its own Tick (a poll, a step of the
    // check), published after it where they changed.
    bool ticking_ = false;
    std::vector<int> readInTick_;
    gpio_controller::Controller controller_;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_H
