// gpioctl watch, the parts without a terminal or a line: the watched
// ports with what the last polls found, which port to poll next, the keys
// that toggle an output bit, and the text of the screen and of the change
// lines.
#ifndef GPIOCTL_WATCH_MODEL_H
#define GPIOCTL_WATCH_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gpioctl {

// What the polls of one port found. Times are seconds on the caller's
// clock.
struct PortView {
    std::uint8_t port = 0;
    bool known = false;         // a poll has read it
    std::uint8_t value = 0;     // the last value read
    std::uint8_t changed = 0;   // the bits its last change flipped
    double changedAt = -1.0;    // when it last changed (or was first read)
    double polledAt = -1.0;     // when it was last polled
    int lastResult = 0;         // of the last poll
    unsigned long failures = 0; // polls that failed, all told
};

// The outcome of one poll, as the line mode reports it.
enum class PollChange { kNone, kValue, kFailing, kRecovered };

class WatchModel {
public:
    // A failing port is polled again only after this long, so that a
    // silent port (120 ms an exchange) leaves the line to the others.
    static constexpr double kFailingRetryS = 0.5;

    explicit WatchModel(const std::vector<std::uint8_t> &ports);

    // The index of the port to poll next: the ports in turn, skipping one
    // that failed until its retry is due; when none is due, the one due
    // first.
    std::size_t Next(double now);

    // How long to wait before a poll, so that a line where every port
    // fails (an unplugged adapter answers at once) is not polled in a
    // tight loop: 0 while any port is due.
    double WaitBefore(double now) const;

    // Records a poll of port `index` that ended at `now` with `result`
    // and, when it succeeded, `value`.
    PollChange Record(std::size_t index, int result, std::uint8_t value, double now);

    const std::vector<PortView> &Ports() const { return ports_; }

    // The index of a watched port number, or -1.
    int IndexOf(unsigned port) const;

    // Polls per second over the recent polls; 0 before two polls.
    double PollRate() const;

private:
    std::vector<PortView> ports_;
    std::size_t turn_ = 0;
    std::vector<double> recent_;  // end times of the last polls, oldest first
};

// Keys that toggle an output bit: the digits of a watched port number,
// then a bit 0-7. A digit that could go on with the number of another
// watched port does (with ports 1 and 12, "12" is port 12); a space ends
// the number ("1 2" is port 1, bit 2). Any other key starts over.
class ToggleKeys {
public:
    struct Toggle {
        bool ready = false;
        unsigned port = 0;
        unsigned bit = 0;
    };

    explicit ToggleKeys(const WatchModel &model) : model_(model) {}

    // Takes one key; a toggle is ready once its bit is typed.
    Toggle Take(char key);

    // What has been typed so far, for the screen ("" when nothing).
    std::string Prompt() const;

private:
    bool PortChosen() const;

    const WatchModel &model_;
    std::string digits_;
};

// The screen, drawn from its top left corner: a heading line with the
// port, the version text and the poll rate, then a row of 8 bits per port.
// Bits that changed within the last two seconds are shown in reverse
// video. `clock` gives a time as the wall-clock text to show. When the
// terminal has fewer rows than the screen needs, the ports that do not fit
// are counted on one line instead, so the screen never scrolls.
struct ScreenText {
    std::string portName;
    std::string version;  // already terminal-safe
    std::string prompt;   // the toggle keys typed so far
    std::string message;  // the outcome of the last toggle
    int rows = 0;         // the terminal's height; 0 when unknown
};
std::string RenderScreen(const WatchModel &model, const ScreenText &text, double now,
                         std::string (*clock)(double seconds));

// The line of a poll that changed something, as text or compact JSON, with
// `ms` since the start of the watch.
std::string ChangeLine(const PortView &view, PollChange change, double ms, bool json);

}  // namespace gpioctl

#endif  // GPIOCTL_WATCH_MODEL_H
