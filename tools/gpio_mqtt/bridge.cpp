#include "bridge.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "refusal.h"
#include "text_output.h"

namespace gpio_mqtt {
namespace {

using gpio_controller::ResultText;
using gpio_controller::Succeeded;

std::string Describe(const Command &command)
{
    std::string text = OperationName(command.operation);
    if (command.operation != Operation::kVersion) {
        text += " port " + std::to_string(command.port);
    }
    if (command.operation == Operation::kBitTest || command.operation == Operation::kBitSet ||
        command.operation == Operation::kBitReset || command.operation == Operation::kBitToggle ||
        command.operation == Operation::kPulse) {
        text += " bit " + std::to_string(command.bit);
    }
    if (command.operation == Operation::kOutput) {
        text += " value " + std::to_string(command.value);
    }
    return text;
}

// What the connection to the broker and the topics' root are made of: set
// when the bridge connects, so a reload leaves them as they are.
auto ConnectionSettings(Config &config)
{
    return std::tie(config.broker, config.username, config.password, config.caFile, config.prefix, config.id,
                    config.discoveryPrefix, config.replyPrefix, config.onlineLifetime);
}

// What the controller is given of the configuration.
gpio_controller::ControllerSettings ControllerPlan(const Config &config)
{
    gpio_controller::ControllerSettings settings;
    settings.serialPort = config.serialPort;
    settings.checkInterval = config.checkInterval;
    for (const PortConfig &port : config.ports) {
        settings.ports.push_back({port.number, port.Writable(), port.Polled(), port.pollInterval});
    }
    return settings;
}

}  // namespace

Bridge::Bridge(Config config, Publisher &publisher, const gpio_controller::LibraryCalls &calls, WorkQueue &queue,
               gpio_controller::Log &log, Reload reload, Now now)
    : config_(std::move(config)), publisher_(publisher), queue_(queue), log_(log), reload_(std::move(reload)),
      now_(std::move(now)), controller_(ControllerPlan(config_), calls, log, *this, now_)
{
    ApplyPorts();
}

void Bridge::ApplyPorts()
{
    access_ = PortTable{};
    signals_.clear();
    for (const PortConfig &port : config_.ports) {
        access_[static_cast<std::size_t>(port.number)] = {true, port.Writable()};
        for (const SignalConfig &signal : port.signals) {
            signals_[signal.slug] = {static_cast<std::uint8_t>(port.number), static_cast<std::uint8_t>(signal.bit),
                                     port.Writable(), signal.inverted, signal.pulse.count() > 0};
        }
    }
}

void Bridge::KeepStateIn(OutputStateStore &store)
{
    store_ = &store;
    saved_ = store.Load();
}

bool Bridge::Start(std::string &problem) { return controller_.Start(problem); }

void Bridge::Run()
{
    while (Turn()) {
    }
    Finish();
}

bool Bridge::Turn()
{
    const std::optional<WorkItem> item = queue_.PopUntil(NextWake());
    if (queue_.Stopped()) {
        return false;
    }
    if (item) {
        Handle(*item);
    }
    Tick(now_());
    return true;
}

Clock::time_point Bridge::NextWake() const
{
    if (!controller_.Online()) {
        return controller_.NextWake();
    }
    Clock::time_point wake = std::min(nextRenewal_, controller_.NextWake());
    for (const auto &[where, pulse] : pulses_) {
        wake = std::min(wake, pulse.end);
    }
    return wake;
}

void Bridge::Tick(Clock::time_point now)
{
    if (controller_.Online()) {
        if (now >= nextRenewal_) {
            PublishOnline(now);
        }
        if (std::any_of(pulses_.begin(), pulses_.end(), [now](const auto &entry) { return entry.second.end <= now; })) {
            controller_.Hold();
            EndPulses(now, false);
            controller_.Release();
            return;
        }
    }
    ticking_ = true;
    controller_.Tick(now);
    ticking_ = false;
    for (const int port : readInTick_) {
        PublishPort(port, false);
    }
    readInTick_.clear();
}

void Bridge::Finish()
{
    for (const WorkItem &item : queue_.TakeAll()) {
        if (item.kind == WorkItem::Kind::kMessage) {
            Refuse(item.message, "the bridge is stopping", std::nullopt);
        }
    }
    // A pulse cut short by the stop ends now: its output goes back to rest.
    // No decision on the availability follows: the controller is closed.
    if (controller_.Online() && !pulses_.empty()) {
        controller_.Hold();
        EndPulses(now_(), true);
    }
    controller_.Close();
}

// ---- The controller's news --------------------------------------------------

void Bridge::PortRead(int port, std::uint8_t, Clock::time_point)
{
    if (ticking_) {
        readInTick_.push_back(port);
    }
}

// Every port was just read: the start rules, then all state published.
void Bridge::WentOnline(const std::string &)
{
    published_.clear();
    ApplyStartRules();
    PublishAll();
}

void Bridge::WentOffline() { publisher_.PublishAvailability(false); }

void Bridge::PublishOnline(Clock::time_point now)
{
    publisher_.PublishAvailability(true);
    nextRenewal_ = now + config_.onlineLifetime / 3;
}

// ---- State ----------------------------------------------------------------

void Bridge::PublishPort(int port, bool force)
{
    const std::optional<std::uint8_t> value = controller_.Value(port);
    if (!value) {
        return;
    }
    const auto before = published_.find(port);
    const bool known = before != published_.end();
    if (!force && known && before->second == *value) {
        return;
    }
    publisher_.Publish(PortTopic(config_, port), PortStatePayload(*value), true);
    for (int bit = 0; bit < 8; ++bit) {
        const unsigned mask = 1U << static_cast<unsigned>(bit);
        if (force || !known || ((before->second ^ *value) & mask) != 0) {
            publisher_.Publish(BitTopic(config_, port, bit), BitPayload(*value, bit), true);
        }
    }
    if (const PortConfig *configured = config_.Port(port)) {
        for (const SignalConfig &signal : configured->signals) {
            const unsigned mask = 1U << static_cast<unsigned>(signal.bit);
            if (force || !known || ((before->second ^ *value) & mask) != 0) {
                publisher_.Publish(config_.Base() + "/signal/" + signal.slug, signal.On(*value) ? "ON" : "OFF",
                                   true);
            }
        }
    }
    published_[port] = *value;
    NoteConfirmed(port);
}

// A confirmed value of an output port is kept for "restore".
void Bridge::NoteConfirmed(int port)
{
    if (store_ == nullptr || !access_[static_cast<std::size_t>(port)].writable) {
        return;
    }
    const std::uint8_t value = *controller_.Value(port);
    const auto saved = saved_.find(port);
    if (saved == saved_.end() || saved->second != value) {
        saved_[port] = value;
        store_->Save(saved_);
    }
}

void Bridge::ApplyStartRules()
{
    pulses_.clear();
    for (const PortConfig &port : config_.ports) {
        const std::optional<std::uint8_t> read = controller_.Value(port.number);
        if (!port.Writable() || !read) {
            continue;
        }
        const auto saved = saved_.find(port.number);
        unsigned wanted = *read;
        for (int bit = 0; bit < 8; ++bit) {
            const auto signal = std::find_if(port.signals.begin(), port.signals.end(),
                                             [bit](const SignalConfig &s) { return s.bit == bit; });
            const StartRule rule = signal != port.signals.end() ? signal->start : port.start;
            const bool inverted = signal != port.signals.end() && signal->inverted;
            const unsigned mask = 1U << static_cast<unsigned>(bit);
            std::optional<bool> level;
            if (rule == StartRule::kOff || rule == StartRule::kOn) {
                level = (rule == StartRule::kOn) != inverted;
            } else if (rule == StartRule::kRestore && saved != saved_.end()) {
                level = (saved->second & mask) != 0;
            }
            if (level) {
                wanted = *level ? (wanted | mask) : (wanted & ~mask);
            }
        }
        if (wanted == *read) {
            continue;
        }
        const auto value = static_cast<unsigned char>(wanted);
        log_.Info("start-rule", "port " + std::to_string(port.number) + " set to " + std::to_string(value) +
                                    " (it held " + std::to_string(*read) + ") by its start rules");
        if (controller_.WriteUnconfirmed(port.number, value) != GPIO_RESULT_OK) {
            log_.Warning("start-rule-failed", "port " + std::to_string(port.number) +
                                                  ": the write of its start rules failed; it is read again");
        }
        controller_.Read(port.number);
    }
}

void Bridge::EndPulses(Clock::time_point now, bool all)
{
    for (auto pulse = pulses_.begin(); pulse != pulses_.end();) {
        if (!all && pulse->second.end > now) {
            ++pulse;
            continue;
        }
        const auto [port, bit] = pulse->first;
        const int result = controller_.WriteBitUnconfirmed(port, bit, pulse->second.restLevel);
        if (result != GPIO_RESULT_OK && !all) {
            // Tried again shortly; a controller that is lost meanwhile
            // gets its outputs back to rest by the start rules.
            log_.Warning("pulse-end-failed", "port " + std::to_string(port) + " bit " + std::to_string(bit) +
                                                 ": putting the pulse output back failed (" + ResultText(result) +
                                                 "); trying again");
            pulse->second.end = now + std::chrono::milliseconds(100);
            ++pulse;
            continue;
        }
        if (controller_.Read(port) == GPIO_RESULT_OK) {
            PublishPort(port, false);
        }
        pulse = pulses_.erase(pulse);
    }
}

void Bridge::PublishAll()
{
    if (controller_.Online()) {
        publisher_.Publish(config_.Base() + "/version", gpio_tools::SafeText(controller_.Version()), true);
        for (const PortConfig &port : config_.ports) {
            PublishPort(port.number, true);
        }
    }
    publisher_.Publish(config_.Base() + "/signals", SignalsPayload(config_), true);
    PublishDiscovery();
    if (controller_.Online()) {
        PublishOnline(now_());
    } else {
        publisher_.PublishAvailability(false);
    }
}

// The entities of the configuration, and an empty retained message for each
// one published earlier in this run that it no longer has.
void Bridge::PublishDiscovery()
{
    const std::map<std::string, std::string> entities = DiscoveryEntities(config_, controller_.Version());
    for (const std::string &topic : discovery_) {
        if (entities.count(topic) == 0) {
            publisher_.Publish(topic, "", true);
        }
    }
    discovery_.clear();
    for (const auto &[topic, payload] : entities) {
        publisher_.Publish(topic, payload, true);
        discovery_.insert(topic);
    }
}

// ---- Work items -------------------------------------------------------------

void Bridge::Handle(const WorkItem &item)
{
    // The controller's availability is decided once the item is done, so
    // that a command's reply and error go out before a lost controller is
    // opened again.
    controller_.Hold();
    switch (item.kind) {
    case WorkItem::Kind::kMessage:
        HandleMessage(item.message);
        break;
    case WorkItem::Kind::kConnected:
        PublishAll();
        break;
    case WorkItem::Kind::kDiscoverySeen:
        HandleDiscoverySeen(item.message);
        break;
    case WorkItem::Kind::kReload:
        HandleReload();
        break;
    }
    controller_.Release();
}

// A retained entity of this node that the configuration does not have (left
// by an earlier run with other ports) is cleared.
void Bridge::HandleDiscoverySeen(const Message &message)
{
    if (message.payload.empty() || discovery_.count(message.topic) != 0) {
        return;
    }
    log_.Info("discovery-cleared", "cleared the discovery entity " + message.topic + ", which the configuration no longer has");
    publisher_.Publish(message.topic, "", true);
}

void Bridge::HandleMessage(const Message &message)
{
    // A retained command would be carried out again whenever a broker (or a
    // bridge between brokers) hands it on: a command is carried out once,
    // when it is sent.
    if (message.retained) {
        Refuse(message, "a retained command is never carried out: publish commands without the retain flag",
               std::nullopt);
        return;
    }
    const std::string base = config_.Base() + "/";
    const std::string subtopic =
        message.topic.compare(0, base.size(), base) == 0 ? message.topic.substr(base.size()) : message.topic;
    const ParsedCommand parsed = ParseCommand(subtopic, message.payload, access_, signals_);
    if (!parsed.ok) {
        Refuse(message, parsed.reason, std::nullopt);
        return;
    }
    if (parsed.command.origin == Origin::kRequestTopic) {
        const std::string problem = ResponseTopicProblem(message.responseTopic, config_.replyPrefix);
        if (!problem.empty()) {
            Refuse(message, problem, std::nullopt);
            return;
        }
    }
    const Clock::time_point now = now_();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - message.arrival);
    if (message.expiry && now >= *message.expiry) {
        Refuse(message, "the command outlived its Message Expiry while waiting (" + std::to_string(waited.count()) +
                            " ms): not carried out late",
               std::nullopt);
        return;
    }
    if (waited > config_.maxCommandAge) {
        Refuse(message, "the command waited " + std::to_string(waited.count()) + " ms, longer than max_command_age (" +
                            std::to_string(config_.maxCommandAge.count()) + " ms): not carried out late",
               std::nullopt);
        return;
    }
    Carry(message, parsed.command);
}

void Bridge::Carry(const Message &message, const Command &command)
{
    Outcome outcome;
    std::optional<gpio_controller::Controller::WriteOutcome> written;
    const int port = command.port;
    const int bit = command.bit;
    switch (command.operation) {
    case Operation::kInput:
        outcome.result = controller_.Read(port);
        if (outcome.result == GPIO_RESULT_OK) {
            outcome.value = controller_.Value(port);
            PublishPort(port, false);
        }
        break;
    case Operation::kBitTest:
        outcome.result = controller_.BitTest(port, bit);
        break;
    case Operation::kVersion: {
        const std::string before = controller_.Version();
        outcome.result = controller_.AskVersion();
        if (outcome.result == GPIO_RESULT_OK) {
            outcome.version = controller_.Version();
            if (before != outcome.version) {
                publisher_.Publish(config_.Base() + "/version", gpio_tools::SafeText(outcome.version), true);
            }
        }
        break;
    }
    case Operation::kOutput:
        written = controller_.Output(port, command.value);
        break;
    case Operation::kBitSet:
        written = controller_.BitSet(port, bit);
        break;
    case Operation::kBitReset:
        written = controller_.BitReset(port, bit);
        break;
    case Operation::kPulse:
        written = command.value != 0 ? controller_.BitSet(port, bit) : controller_.BitReset(port, bit);
        break;
    case Operation::kBitToggle:
        written = controller_.BitToggle(port, bit);
        break;
    }
    int confirmed = GPIO_RESULT_OK;  // the read-back of a write carried out
    if (written) {
        outcome.result = written->result;
        if (written->result == GPIO_RESULT_OK) {
            confirmed = written->readBack;
        }
        if (confirmed == GPIO_RESULT_OK && written->result == GPIO_RESULT_OK) {
            outcome.value = written->value;
            PublishPort(port, true);
        } else if (written->value) {
            // The port read again after the failed write or read-back.
            PublishPort(port, false);
        }
    }
    // A pulse runs from its confirmed start, and a second one extends it;
    // any other write of the bit ends it where it is.
    const std::pair<int, int> where{port, bit};
    if (command.operation == Operation::kPulse && outcome.result == GPIO_RESULT_OK) {
        const PortConfig *configured = config_.Port(port);
        const auto signal = std::find_if(configured->signals.begin(), configured->signals.end(),
                                         [&](const SignalConfig &s) { return s.bit == bit; });
        pulses_[where] = {now_() + signal->pulse, command.value == 0};
    } else if (command.operation == Operation::kBitSet || command.operation == Operation::kBitReset ||
               command.operation == Operation::kBitToggle) {
        pulses_.erase(where);
    }
    if (command.origin == Origin::kRequestTopic) {
        publisher_.Reply(message.responseTopic, message.correlation, ReplyPayload(command, outcome));
    }
    if (!Succeeded(outcome.result)) {
        Refuse(message, Describe(command) + " failed: " + ResultText(outcome.result), outcome.result);
    } else if (confirmed != GPIO_RESULT_OK) {
        Refuse(message, Describe(command) + " was carried out, but reading the port back failed: " +
                            ResultText(confirmed),
               confirmed);
    }
}

void Bridge::Refuse(const Message &message, const std::string &reason, std::optional<int> result)
{
    gpio_mqtt::Refuse(publisher_, log_, config_, message, reason, result);
}

// ---- Reload -----------------------------------------------------------------

void Bridge::HandleReload()
{
    ConfigResult loaded = reload_();
    if (!loaded.ok) {
        log_.Error("reload-refused", loaded.error + "; the configuration in use stays");
        return;
    }
    Config next = std::move(loaded.config);
    if (ConnectionSettings(next) != ConnectionSettings(config_)) {
        log_.Warning("reload-partial", "the broker, credentials, CA file, prefix, id, discovery_prefix, "
                                       "reply_prefix and online_lifetime take effect at a restart; the ones in "
                                       "use stay");
        ConnectionSettings(next) = ConnectionSettings(config_);
    }
    // The state of ports that are gone is cleared from the broker.
    for (const PortConfig &port : config_.ports) {
        if (next.Port(port.number) == nullptr) {
            publisher_.Publish(PortTopic(config_, port.number), "", true);
            for (int bit = 0; bit < 8; ++bit) {
                publisher_.Publish(BitTopic(config_, port.number, bit), "", true);
            }
            published_.erase(port.number);
        }
    }
    const bool portChanged = next.serialPort != config_.serialPort;
    config_ = std::move(next);
    ApplyPorts();
    log_.Info("reloaded", "read the configuration " + config_.file + " again: " +
                              std::to_string(config_.ports.size()) + " ports");
    // Another serial port is opened at once, and publishes all once the
    // controller answers there; on the same one, every port is read again.
    controller_.Reconfigure(ControllerPlan(config_));
    if (!portChanged) {
        PublishAll();
    }
}

}  // namespace gpio_mqtt
