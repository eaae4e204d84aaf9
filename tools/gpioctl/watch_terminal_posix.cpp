// gpioctl watch on a POSIX terminal: a thread polls the ports while the
// screen is redrawn and the keys are read on the main thread, so a slow or
// silent port (up to about 130 ms an exchange) never holds up the screen.
// The terminal is raw and on its alternate screen while the watch runs,
// and is restored on q, on SIGINT, SIGTERM or SIGHUP (which end the watch
// with status 0), on any error, and on every other signal that ends the
// process (which then ends it as that signal does).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "terminal_restore.h"
#include "text_output.h"
#include "watch.h"
#include "watch_model.h"

namespace gpioctl {
namespace {

using Clock = std::chrono::steady_clock;

// How often the screen is redrawn when no key comes.
constexpr int kRedrawMs = 100;

volatile std::sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

void OnStopSignal(int)
{
    g_stop = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_wakeWrite, &byte, 1);
}

bool WriteAll(const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What leaves the alternate screen: plain colours, the cursor shown, the
// screen from before the watch.
constexpr const char *kLeaveScreen = "\x1b[0m\x1b[?25h\x1b[?1049l";

// Raw keys, no echo and the alternate screen while it lives; the terminal
// as it was afterwards, even after a signal that ends the process.
class TerminalSession {
public:
    bool Enter()
    {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
            return false;
        }
        gpio_tools::TerminalState state;
        state.fd = STDIN_FILENO;
        state.settings = saved_;
        state.text = kLeaveScreen;
        state.textFd = STDOUT_FILENO;
        guard_.emplace(state);
        termios raw = saved_;
        // Ctrl-C and Ctrl-Z arrive as keys: the watch ends or ignores them
        // and never leaves the terminal raw behind a stopped process.
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
            guard_.reset();
            return false;
        }
        active_ = true;
        WriteAll("\x1b[?1049h\x1b[?25l\x1b[2J");
        return true;
    }
    ~TerminalSession()
    {
        if (active_) {
            WriteAll(kLeaveScreen);
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        }
    }

private:
    termios saved_{};
    bool active_ = false;
    std::optional<gpio_tools::RestoreOnFatalSignal> guard_;  // ends after the restore above
};

// What the polling thread and the screen share, under `mutex`.
struct Shared {
    explicit Shared(const std::vector<std::uint8_t> &ports) : model(ports) {}
    std::mutex mutex;
    WatchModel model;
    std::deque<ToggleKeys::Toggle> toggles;
    std::string message;
    bool stop = false;
};

double g_startWall = 0.0;  // the wall clock at the start, in seconds

// The wall-clock time of `seconds` into the watch, as HH:MM:SS.mmm.
std::string WallClock(double seconds)
{
    const double at = g_startWall + seconds;
    const auto whole = static_cast<std::time_t>(at);
    std::tm local{};
    localtime_r(&whole, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>((at - static_cast<double>(whole)) * 1000.0));
    return text;
}

void Poll(HANDLE handle, Shared &shared, Clock::time_point start)
{
    const auto now = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    for (;;) {
        ToggleKeys::Toggle toggle;
        std::size_t index = 0;
        std::uint8_t port = 0;
        double pause = 0.0;
        bool known = false;
        std::uint8_t value = 0;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (shared.stop) {
                return;
            }
            if (!shared.toggles.empty()) {
                toggle = shared.toggles.front();
                shared.toggles.pop_front();
                const PortView &view = shared.model.Ports()[static_cast<std::size_t>(shared.model.IndexOf(toggle.port))];
                known = view.known;
                value = view.value;
            } else if (const double wait = shared.model.WaitBefore(now()); wait > 0.0) {
                pause = std::min(wait, 0.1);
            } else {
                index = shared.model.Next(now());
                port = shared.model.Ports()[index].port;
            }
        }
        if (pause > 0.0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(pause));
            continue;
        }
        if (toggle.ready) {
            std::string message = "port " + std::to_string(toggle.port) + " not read yet: nothing to toggle";
            if (known) {
                const auto next = static_cast<std::uint8_t>(value ^ (1U << toggle.bit));
                const int result = GPIO_Output(handle, static_cast<unsigned char>(toggle.port), next);
                char text[128];
                std::snprintf(text, sizeof(text), "output port %u value 0x%02X (bit %u toggled): %s", toggle.port,
                              next, toggle.bit, gpiolink_result_name(result));
                message = text;
            }
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.message = message;
            continue;
        }
        unsigned char read = 0;
        const int result = GPIO_Input(handle, port, &read);
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.model.Record(index, result, read, now());
    }
}

// Stops and joins the polling thread however the screen loop ends.
class PollThread {
public:
    // The thread takes no signal sent to the process: the handlers run on
    // the screen's thread, so a restore after a fatal signal never meets a
    // screen being drawn beside it. Faults stay its own.
    PollThread(HANDLE handle, Shared &shared, Clock::time_point start) : shared_(shared)
    {
        sigset_t sent;
        sigfillset(&sent);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
            sigdelset(&sent, fault);
        }
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &sent, &previous);
        thread_ = std::thread(Poll, handle, std::ref(shared), start);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~PollThread()
    {
        {
            std::lock_guard<std::mutex> lock(shared_.mutex);
            shared_.stop = true;
        }
        thread_.join();
    }
    PollThread(const PollThread &) = delete;
    PollThread &operator=(const PollThread &) = delete;

private:
    Shared &shared_;
    std::thread thread_;
};

// Takes the keys waiting on the terminal; false when the watch is to end.
bool TakeKeys(Shared &shared, ToggleKeys &keys)
{
    char input[64];
    const ssize_t n = read(STDIN_FILENO, input, sizeof(input));
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (n == 0) {
        return false;  // the terminal hung up
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    for (ssize_t i = 0; i < n; ++i) {
        const char key = input[i];
        if (key == 'q' || key == 'Q' || key == 0x03 || key == 0x04) {
            return false;
        }
        const ToggleKeys::Toggle toggle = keys.Take(key);
        if (toggle.ready) {
            shared.toggles.push_back(toggle);
            shared.message = "toggling port " + std::to_string(toggle.port) + " bit " + std::to_string(toggle.bit);
        }
    }
    return true;
}

int RunScreen(HANDLE handle, const WatchOptions &options, const std::string &version, int wakeRead)
{
    TerminalSession terminal;
    if (!terminal.Enter()) {
        return -1;
    }
    const Clock::time_point start = Clock::now();
    g_startWall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    Shared shared(options.ports);
    ToggleKeys keys(shared.model);
    PollThread poller(handle, shared, start);
    ScreenText text{gpio_tools::SafeText(options.portName), version, "", ""};
    while (g_stop == 0) {
        std::string screen;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            text.prompt = keys.Prompt();
            text.message = shared.message;
            winsize size{};
            text.rows = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
            screen = RenderScreen(shared.model, text, std::chrono::duration<double>(Clock::now() - start).count(),
                                  WallClock);
        }
        if (!WriteAll(screen)) {
            return 1;
        }
        pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (poll(entries, 2, kRedrawMs) < 0 && errno != EINTR) {
            return 1;
        }
        if ((entries[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return 1;
        }
        if ((entries[0].revents & POLLIN) != 0 && !TakeKeys(shared, keys)) {
            break;
        }
    }
    return 0;
}

}  // namespace

int WatchOnTerminal(HANDLE handle, const WatchOptions &options, const std::string &version)
{
    if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
        return -1;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    g_wakeWrite = wake[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous[3];
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) {
        sigaction(signals[i], &action, &previous[i]);
    }
    const int status = RunScreen(handle, options, version, wake[0]);
    for (int i = 0; i < 3; ++i) {
        sigaction(signals[i], &previous[i], nullptr);
    }
    g_wakeWrite = -1;
    close(wake[0]);
    close(wake[1]);
    return status;
}

}  // namespace gpioctl
