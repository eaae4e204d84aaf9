// The bridge between the controller and the broker: the one thread that
// makes every call into the library (which holds one open interface per
// process and whose calls must never overlap).
//
// It takes the work queue's items in arrival order and, between them,
// polls the input ports when their polls are due (PollSchedule), so that a
// command waits at most for the exchange in progress. Every command gives
// either a confirmed state (the port read back after a write) or an error;
// one older than its Message Expiry or than max_command_age is refused
// instead of carried out late.
//
// Availability: the controller is online once it answers a version request
// after the port opened. Three failed exchanges in a row (no valid reply,
// or the port gone) make it offline; then the port is closed and opened
// again every second, as for an adapter unplugged and plugged back, until
// the controller answers; then every port is read and all state is
// published again.
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
#include "poll_schedule.h"
#include "work_queue.h"

namespace gpio_mqtt {

// Where the bridge's messages go: the broker, or a test's record.
class Publisher {
public:
    virtual ~Publisher() = default;
    // Retained state, or a message such as an error (QoS 1).
    virtual void Publish(const std::string &topic, const std::string &payload, bool retain) = 0;
    // A request's reply, with the request's Correlation Data.
    virtual void Reply(const std::string &topic, const std::string &correlation, const std::string &payload) = 0;
};

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

    Bridge(Config config, Publisher &publisher, const LibraryCalls &calls, WorkQueue &queue, Log &log,
           Reload reload);

    // Opens the port and serves until the queue stops; then answers what
    // is left in the queue with an error and closes the interface. The
    // caller publishes "offline" as it disconnects.
    void Run();

    // The steps of Run, for tests: the first open; one item; one due poll
    // or reopen; the stop.
    void Start();
    void Handle(const WorkItem &item);
    void Tick(Clock::time_point now);
    void Finish();

    bool Online() const { return online_; }
    const Config &CurrentConfig() const { return config_; }

private:
    // One library call's result, counted for the availability.
    int Count(int result);
    void CheckAvailability();
    void Reopen();
    void GoOnline();
    void GoOffline();

    int ReadPort(int port);
    void ReadAllPorts();
    void PublishPort(int port, bool force);
    void PublishAll();
    void PublishDiscovery();

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

    PortTable access_{};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool open_ = false;
    bool online_ = false;
    int failures_ = 0;
    bool answered_ = false;           // an exchange since the last check got a valid reply
    std::string lastOpenProblem_;      // said once, not every second
    Clock::time_point nextReopen_{};
    std::string version_;
    std::map<int, std::uint8_t> values_;     // confirmed by the controller
    std::map<int, std::uint8_t> published_;  // as last published
    std::set<std::string> discovery_;        // entities published in this run
    PollSchedule schedule_;
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_BRIDGE_H
