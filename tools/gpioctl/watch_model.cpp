#include "watch_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "gpiolink.h"
#include "text_output.h"

namespace gpioctl {
namespace {

// How many recent polls the poll rate is taken over.
constexpr std::size_t kRateWindow = 32;

// How long changed bits stay highlighted, long enough for an eye.
constexpr double kHighlightS = 2.0;

bool Failing(const PortView &view) { return view.polledAt >= 0.0 && view.lastResult != GPIO_RESULT_OK; }

std::string Bits(std::uint8_t value)
{
    std::string text;
    for (int bit = 7; bit >= 0; --bit) {
        text += ((value >> bit) & 1) != 0 ? '1' : '0';
    }
    return text;
}

std::string Hex(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

bool StartsWith(const std::string &text, const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

WatchModel::WatchModel(const std::vector<std::uint8_t> &ports)
{
    for (const std::uint8_t port : ports) {
        PortView view;
        view.port = port;
        ports_.push_back(view);
    }
}

std::size_t WatchModel::Next(double now)
{
    const std::size_t count = ports_.size();
    std::size_t soonest = turn_ % count;
    for (std::size_t step = 0; step < count; ++step) {
        const std::size_t index = (turn_ + step) % count;
        const PortView &view = ports_[index];
        if (!Failing(view) || now - view.polledAt >= kFailingRetryS) {
            turn_ = index + 1;
            return index;
        }
        if (view.polledAt < ports_[soonest].polledAt) {
            soonest = index;
        }
    }
    turn_ = soonest + 1;
    return soonest;
}

double WatchModel::WaitBefore(double now) const
{
    double wait = kFailingRetryS;
    for (const PortView &view : ports_) {
        if (!Failing(view)) {
            return 0.0;
        }
        wait = std::min(wait, view.polledAt + kFailingRetryS - now);
    }
    return std::max(wait, 0.0);
}

PollChange WatchModel::Record(std::size_t index, int result, std::uint8_t value, double now)
{
    PortView &view = ports_[index];
    const bool wasPolled = view.polledAt >= 0.0;
    const int previous = view.lastResult;
    view.polledAt = now;
    view.lastResult = result;
    recent_.push_back(now);
    if (recent_.size() > kRateWindow) {
        recent_.erase(recent_.begin());
    }
    if (result != GPIO_RESULT_OK) {
        ++view.failures;
        return !wasPolled || previous != result ? PollChange::kFailing : PollChange::kNone;
    }
    if (!view.known || view.value != value) {
        view.changed = view.known ? static_cast<std::uint8_t>(view.value ^ value) : 0;
        view.changedAt = now;
        view.value = value;
        view.known = true;
        return PollChange::kValue;
    }
    return wasPolled && previous != GPIO_RESULT_OK ? PollChange::kRecovered : PollChange::kNone;
}

int WatchModel::IndexOf(unsigned port) const
{
    for (std::size_t index = 0; index < ports_.size(); ++index) {
        if (ports_[index].port == port) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

double WatchModel::PollRate() const
{
    if (recent_.size() < 2 || recent_.back() <= recent_.front()) {
        return 0.0;
    }
    return static_cast<double>(recent_.size() - 1) / (recent_.back() - recent_.front());
}

bool ToggleKeys::PortChosen() const
{
    if (digits_.empty() || digits_.back() == ' ') {
        return !digits_.empty();
    }
    // Chosen unless another watched port's number goes on from these digits.
    bool exact = false;
    for (const PortView &view : model_.Ports()) {
        const std::string number = std::to_string(view.port);
        if (number == digits_) {
            exact = true;
        } else if (StartsWith(number, digits_)) {
            return false;
        }
    }
    return exact;
}

ToggleKeys::Toggle ToggleKeys::Take(char key)
{
    Toggle toggle;
    const bool digit = key >= '0' && key <= '9';
    if (key == ' ' && !digits_.empty() && digits_.back() != ' ' && model_.IndexOf(std::stoul(digits_)) >= 0) {
        digits_ += ' ';  // ends a port number that begins another's
        return toggle;
    }
    if (!digit) {
        digits_.clear();
        return toggle;
    }
    const auto begins = [this](const std::string &digits) {
        for (const PortView &view : model_.Ports()) {
            if (StartsWith(std::to_string(view.port), digits)) {
                return true;
            }
        }
        return false;
    };
    // The bit, once the port is plain or the digit cannot go on with its
    // number (port 2 of 2 and 240: "27" is port 2, bit 7).
    if (PortChosen() || (!digits_.empty() && !begins(digits_ + key) && model_.IndexOf(std::stoul(digits_)) >= 0)) {
        const auto bit = static_cast<unsigned>(key - '0');
        if (bit < 8) {
            toggle = {true, static_cast<unsigned>(std::stoul(digits_)), bit};
        }
        digits_.clear();
        return toggle;
    }
    for (const std::string &candidate : {digits_ + key, std::string(1, key)}) {
        if (begins(candidate)) {
            digits_ = candidate;
            return toggle;
        }
    }
    digits_.clear();
    return toggle;
}

std::string ToggleKeys::Prompt() const
{
    if (digits_.empty()) {
        return {};
    }
    std::string port = digits_;
    if (port.back() == ' ') {
        port.pop_back();
    }
    return PortChosen() ? "toggle: port " + port + ", bit 0-7?" : "toggle: port " + port + "...";
}

std::string RenderScreen(const WatchModel &model, const ScreenText &text, double now,
                         std::string (*clock)(double seconds))
{
    // Each line clears what an earlier, longer screen left behind.
    const std::string endLine = "\x1b[K\r\n";
    char line[160];
    std::snprintf(line, sizeof(line), "gpioctl watch: port %s, version \"%s\", %.1f polls/s", text.portName.c_str(),
                  text.version.c_str(), model.PollRate());
    std::string screen = "\x1b[H" + std::string(line) + endLine + endLine;
    screen += "port  7 6 5 4 3 2 1 0  value  last change   failed  state" + endLine;
    // Six lines are the heading, the column names and the three below the
    // ports, and the cursor ends on a seventh; one more line says how many
    // ports did not fit.
    const std::vector<PortView> &ports = model.Ports();
    std::size_t shown = ports.size();
    if (text.rows > 0 && ports.size() > static_cast<std::size_t>(std::max(text.rows - 7, 0))) {
        shown = static_cast<std::size_t>(std::max(text.rows - 8, 0));
    }
    for (std::size_t index = 0; index < shown; ++index) {
        const PortView &view = ports[index];
        std::snprintf(line, sizeof(line), "%4u ", view.port);
        screen += line;
        const bool fresh = view.changedAt >= 0.0 && now - view.changedAt < kHighlightS;
        for (int bit = 7; bit >= 0; --bit) {
            const bool changed = fresh && ((view.changed >> bit) & 1) != 0;
            const char level = !view.known ? '.' : ((view.value >> bit) & 1) != 0 ? '1' : '0';
            screen += changed ? std::string(" \x1b[7m") + level + "\x1b[0m" : std::string(" ") + level;
        }
        const std::string value = view.known ? Hex(view.value) : "--";
        const std::string when = view.changedAt >= 0.0 ? clock(view.changedAt) : "-";
        const char *state = view.polledAt < 0.0 ? "waiting" : view.lastResult == GPIO_RESULT_OK
                                                                  ? "ok"
                                                                  : gpiolink_result_name(view.lastResult);
        std::snprintf(line, sizeof(line), "  %-5s  %-12s %7lu  %s", value.c_str(), when.c_str(), view.failures, state);
        screen += line + endLine;
    }
    if (shown < ports.size()) {
        screen += std::to_string(ports.size() - shown) + " more ports do not fit: make the window taller" + endLine;
    }
    screen += endLine + "q quits; a port number, then a bit number, toggles that output bit" + endLine;
    screen += (text.prompt.empty() ? text.message : text.prompt) + endLine;
    return screen + "\x1b[J";
}

std::string ChangeLine(const PortView &view, PollChange change, double ms, bool json)
{
    char time[32];
    std::snprintf(time, sizeof(time), "%.1f", ms);
    const std::string port = std::to_string(view.port);
    // The time to a tenth of a millisecond, as the text shows it.
    gpio_tools::Json line = {{"ms", std::round(ms * 10.0) / 10.0}, {"port", view.port}};
    if (change == PollChange::kFailing) {
        const std::string failures = std::to_string(view.failures);
        if (json) {
            line["result"] = view.lastResult;
            line["name"] = gpiolink_result_name(view.lastResult);
            line["failures"] = view.failures;
            return gpio_tools::JsonLine(line);
        }
        return std::string(time) + " ms  port " + port + "  " + gpiolink_result_name(view.lastResult) + ": " +
               gpiolink_result_text(view.lastResult) + " (" + failures + " failed polls)";
    }
    const bool recovered = change == PollChange::kRecovered;
    if (json) {
        line["value"] = view.value;
        line["bits"] = Bits(view.value);
        line["changed"] = recovered ? 0 : view.changed;
        if (recovered) {
            line["recovered"] = true;
        }
        return gpio_tools::JsonLine(line);
    }
    return std::string(time) + " ms  port " + port + "  " + Hex(view.value) + "  " + Bits(view.value) +
           (recovered ? "  answers again" : view.changed == 0 ? "  first read" : "  changed " + Hex(view.changed));
}

}  // namespace gpioctl
