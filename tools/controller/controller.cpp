#include "controller.h"

#include <algorithm>
#include <utility>

namespace gpio_controller {
namespace {

// A result that says the controller gave no valid answer: nothing came, a
// damaged reply, or the port itself failed.
bool NoAnswer(int result)
{
    return result == GPIO_RESULT_TIMEOUT || result == GPIO_RESULT_IO_ERROR || result == GPIO_RESULT_BAD_HANDLE;
}

bool InRange(int port, int bit) { return port >= 0 && port <= 255 && bit >= 0 && bit <= 7; }

}  // namespace

std::string ResultText(int result)
{
    return std::string(gpiolink_result_name(result)) + " (" + gpiolink_result_text(result) + ")";
}

bool Succeeded(int result)
{
    return result == GPIO_RESULT_OK || result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW;
}

Controller::Controller(ControllerSettings settings, const LibraryCalls &calls, Log &log, ControllerEvents &events,
                       Now now)
    : settings_(std::move(settings)), calls_(calls), log_(log), events_(events), now_(std::move(now))
{
    PlanPorts();
}

void Controller::PlanPorts()
{
    checked_.clear();
    for (const PortPlan &port : settings_.ports) {
        if (!port.polled) {
            checked_.push_back(port.number);
        }
    }
}

bool Controller::Start(std::string &problem)
{
    Reopen();
    if (heldElsewhere_) {
        problem = lastOpenProblem_;
        return false;
    }
    return true;
}

Clock::time_point Controller::NextWake() const
{
    if (!online_) {
        return nextReopen_;
    }
    Clock::time_point wake = Clock::time_point::max();
    if (const std::optional<Clock::time_point> poll = schedule_.NextDue()) {
        wake = std::min(wake, *poll);
    }
    if (!checked_.empty() && settings_.checkInterval.count() > 0) {
        wake = std::min(wake, nextCheck_);
    }
    return wake;
}

template <typename Work>
auto Controller::Step(Work work)
{
    Hold();
    auto result = work();
    Release();
    return result;
}

void Controller::Hold()
{
    if (holds_++ == 0) {
        answered_ = false;
    }
}

void Controller::Release()
{
    if (holds_ > 0 && --holds_ == 0) {
        CheckAvailability();
    }
}

void Controller::Tick(Clock::time_point now)
{
    if (!online_) {
        if (now >= nextReopen_) {
            Reopen();
        }
        return;
    }
    if (const std::optional<int> port = schedule_.TakeDue(now)) {
        Step([&] { return ReadPort(*port); });
    } else if (!checked_.empty() && settings_.checkInterval.count() > 0 && now >= nextCheck_) {
        Step([&] {
            CheckStep(now);
            return true;
        });
    }
}

void Controller::Close()
{
    holds_ = 0;
    if (open_) {
        calls_.close(handle_);
        open_ = false;
    }
    online_ = false;
}

void Controller::Reconfigure(ControllerSettings settings)
{
    Hold();
    const auto planned = [&settings](int port) {
        return std::any_of(settings.ports.begin(), settings.ports.end(),
                           [port](const PortPlan &plan) { return plan.number == port; });
    };
    for (auto value = values_.begin(); value != values_.end();) {
        value = planned(value->first) ? std::next(value) : values_.erase(value);
    }
    const bool portChanged = settings.serialPort != settings_.serialPort;
    settings_ = std::move(settings);
    PlanPorts();
    if (portChanged) {
        if (online_) {
            online_ = false;
            events_.WentOffline();
        }
        Reopen();
    } else if (online_) {
        ReadAllPorts();
        const Clock::time_point now = now_();
        schedule_.Reset(settings_.ports, now);
        RestartCheck(now);
    }
    Release();
}

std::optional<std::uint8_t> Controller::Value(int port) const
{
    const auto value = values_.find(port);
    if (value == values_.end()) {
        return std::nullopt;
    }
    return value->second;
}

// ---- Operations -------------------------------------------------------------

bool Controller::Writable(int port) const
{
    return InRange(port, 0) && std::any_of(settings_.ports.begin(), settings_.ports.end(), [port](const PortPlan &plan) {
               return plan.number == port && plan.writable;
           });
}

Controller::WriteOutcome Controller::Output(int port, std::uint8_t value)
{
    if (!Writable(port)) {
        return {kRefused, kRefused, std::nullopt};
    }
    return Step([&] { return Written(port, Exchanged(calls_.output(handle_, static_cast<unsigned char>(port), value))); });
}

Controller::WriteOutcome Controller::BitSet(int port, int bit)
{
    if (!Writable(port) || !InRange(port, bit)) {
        return {kRefused, kRefused, std::nullopt};
    }
    return Step([&] { return Written(port, WriteBitUnconfirmed(port, bit, true)); });
}

Controller::WriteOutcome Controller::BitReset(int port, int bit)
{
    if (!Writable(port) || !InRange(port, bit)) {
        return {kRefused, kRefused, std::nullopt};
    }
    return Step([&] { return Written(port, WriteBitUnconfirmed(port, bit, false)); });
}

Controller::WriteOutcome Controller::BitToggle(int port, int bit)
{
    if (!Writable(port) || !InRange(port, bit)) {
        return {kRefused, kRefused, std::nullopt};
    }
    return Step([&] {
        int result = BitTest(port, bit);
        if (result == GPIO_RESULT_BIT_HIGH) {
            result = WriteBitUnconfirmed(port, bit, false);
        } else if (result == GPIO_RESULT_BIT_LOW) {
            result = WriteBitUnconfirmed(port, bit, true);
        }
        return Written(port, result);
    });
}

Controller::WriteOutcome Controller::Written(int port, int result)
{
    WriteOutcome outcome{result, result, std::nullopt};
    int confirmed = GPIO_RESULT_OK;
    if (result == GPIO_RESULT_OK) {
        confirmed = outcome.readBack = ReadPort(port);
        if (confirmed == GPIO_RESULT_OK) {
            outcome.value = values_[port];
        }
    }
    // A write whose reply was lost may have been carried out all the same:
    // the port is read again, so that the confirmed value is what the
    // controller holds. A handle gone bad is opened anew instead, which
    // reads every port.
    if ((!Succeeded(result) || confirmed != GPIO_RESULT_OK) && open_ && !reopenNow_ &&
        ReadPort(port) == GPIO_RESULT_OK) {
        outcome.value = values_[port];
    }
    return outcome;
}

int Controller::Read(int port)
{
    if (!InRange(port, 0)) {
        return kRefused;
    }
    return Step([&] { return ReadPort(port); });
}

int Controller::WriteUnconfirmed(int port, std::uint8_t value)
{
    if (!InRange(port, 0)) {
        return kRefused;
    }
    return Step([&] { return Exchanged(calls_.output(handle_, static_cast<unsigned char>(port), value)); });
}

int Controller::WriteBitUnconfirmed(int port, int bit, bool level)
{
    if (!InRange(port, bit)) {
        return kRefused;
    }
    const auto where = static_cast<unsigned char>(port);
    const auto which = static_cast<unsigned char>(bit);
    return Step([&] { return Exchanged(level ? calls_.bitSet(handle_, where, which) : calls_.bitReset(handle_, where, which)); });
}

int Controller::BitTest(int port, int bit)
{
    if (!InRange(port, bit)) {
        return kRefused;
    }
    return Step([&] {
        return Exchanged(calls_.bitTest(handle_, static_cast<unsigned char>(port), static_cast<unsigned char>(bit)));
    });
}

int Controller::AskVersion()
{
    return Step([&] {
        char text[256] = "";
        const int result = Exchanged(calls_.version(handle_, text, sizeof(text)));
        if (result == GPIO_RESULT_OK) {
            text[sizeof(text) - 1] = '\0';
            version_ = text;
        }
        return result;
    });
}

// ---- Availability -----------------------------------------------------------

int Controller::Exchanged(int result)
{
    if (NoAnswer(result)) {
        ++failures_;
        ++failedExchanges_;
        // A handle the library no longer takes, or a port whose device has
        // gone (an adapter unplugged, a simulator restarted), will not
        // answer again: open the port anew instead of failing every
        // operation until the controller counts as lost.
        if (result == GPIO_RESULT_BAD_HANDLE ||
            (result == GPIO_RESULT_IO_ERROR && !calls_.portPresent(settings_.serialPort.c_str()))) {
            reopenNow_ = true;
        }
    } else {
        failures_ = 0;
        answered_ = true;
    }
    return result;
}

void Controller::CheckAvailability()
{
    if (online_ && reopenNow_) {
        log_.Warning("port-reopened", "the port " + settings_.serialPort + " stopped responding; opening it again");
        Reopen();
    } else if (online_ && failures_ >= kFailuresForOffline) {
        GoOffline();
    } else if (!online_ && answered_ && open_) {
        GoOnline();
    }
}

void Controller::Reopen()
{
    reopenNow_ = false;
    heldElsewhere_ = false;
    if (open_) {
        calls_.close(handle_);
        open_ = false;
    }
    nextReopen_ = now_() + kReopenInterval;
    const int opened = calls_.open(settings_.serialPort.c_str(), &handle_);
    if (opened != GPIO_RESULT_OK) {
        std::string why;
        heldElsewhere_ = calls_.whyOpenFailed(settings_.serialPort.c_str(), &why);
        const std::string problem = "cannot open the port " + settings_.serialPort + ": " + why;
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

void Controller::GoOnline()
{
    char text[256] = "";
    const int result = Exchanged(calls_.version(handle_, text, sizeof(text)));
    if (result != GPIO_RESULT_OK) {
        const std::string problem = "the controller on " + settings_.serialPort + " does not answer: " +
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
    text[sizeof(text) - 1] = '\0';
    lastOpenProblem_.clear();
    version_ = text;
    online_ = true;
    failures_ = 0;
    log_.Info("controller-online", "the controller on " + settings_.serialPort + " answers: " + version_);
    values_.clear();
    // What the program does on the news (gpio-mqtt's start rules) belongs
    // to this step: the availability is decided once, after it.
    ++holds_;
    ReadAllPorts();
    events_.WentOnline(version_);
    --holds_;
    const Clock::time_point now = now_();
    schedule_.Reset(settings_.ports, now);
    RestartCheck(now);
    CheckAvailability();
}

void Controller::GoOffline()
{
    online_ = false;
    reopenNow_ = false;
    nextReopen_ = now_() + kReopenInterval;
    log_.Warning("controller-offline", "the controller on " + settings_.serialPort + " stopped answering (" +
                                           std::to_string(failures_) +
                                           " failed exchanges in a row); opening the port again every second");
    events_.WentOffline();
}

// ---- State ------------------------------------------------------------------

int Controller::ReadPort(int port, bool check)
{
    unsigned char value = 0;
    const int result = Exchanged(calls_.input(handle_, static_cast<unsigned char>(port), &value));
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    const auto before = values_.find(port);
    if (check && before != values_.end() && before->second != value) {
        log_.Warning("port-changed", "port " + std::to_string(port) + " reads " + std::to_string(value) + ", not " +
                                         std::to_string(before->second) +
                                         " as last confirmed: the controller was reset or written by another program");
    }
    values_[port] = value;
    events_.PortRead(port, value, now_());
    return result;
}

void Controller::ReadAllPorts()
{
    for (const PortPlan &port : settings_.ports) {
        ReadPort(port.number);
    }
}

void Controller::RestartCheck(Clock::time_point now)
{
    checkIndex_ = 0;
    nextCheck_ = now + settings_.checkInterval;
}

// Reads the next port of the check. A round's ports are read one per Tick,
// so that commands and polls go between them.
void Controller::CheckStep(Clock::time_point now)
{
    const int port = checked_[checkIndex_ % checked_.size()];
    ReadPort(port, true);
    if (++checkIndex_ >= checked_.size()) {
        RestartCheck(now);
    } else {
        nextCheck_ = now;
    }
}

}  // namespace gpio_controller
