#include "bridge.h"

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <utility>

#include "refusal.h"
#include "text_output.h"

namespace gpio_mqtt {
namespace {

// Why the open of `portName` failed, in the library's words (gpioctl's);
// true when another process holds the port.
bool WhyOpenFailed(const char *portName, std::string *text)
{
    char cause[8192];
    const int code = gpiolink_describe_open_failure(portName, cause, sizeof(cause));
    *text = cause;
    return code == GPIOLINK_OPEN_FAILURE_BUSY;
}

// The library takes "ttyUSB0" for /dev/ttyUSB0.
bool PortPresent(const char *portName)
{
    const std::string name(portName);
    std::error_code error;
    return std::filesystem::exists(name.find('/') == std::string::npos ? "/dev/" + name : name, error);
}

// A result that says the controller gave no valid answer: nothing came, a
// damaged reply, or the port itself failed.
bool NoAnswer(int result)
{
    return result == GPIO_RESULT_TIMEOUT || result == GPIO_RESULT_IO_ERROR || result == GPIO_RESULT_BAD_HANDLE;
}

// A result that carries out the operation.
bool Succeeded(int result)
{
    return result == GPIO_RESULT_OK || result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW;
}

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

std::string ResultText(int result)
{
    return std::string(gpiolink_result_name(result)) + " (" + gpiolink_result_text(result) + ")";
}

}  // namespace

LibraryCalls TheLibrary()
{
    return {GPIO_OpenInterface, GPIO_CloseInterface, GPIO_Input,   GPIO_Output,   GPIO_BitTest,
            GPIO_BitSet,        GPIO_BitReset,       GPIO_GetVersion, WhyOpenFailed, PortPresent};
}

Bridge::Bridge(Config config, Publisher &publisher, const LibraryCalls &calls, WorkQueue &queue, Log &log,
               Reload reload, Now now)
    : config_(std::move(config)), publisher_(publisher), calls_(calls), queue_(queue), log_(log),
      reload_(std::move(reload)), now_(std::move(now))
{
    ApplyPorts();
}

void Bridge::ApplyPorts()
{
    access_ = PortTable{};
    signals_.clear();
    checked_.clear();
    for (const PortConfig &port : config_.ports) {
        access_[static_cast<std::size_t>(port.number)] = {true, port.Writable()};
        if (!port.Polled()) {
            checked_.push_back(port.number);
        }
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

bool Bridge::Start(std::string &problem)
{
    Reopen();
    if (heldElsewhere_) {
        problem = lastOpenProblem_;
        return false;
    }
    return true;
}

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
    if (!online_) {
        return nextReopen_;
    }
    Clock::time_point wake = nextRenewal_;
    if (const std::optional<Clock::time_point> poll = schedule_.NextDue()) {
        wake = std::min(wake, *poll);
    }
    if (!checked_.empty() && config_.checkInterval.count() > 0) {
        wake = std::min(wake, nextCheck_);
    }
    for (const auto &[where, pulse] : pulses_) {
        wake = std::min(wake, pulse.end);
    }
    return wake;
}

void Bridge::Tick(Clock::time_point now)
{
    if (!online_) {
        if (now >= nextReopen_) {
            Reopen();
        }
        return;
    }
    if (now >= nextRenewal_) {
        PublishOnline(now);
    }
    if (std::any_of(pulses_.begin(), pulses_.end(), [now](const auto &entry) { return entry.second.end <= now; })) {
        answered_ = false;
        EndPulses(now, false);
        CheckAvailability();
    } else if (const std::optional<int> port = schedule_.TakeDue(now)) {
        answered_ = false;
        if (ReadPort(*port) == GPIO_RESULT_OK) {
            PublishPort(*port, false);
        }
        CheckAvailability();
    } else if (!checked_.empty() && config_.checkInterval.count() > 0 && now >= nextCheck_) {
        answered_ = false;
        CheckStep(now);
        CheckAvailability();
    }
}

void Bridge::Finish()
{
    for (const WorkItem &item : queue_.TakeAll()) {
        if (item.kind == WorkItem::Kind::kMessage) {
            Refuse(item.message, "the bridge is stopping", std::nullopt);
        }
    }
    // A pulse cut short by the stop ends now: its output goes back to rest.
    if (online_ && !pulses_.empty()) {
        EndPulses(now_(), true);
    }
    if (open_) {
        calls_.close(handle_);
        open_ = false;
    }
    online_ = false;
}

// ---- Availability ---------------------------------------------------------

int Bridge::Exchanged(int result)
{
    if (NoAnswer(result)) {
        ++failures_;
        // A handle the library no longer takes, or a port whose device has
        // gone (an adapter unplugged, a simulator restarted), will not
        // answer again: open the port anew instead of failing every command
        // until the controller counts as lost.
        if (result == GPIO_RESULT_BAD_HANDLE ||
            (result == GPIO_RESULT_IO_ERROR && !calls_.portPresent(config_.serialPort.c_str()))) {
            reopenNow_ = true;
        }
    } else {
        failures_ = 0;
        answered_ = true;
    }
    return result;
}

void Bridge::CheckAvailability()
{
    if (online_ && reopenNow_) {
        log_.Warning("port-reopened", "the port " + config_.serialPort + " stopped responding; opening it again");
        Reopen();
    } else if (online_ && failures_ >= kFailuresForOffline) {
        GoOffline();
    } else if (!online_ && answered_ && open_) {
        GoOnline();
    }
}

void Bridge::Reopen()
{
    reopenNow_ = false;
    heldElsewhere_ = false;
    if (open_) {
        calls_.close(handle_);
        open_ = false;
    }
    nextReopen_ = now_() + kReopenInterval;
    const int opened = calls_.open(config_.serialPort.c_str(), &handle_);
    if (opened != GPIO_RESULT_OK) {
        std::string why;
        heldElsewhere_ = calls_.whyOpenFailed(config_.serialPort.c_str(), &why);
        const std::string problem = "cannot open the port " + config_.serialPort + ": " + why;
        if (problem != lastOpenProblem_) {
            log_.Warning("port-open-failed", problem + "; trying again every second");
            lastOpenProblem_ = problem;
        }
        if (online_) {
            GoOffline();
        }
        return;
    }
    open_ = true;
    GoOnline();
}

void Bridge::GoOnline()
{
    char text[256] = "";
    const int result = Exchanged(calls_.version(handle_, text, sizeof(text)));
    if (result != GPIO_RESULT_OK) {
        const std::string problem = "the controller on " + config_.serialPort + " does not answer: " +
                                    ResultText(result) + "; trying again every second";
        if (problem != lastOpenProblem_) {
            log_.Warning("controller-silent", problem);
            lastOpenProblem_ = problem;
        }
        reopenNow_ = false;
        if (online_) {
            GoOffline();
        }
        nextReopen_ = now_() + kReopenInterval;
        return;
    }
    lastOpenProblem_.clear();
    version_ = text;
    online_ = true;
    failures_ = 0;
    log_.Info("controller-online", "the controller on " + config_.serialPort + " answers: " + version_);
    values_.clear();
    published_.clear();
    ReadAllPorts();
    ApplyStartRules();
    const Clock::time_point now = now_();
    schedule_.Reset(config_.ports, now);
    RestartCheck(now);
    PublishAll();
    CheckAvailability();
}

void Bridge::GoOffline()
{
    online_ = false;
    reopenNow_ = false;
    nextReopen_ = now_() + kReopenInterval;
    log_.Warning("controller-offline", "the controller on " + config_.serialPort + " stopped answering (" +
                                           std::to_string(failures_) +
                                           " failed exchanges in a row); opening the port again every second");
    publisher_.PublishAvailability(false);
}

void Bridge::PublishOnline(Clock::time_point now)
{
    publisher_.PublishAvailability(true);
    nextRenewal_ = now + config_.onlineLifetime / 3;
}

// ---- State ----------------------------------------------------------------

int Bridge::ReadPort(int port)
{
    unsigned char value = 0;
    const int result = Exchanged(calls_.input(handle_, static_cast<unsigned char>(port), &value));
    if (result == GPIO_RESULT_OK) {
        values_[port] = value;
    }
    return result;
}

void Bridge::ReadAllPorts()
{
    for (const PortConfig &port : config_.ports) {
        ReadPort(port.number);
    }
}

void Bridge::RestartCheck(Clock::time_point now)
{
    checkIndex_ = 0;
    nextCheck_ = now + config_.checkInterval;
}

// Reads the next port of the check. A round's ports are read one per turn,
// so that commands and polls go between them.
void Bridge::CheckStep(Clock::time_point now)
{
    const int port = checked_[checkIndex_ % checked_.size()];
    const auto before = published_.find(port);
    if (ReadPort(port) == GPIO_RESULT_OK && before != published_.end() && before->second != values_[port]) {
        log_.Warning("port-changed", "port " + std::to_string(port) + " reads " + std::to_string(values_[port]) +
                                         ", not " + std::to_string(before->second) +
                                         " as last confirmed: the controller was reset or written by another program");
    }
    PublishPort(port, false);
    if (++checkIndex_ >= checked_.size()) {
        RestartCheck(now);
    } else {
        nextCheck_ = now;
    }
}

void Bridge::PublishPort(int port, bool force)
{
    const auto value = values_.find(port);
    if (value == values_.end()) {
        return;
    }
    const auto before = published_.find(port);
    const bool known = before != published_.end();
    if (!force && known && before->second == value->second) {
        return;
    }
    publisher_.Publish(PortTopic(config_, port), PortStatePayload(value->second), true);
    for (int bit = 0; bit < 8; ++bit) {
        const unsigned mask = 1U << static_cast<unsigned>(bit);
        if (force || !known || ((before->second ^ value->second) & mask) != 0) {
            publisher_.Publish(BitTopic(config_, port, bit), BitPayload(value->second, bit), true);
        }
    }
    if (const PortConfig *configured = config_.Port(port)) {
        for (const SignalConfig &signal : configured->signals) {
            const unsigned mask = 1U << static_cast<unsigned>(signal.bit);
            if (force || !known || ((before->second ^ value->second) & mask) != 0) {
                publisher_.Publish(config_.Base() + "/signal/" + signal.slug, signal.On(value->second) ? "ON" : "OFF",
                                   true);
            }
        }
    }
    published_[port] = value->second;
    NoteConfirmed(port);
}

// A confirmed value of an output port is kept for "restore".
void Bridge::NoteConfirmed(int port)
{
    if (store_ == nullptr || !access_[static_cast<std::size_t>(port)].writable) {
        return;
    }
    const std::uint8_t value = values_[port];
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
        const auto read = values_.find(port.number);
        if (!port.Writable() || read == values_.end()) {
            continue;
        }
        const auto saved = saved_.find(port.number);
        unsigned wanted = read->second;
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
        if (wanted == read->second) {
            continue;
        }
        const auto value = static_cast<unsigned char>(wanted);
        log_.Info("start-rule", "port " + std::to_string(port.number) + " set to " + std::to_string(value) +
                                    " (it held " + std::to_string(read->second) + ") by its start rules");
        if (Exchanged(calls_.output(handle_, static_cast<unsigned char>(port.number), value)) != GPIO_RESULT_OK) {
            log_.Warning("start-rule-failed", "port " + std::to_string(port.number) +
                                                  ": the write of its start rules failed; it is read again");
        }
        ReadPort(port.number);
    }
}

void Bridge::EndPulses(Clock::time_point now, bool all)
{
    for (auto pulse = pulses_.begin(); pulse != pulses_.end();) {
        if (!all && pulse->second.end > now) {
            ++pulse;
            continue;
        }
        const auto port = static_cast<unsigned char>(pulse->first.first);
        const auto bit = static_cast<unsigned char>(pulse->first.second);
        const int result = Exchanged(pulse->second.restLevel ? calls_.bitSet(handle_, port, bit)
                                                             : calls_.bitReset(handle_, port, bit));
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
        if (ReadPort(port) == GPIO_RESULT_OK) {
            PublishPort(port, false);
        }
        pulse = pulses_.erase(pulse);
    }
}

void Bridge::PublishAll()
{
    if (online_) {
        publisher_.Publish(config_.Base() + "/version", gpio_tools::SafeText(version_), true);
        for (const PortConfig &port : config_.ports) {
            PublishPort(port.number, true);
        }
    }
    publisher_.Publish(config_.Base() + "/signals", SignalsPayload(config_), true);
    PublishDiscovery();
    if (online_) {
        PublishOnline(now_());
    } else {
        publisher_.PublishAvailability(false);
    }
}

// The entities of the configuration, and an empty retained message for each
// one published earlier in this run that it no longer has.
void Bridge::PublishDiscovery()
{
    const std::map<std::string, std::string> entities = DiscoveryEntities(config_, version_);
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
    answered_ = false;
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
    CheckAvailability();
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
    const auto port = static_cast<unsigned char>(command.port);
    const auto bit = static_cast<unsigned char>(command.bit);
    switch (command.operation) {
    case Operation::kInput:
        outcome.result = ReadPort(command.port);
        if (outcome.result == GPIO_RESULT_OK) {
            outcome.value = values_[command.port];
            PublishPort(command.port, false);
        }
        break;
    case Operation::kBitTest:
        outcome.result = Exchanged(calls_.bitTest(handle_, port, bit));
        break;
    case Operation::kVersion: {
        char text[256] = "";
        outcome.result = Exchanged(calls_.version(handle_, text, sizeof(text)));
        if (outcome.result == GPIO_RESULT_OK) {
            outcome.version = text;
            if (version_ != text) {
                version_ = text;
                publisher_.Publish(config_.Base() + "/version", gpio_tools::SafeText(version_), true);
            }
        }
        break;
    }
    case Operation::kOutput:
        outcome.result = Exchanged(calls_.output(handle_, port, command.value));
        break;
    case Operation::kBitSet:
        outcome.result = Exchanged(calls_.bitSet(handle_, port, bit));
        break;
    case Operation::kBitReset:
        outcome.result = Exchanged(calls_.bitReset(handle_, port, bit));
        break;
    case Operation::kPulse:
        outcome.result = Exchanged(command.value != 0 ? calls_.bitSet(handle_, port, bit)
                                                      : calls_.bitReset(handle_, port, bit));
        break;
    case Operation::kBitToggle: {
        // The bit's level now, then the other one.
        outcome.result = Exchanged(calls_.bitTest(handle_, port, bit));
        if (outcome.result == GPIO_RESULT_BIT_HIGH) {
            outcome.result = Exchanged(calls_.bitReset(handle_, port, bit));
        } else if (outcome.result == GPIO_RESULT_BIT_LOW) {
            outcome.result = Exchanged(calls_.bitSet(handle_, port, bit));
        }
        break;
    }
    }
    const bool writes = Writes(command.operation);
    const int confirmed =
        writes && outcome.result == GPIO_RESULT_OK ? Confirm(command, outcome) : GPIO_RESULT_OK;
    // A pulse runs from its confirmed start, and a second one extends it;
    // any other write of the bit ends it where it is.
    const std::pair<int, int> where{command.port, command.bit};
    if (command.operation == Operation::kPulse && outcome.result == GPIO_RESULT_OK) {
        const PortConfig *configured = config_.Port(command.port);
        const auto signal = std::find_if(configured->signals.begin(), configured->signals.end(),
                                         [&](const SignalConfig &s) { return s.bit == command.bit; });
        pulses_[where] = {now_() + signal->pulse, command.value == 0};
    } else if (command.operation == Operation::kBitSet || command.operation == Operation::kBitReset ||
               command.operation == Operation::kBitToggle) {
        pulses_.erase(where);
    }
    // A write whose reply was lost may have been carried out all the same:
    // the port is read again, so that the published state is what the
    // controller holds. A handle gone bad is opened anew instead, which
    // reads every port.
    if (writes && (!Succeeded(outcome.result) || confirmed != GPIO_RESULT_OK) && open_ && !reopenNow_) {
        if (ReadPort(command.port) == GPIO_RESULT_OK) {
            PublishPort(command.port, false);
        }
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

int Bridge::Confirm(const Command &command, Outcome &outcome)
{
    const int result = ReadPort(command.port);
    if (result == GPIO_RESULT_OK) {
        outcome.value = values_[command.port];
        PublishPort(command.port, true);
    }
    return result;
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
            values_.erase(port.number);
            published_.erase(port.number);
        }
    }
    const bool portChanged = next.serialPort != config_.serialPort;
    config_ = std::move(next);
    ApplyPorts();
    log_.Info("reloaded", "read the configuration " + config_.file + " again: " +
                              std::to_string(config_.ports.size()) + " ports");
    if (portChanged) {
        if (online_) {
            online_ = false;
            publisher_.PublishAvailability(false);
        }
        Reopen();
        return;
    }
    if (online_) {
        ReadAllPorts();
        const Clock::time_point now = now_();
        schedule_.Reset(config_.ports, now);
        RestartCheck(now);
    }
    PublishAll();
}

}  // namespace gpio_mqtt
