#include "mqtt_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <system_error>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "command_payload.h"
#include "refusal.h"
#include "text_output.h"

namespace gpio_mqtt {
namespace {

// Seconds between the client's keep-alive pings; a broker that hears
// nothing for one and a half times this takes the bridge for dead.
constexpr int kKeepAlive = 30;
// The delay before a reconnect doubles from the first to the last.
constexpr std::chrono::seconds kFirstReconnectDelay{1};
constexpr std::chrono::seconds kLastReconnectDelay{30};
// How long one turn of the network loop waits for the socket, in ms: the
// longest a stop waits for the loop to see it.
constexpr int kLoopWait = 200;
// Another client's write over the availability is answered at most this
// often, so that two bridges that both think they own an id cannot make
// the broker spin.
constexpr std::chrono::seconds kCorrectionInterval{1};

// Frees what a property read handed over.
struct FreeDeleter {
    void operator()(void *memory) const { std::free(memory); }
};

// Has the kernel acknowledge at once what came from the broker, instead of
// up to 40 ms later: a broker with Nagle's algorithm on (mosquitto's
// default) holds its next message to the bridge, a command, until the last
// one is acknowledged. Quick-ack mode does not last, so this follows every
// read.
void AcknowledgeNow(int socket)
{
    const int on = 1;
    if (socket >= 0) {
        setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    }
}

}  // namespace

MqttLink::MqttLink(const Config &config, WorkQueue &queue, gpio_controller::Log &log)
    : base_(config.Base()), availability_(AvailabilityTopic(config)), discoveryFilter_(DiscoveryFilter(config)),
      config_(config), queue_(queue), log_(log)
{
}

MqttLink::~MqttLink()
{
    if (network_.joinable()) {
        stopping_ = true;
        changed_.notify_all();
        network_.join();
    }
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
}

std::string MqttLink::Start()
{
    // The client id names this bridge, so that the broker drops an older
    // connection of the same bridge; each connect starts a clean session:
    // commands sent while the bridge was away are not queued for it, to be
    // carried out late.
    const std::string clientId = "gpio-mqtt-" + config_.id + "-" + std::to_string(getpid());
    client_ = mosquitto_new(clientId.c_str(), true, this);
    if (client_ == nullptr) {
        return "cannot make an MQTT client";
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Each message goes out at once: with Nagle's algorithm a state or a
    // reply behind one the broker has not yet acknowledged waited for that
    // acknowledgement, which the broker's delayed ACK holds up to 40 ms.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    // Publishes come from the bridge's thread while the network thread runs.
    mosquitto_threaded_set(client_, true);
    mosquitto_connect_v5_callback_set(client_, [](mosquitto *, void *link, int reason, int, const mosquitto_property *) {
        static_cast<MqttLink *>(link)->Connected(reason);
    });
    mosquitto_disconnect_v5_callback_set(client_, [](mosquitto *, void *link, int reason, const mosquitto_property *) {
        static_cast<MqttLink *>(link)->Disconnected(reason);
    });
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto *, void *link, const mosquitto_message *message, const mosquitto_property *properties) {
            static_cast<MqttLink *>(link)->Received(*message, properties);
        });
    mosquitto_publish_v5_callback_set(client_,
                                      [](mosquitto *, void *link, int mid, int reason, const mosquitto_property *) {
                                          static_cast<MqttLink *>(link)->Acknowledged(mid, reason);
                                      });
    mosquitto_log_callback_set(client_, [](mosquitto *, void *link, int level, const char *text) {
        static_cast<MqttLink *>(link)->Logged(level, text);
    });

    const char offline[] = "offline";
    int rc = mosquitto_will_set_v5(client_, availability_.c_str(), static_cast<int>(sizeof(offline) - 1), offline, 1,
                                   true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
        rc = mosquitto_username_pw_set(client_, config_.username.c_str(),
                                       config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.broker.tls) {
        // The CA file given, else the system's certificates; the broker's
        // name is checked against its certificate.
        rc = mosquitto_tls_set(client_, config_.caFile.empty() ? nullptr : config_.caFile.c_str(),
                               config_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return std::string("cannot set the MQTT client up: ") + mosquitto_strerror(rc);
    }
    network_ = std::thread(&MqttLink::Serve, this);
    return {};
}

void MqttLink::Serve()
{
    const std::string broker = config_.broker.host + ":" + std::to_string(config_.broker.port);
    std::chrono::seconds delay = kFirstReconnectDelay;
    bool first = true;
    while (!stopping_) {
        connectErrors_.clear();
        refusal_.clear();
        // The first connect sets the broker's address; later ones reuse it.
        // The largest packet the bridge takes, announced at every connect:
        // the broker drops larger messages for this client instead of
        // sending them, so that their size cannot grow the bridge's memory.
        mosquitto_property *connectProperties = nullptr;
        mosquitto_property_add_int32(&connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                     static_cast<std::uint32_t>(kMaxIncomingPacket));
        int rc = first ? mosquitto_connect_bind_v5(client_, config_.broker.host.c_str(), config_.broker.port,
                                                   kKeepAlive, nullptr, connectProperties)
                       : mosquitto_reconnect(client_);
        mosquitto_property_free_all(&connectProperties);
        first = false;
        // Until the connection fails, or a stop has it closed (or finds it
        // not yet taken by the broker).
        while (rc == MOSQ_ERR_SUCCESS && !(stopping_ && !connected_)) {
            rc = mosquitto_loop(client_, kLoopWait, 1);
            AcknowledgeNow(mosquitto_socket(client_));
            if (connected_) {
                delay = kFirstReconnectDelay;
            }
        }
        if (stopping_) {
            break;
        }
        std::string message;
        if (!refusal_.empty()) {
            message.append("the broker ").append(broker).append(" refused the connection: ").append(refusal_);
        } else {
            message.append("no connection to the broker ").append(broker).append(" (");
            message.append(rc == MOSQ_ERR_ERRNO ? std::generic_category().message(errno) : mosquitto_strerror(rc));
            if (!connectErrors_.empty()) {
                // "A TLS error occurred." alone does not say which check failed.
                message.append(" ").append(connectErrors_);
            }
            message.append(")");
        }
        message.append("; trying again in ").append(std::to_string(delay.count())).append(" s");
        if (refusal_.empty()) {
            log_.Warning("broker-unreachable", message);
        } else {
            log_.Error("broker-refused", message);
        }
        Pause(delay);
        delay = std::min(delay * 2, kLastReconnectDelay);
    }
}

void MqttLink::Pause(std::chrono::seconds delay)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, delay, [this] { return stopping_.load(); });
}

void MqttLink::Connected(int reason)
{
    if (reason != 0) {
        // Logged once the connection has closed, with the next try.
        refusal_ = mosquitto_reason_string(reason);
        return;
    }
    connected_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        refused_.clear();
    }
    log_.Info("broker-connected",
              "connected to the broker " + config_.broker.host + ":" + std::to_string(config_.broker.port));
    // Commands with QoS 1, never a retained one (it would be carried out
    // again at every connect), nor one of the bridge's own. Retain As
    // Published keeps the retain flag of a command that another broker
    // forwards, so that the bridge can refuse it too.
    const int commandOptions =
        MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED;
    for (const std::string &filter :
         {base_ + "/port/+/set", base_ + "/port/+/bit/+/set", base_ + "/signal/+/set", base_ + "/request"}) {
        mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1, commandOptions, nullptr);
    }
    // Another client's writes over this bridge's availability.
    mosquitto_subscribe_v5(client_, nullptr, availability_.c_str(), 1,
                           MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
    // The retained discovery entities of this node, to clear those the
    // configuration no longer has.
    mosquitto_subscribe_v5(client_, nullptr, discoveryFilter_.c_str(), 1, MQTT_SUB_OPT_NO_LOCAL, nullptr);
    WorkItem item;
    item.kind = WorkItem::Kind::kConnected;
    queue_.Push(std::move(item));
}

void MqttLink::Disconnected(int reason)
{
    const bool was = connected_.exchange(false);
    if (reason != 0 && was) {
        log_.Warning("broker-lost", "lost the broker " + config_.broker.host + ":" +
                                        std::to_string(config_.broker.port) + " (" + mosquitto_strerror(reason) + ")");
    }
}

void MqttLink::Received(const mosquitto_message &message, const void *properties)
{
    const auto *props = static_cast<const mosquitto_property *>(properties);
    const auto length = static_cast<std::size_t>(std::max(message.payloadlen, 0));
    if (availability_ == message.topic) {
        AvailabilityOverwritten(std::string(static_cast<const char *>(message.payload), std::min<std::size_t>(length, 16)));
        return;
    }
    WorkItem item;
    item.message.topic = message.topic;
    item.message.arrival = Clock::now();
    item.message.retained = message.retain;
    // Past the commands' limit only the start is kept, for the error.
    const bool oversized = length > kMaxPayload;
    if (length > 0) {
        item.message.payload.assign(static_cast<const char *>(message.payload), oversized ? 64 : length);
    }
    bool discovery = false;
    mosquitto_topic_matches_sub(discoveryFilter_.c_str(), message.topic, &discovery);
    if (discovery) {
        item.kind = WorkItem::Kind::kDiscoverySeen;
        if (!oversized) {
            queue_.Push(std::move(item));
        }
        return;
    }
    char *responseTopic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false) != nullptr) {
        const std::unique_ptr<char, FreeDeleter> owned(responseTopic);
        item.message.responseTopic = responseTopic;
    }
    void *correlation = nullptr;
    std::uint16_t correlationLength = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationLength, false) !=
        nullptr) {
        const std::unique_ptr<void, FreeDeleter> owned(correlation);
        item.message.correlation.assign(static_cast<const char *>(correlation), correlationLength);
    }
    std::uint32_t expiry = 0;
    if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false) != nullptr) {
        item.message.expiry = item.message.arrival + std::chrono::seconds(expiry);
    }
    if (oversized) {
        Refuse(*this, log_, config_, item.message, OversizedPayload(length), std::nullopt);
        return;
    }
    const Message copy = item.message;
    if (!queue_.Push(std::move(item))) {
        // Answered here, since the bridge's thread will never see it.
        Refuse(*this, log_, config_, copy,
               "the bridge has too many commands waiting (or is stopping): not carried out", std::nullopt);
    }
}

void MqttLink::AvailabilityOverwritten(const std::string &payload)
{
    std::string ours;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (availabilityState_.empty() || payload == availabilityState_ || now - lastCorrection_ < kCorrectionInterval) {
            return;
        }
        lastCorrection_ = now;
        ours = availabilityState_;
    }
    log_.Warning("availability-overwritten", "another client published \"" + gpio_tools::SafeText(payload) +
                                                 "\" on " + availability_ + "; published \"" + ours + "\" again");
    PublishAvailability(ours == "online");
}

void MqttLink::Acknowledged(int mid, int reason)
{
    std::string refusedTopic;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto sent = unacknowledged_.find(mid);
        if (sent != unacknowledged_.end()) {
            // MQTT 5 reason codes from 0x80 up refuse the message; the
            // first refusal of a topic on this connection is logged.
            if (reason >= MQTT_RC_UNSPECIFIED && refused_.insert(sent->second).second) {
                refusedTopic = sent->second;
            }
            unacknowledged_.erase(sent);
        }
    }
    changed_.notify_all();
    if (!refusedTopic.empty()) {
        log_.Warning("publish-refused", "the broker refused the publish to " + refusedTopic + ": " +
                                            mosquitto_reason_string(reason) +
                                            " (its access control may not let this bridge's user write there)");
    }
}

void MqttLink::Logged(int level, const char *text)
{
    if (level == MOSQ_LOG_ERR && connectErrors_.size() < 1024) {
        connectErrors_.append(connectErrors_.empty() ? "" : " ").append(text);
    }
}

int MqttLink::Send(const std::string &topic, const std::string &payload, bool retain,
                   const mosquitto_property *properties, int *mid)
{
    // Before the broker took the connection libmosquitto would queue the
    // message and send it after the connect, with the state published
    // again behind it: every connect republishes all state anyway.
    if (!connected_) {
        return MOSQ_ERR_NO_CONN;
    }
    // Under the lock, so that the broker's answer finds the topic noted.
    const std::lock_guard<std::mutex> lock(mutex_);
    int sent = 0;
    const int rc = mosquitto_publish_v5(client_, &sent, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, retain, properties);
    if (rc == MOSQ_ERR_SUCCESS) {
        unacknowledged_[sent] = topic;
    }
    if (mid != nullptr) {
        *mid = sent;
    }
    return rc;
}

void MqttLink::Publish(const std::string &topic, const std::string &payload, bool retain)
{
    const int rc = Send(topic, payload, retain, nullptr);
    // While the broker is away the message is lost: every connect
    // republishes all state.
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        log_.Warning("publish-failed", "cannot publish to " + topic + ": " + mosquitto_strerror(rc));
    }
}

void MqttLink::Reply(const std::string &topic, const std::string &correlation, const std::string &payload)
{
    mosquitto_property *properties = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
    }
    const int rc = Send(topic, payload, false, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        log_.Warning("reply-failed", "cannot reply to " + topic + ": " + mosquitto_strerror(rc));
    }
}

void MqttLink::PublishAvailability(bool online)
{
    const char *state = online ? "online" : "offline";
    mosquitto_property *properties = nullptr;
    if (online) {
        mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                     static_cast<std::uint32_t>(config_.onlineLifetime.count()));
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        availabilityState_ = state;
    }
    const int rc = Send(availability_, state, true, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        log_.Warning("publish-failed", "cannot publish to " + availability_ + ": " + mosquitto_strerror(rc));
    }
}

void MqttLink::Finish(std::chrono::milliseconds wait)
{
    bool told = false;
    if (connected_) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            availabilityState_ = "offline";
        }
        int mid = 0;
        if (Send(availability_, "offline", true, nullptr, &mid) == MOSQ_ERR_SUCCESS) {
            // The broker's answer to this very message: ids wrap at 65535,
            // so no order of ids says which messages were answered.
            std::unique_lock<std::mutex> lock(mutex_);
            told = changed_.wait_for(lock, wait, [&] { return unacknowledged_.count(mid) == 0; });
        }
    }
    // The network loop sends the DISCONNECT and ends when the connection
    // closes; without a connection it ends at once.
    stopping_ = true;
    changed_.notify_all();
    mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    if (network_.joinable()) {
        network_.join();
    }
    log_.Info("stopped", told ? "published offline and disconnected"
                              : "stopped without the broker's word that it has \"offline\"");
}

}  // namespace gpio_mqtt
