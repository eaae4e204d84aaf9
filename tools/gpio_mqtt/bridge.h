// The bridge between the controller and the broker: the one thread that
// makes every call into the library (which holds one open interface per
// process and whose calls must never overlap).
//
// It takes the work queue's items in arrival order and, after each one,
// does one thing that has come due: a reopen, a poll of an input port
// (PollSchedule), or one step of the slow check. So under any flood of
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
// Availability: the controller is online once it answers a version request
// after the port opened; "online" is published with a lifetime that the
// bridge renews. Three failed exchanges in a row (no valid reply, or the
// port gone) make it offline; then the port is closed and opened again
// every second, as for an adapter unplugged and plugged back, until the
// controller answers; then every port is read and all state is published
// again. A handle the library no longer takes (GPIO_RESULT_BAD_HANDLE), or
// an I/O error on a port whose device has gone, has the port opened again
// at once.
#ifndef GPIO_MQTT_BRIDGE_H
#define GPIO_MQTT_BRIDGE_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "bridge_config.h"
#include "bridge_log.h"
#include "bridge_messages.h"
#include "command_payload.h"
#include "gpiolink.h"
#include "output_state.h"
#include "poll_schedule.h"
#include "publisher.h"
#include "work_queue.h"

namespace gpio_mqtt {

// The library's public functions, as the bridge calls them; a test puts
// its own controller in their place.
struct LibraryCalls {
    int (*open)(const char *portName, HANDLE *handle);
    int (*close)(HANDLE handle);
    int (*input)(HANDLE handle, unsigned char port, unsigned char *value);
    int (*output)(HANDLE handle, unsigned char port, unsigned char value);
    int (*bitTest)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*bitSet)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*bitReset)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*version)(HANDLE handle, char *buffer, int bufferSize);
    // Why an open of the port failed, in one line; true when another
    // process holds the port.
    bool (*whyOpenFailed)(const char *portName, std::string *text);
    // Whether the port's device is still there.
    bool (*portPresent)(const char *portName);
};

// The real library's functions.
LibraryCalls TheLibrary();

class Bridge {
public:
    // Failed exchanges in a row that make the controller offline.
    static constexpr int kFailuresForOffline = 3;
    // How often the port is opened again while the controller is offline.
    static constexpr std::chrono::seconds kReopenInterval{1};

    using Reload = std::function<ConfigResult()>;
    using Now = std::function<Clock::time_point()>;

    Bridge(Config config, Publisher &publisher, const LibraryCalls &calls, WorkQueue &queue, Log &log,
           Reload reload, Now now = Clock::now);

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
    // Does one thing that is due at `now`: a reopen, a poll or a step of
    // the check; and renews "online" when its time has come.
    void Tick(Clock::time_point now);
    void Finish();

    // Where the outputs' last confirmed state is kept for the start rule
    // "restore"; without one, restore keeps what the controller holds.
    void KeepStateIn(OutputStateStore &store);

    bool Online() const { return online_; }
    const Config &CurrentConfig() const { return config_; }

private:
    // One exchange's result, counted for the availability.
    int Exchanged(int result);
    void CheckAvailability();
    void Reopen();
    void GoOnline();
    void GoOffline();
    // The earliest time something is due.
    Clock::time_point NextWake() const;

    int ReadPort(int port);
    void ReadAllPorts();
    void PublishPort(int port, bool force);
    void PublishAll();
    void PublishOnline(Clock::time_point now);
    void PublishDiscovery();
    void CheckStep(Clock::time_point now);
    void RestartCheck(Clock::time_point now);
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
    // Reads the port back after a write and publishes the confirmed
    // state; returns the read's result.
    int Confirm(const Command &command, Outcome &outcome);
    void Refuse(const Message &message, const std::string &reason, std::optional<int> result);
    void ApplyPorts();

    Config config_;
    Publisher &publisher_;
    LibraryCalls calls_;
    WorkQueue &queue_;
    Log &log_;
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
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool open_ = false;
    bool online_ = false;
    bool reopenNow_ = false;          // the handle is no longer good
    bool heldElsewhere_ = false;      // the last open found the port held by another process
    int failures_ = 0;
    bool answered_ = false;           // an exchange since the last check got a valid reply
    std::string lastOpenProblem_;     // said once, not every second
    Clock::time_point nextReopen_{};
    Clock::time_point nextRenewal_{};  // of "online"
    Clock::time_point nextCheck_{};
    std::size_t checkIndex_ = 0;       // the next of checked_ to read
    std::vector<int> checked_;         // the ports the check reads: those not polled
    std::string version_;
    std::map<int, std::uint8_t> values_;     // confirmed by the controller
    std::map<int, std::uint8_t> published_;  // as last published
    std::set<std::string> discovery_;        // entities published in this run
    PollSchedule schedule_;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_H
