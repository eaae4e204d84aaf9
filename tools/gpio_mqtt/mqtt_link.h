// The connection to the broker, through libmosquitto with MQTT 5. Its own
// network thread connects, and after a failed connect or a lost connection
// tries again after a delay that doubles from 1 s up to 30 s (back to 1 s
// once the broker takes a connection); it runs the callbacks, which never
// call the library: they subscribe again after every connect and put the
// messages on the work queue for the bridge's thread. The loop is the
// bridge's own: libmosquitto's thread gives up for good when the first
// connect fails.
//
// The Will makes the broker publish "offline" (retained) on the
// availability topic when the bridge dies without a word; "online" carries
// a Message Expiry, so that it cannot outlive a bridge that died while its
// broker was away. Another client that writes over the availability is
// answered with the bridge's own, at most once a second.
//
// What comes in is bounded before it is queued: the connect announces a
// Maximum Packet Size (the broker drops larger messages for this client),
// and a command whose payload is over the commands' limit is refused here,
// never queued.
//
// What the broker refuses is logged with its reason: a connect (bad
// credentials, a certificate that does not verify: libmosquitto's own
// error lines say which check failed) and a publish its access control
// denies (once per topic and connection, since the state of a denied
// topic is published again at every change).
//
// Latency: messages go out without Nagle's delay, and what the broker sends
// is acknowledged at once, so that a broker with Nagle on does not hold a
// command back behind an acknowledgement the kernel delayed.
#ifndef GPIO_MQTT_MQTT_LINK_H
#define GPIO_MQTT_MQTT_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "bridge.h"
#include "bridge_config.h"
#include "event_log.h"
#include "work_queue.h"

struct mosquitto;
struct mosquitto_message;
// libmosquitto's name for an MQTT 5 property list, declared as it declares it.
struct mqtt5__property;  // NOLINT(bugprone-reserved-identifier)

namespace gpio_mqtt {

class MqttLink final : public Publisher {
public:
    // The broker, credentials, CA file, prefix, id and discovery prefix of
    // `config` hold for the link's whole life.
    MqttLink(const Config &config, WorkQueue &queue, gpio_controller::Log &log);
    ~MqttLink() override;
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Sets the client up and starts connecting in the background. Returns
    // "" or why the client cannot be set up (a CA file that cannot be
    // used, say); a broker that does not answer is retried for ever.
    std::string Start();

    void Publish(const std::string &topic, const std::string &payload, bool retain) override;
    void Reply(const std::string &topic, const std::string &correlation, const std::string &payload) override;
    void PublishAvailability(bool online) override;

    // Publishes "offline" on the availability topic and waits up to `wait`
    // for the broker to take it, then disconnects cleanly (no Will) and
    // stops the network thread.
    void Finish(std::chrono::milliseconds wait);

private:
    // The network thread: connect, serve, wait, connect again.
    void Serve();
    // Waits `delay`, or less when the link stops.
    void Pause(std::chrono::seconds delay);
    void Connected(int reason);
    void Disconnected(int reason);
    void Received(const mosquitto_message &message, const void *properties);
    // Another client wrote `payload` on the availability topic.
    void AvailabilityOverwritten(const std::string &payload);
    void Acknowledged(int mid, int reason);
    // libmosquitto's error lines, kept to say why a connect failed.
    void Logged(int level, const char *text);
    // Publishes with QoS 1 and notes the topic until the broker answers;
    // the message's id goes to `mid`.
    int Send(const std::string &topic, const std::string &payload, bool retain, const mqtt5__property *properties,
             int *mid = nullptr);

    const std::string base_;
    const std::string availability_;
    const std::string discoveryFilter_;
    Config config_;
    WorkQueue &queue_;
    gpio_controller::Log &log_;
    mosquitto *client_ = nullptr;
    std::thread network_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    // Network thread only: libmosquitto's error lines since the last
    // connect began.
    std::string connectErrors_;
    // Network thread only: why the broker refused the last connect.
    std::string refusal_;

    std::mutex mutex_;
    std::condition_variable changed_;  // an acknowledgement, or the stop
    std::map<int, std::string> unacknowledged_;  // message id -> topic
    std::string availabilityState_;             // "online", "offline" or "" (none published yet)
    std::chrono::steady_clock::time_point lastCorrection_{};
    std::set<std::string> refused_;              // topics refused on this connection
};

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_MQTT_LINK_H
