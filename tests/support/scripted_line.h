// A services table for tests: serial ports whose received bytes arrive on a
// script, a virtual clock that sleeps and idle waits advance at once, and a
// failure of any single call. Constructing a ScriptedLine installs it;
// destroying it restores the platform's table.
//
// A port is known by its name: "dev:COM3" (the open interface's path) and
// "probe:COM3" (the discovery probe's path) reach the same port, and as on
// a real system the open is exclusive, so a port that is open refuses a
// second open by either path.
#ifndef GPIOLINK_TESTS_SCRIPTED_LINE_H
#define GPIOLINK_TESTS_SCRIPTED_LINE_H

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/serial_services.h"

namespace gpiolink::testing {

using Bytes = std::vector<std::uint8_t>;

enum class Call {
    kOpen,
    kConfigure,
    kPurge,
    kCount,
    kRead,
    kWrite,
    kClose,
    kTick,
    kSleep,
    kWait,
    kListOpen,
    kListCount,
    kListRead,
    kListClose,
    kCallCount,
};

const char *CallName(Call call);

struct ScriptedPort;
class ScriptedLine;

// Called after every write to a port with the bytes that write took.
using WriteHook = std::function<void(ScriptedLine &line, ScriptedPort &port, const Bytes &taken)>;
// Called after every successful purge of a port.
using PurgeHook = std::function<void(ScriptedLine &line, ScriptedPort &port)>;

struct ScriptedPort {
    std::string path;  // as added; its name is the part after the prefix
    bool busy = false;  // held by someone else: opens fail
    std::uint64_t device = 0;  // the device behind it; 0: one of its own
    bool open = false;
    int opens = 0;      // times opened
    bool configured = false;
    ModemLines lines = ModemLines::kUntouched;
    struct Arrival {
        std::uint32_t at;
        std::uint8_t byte;
    };
    std::vector<Arrival> arrivals;  // in order of time, not yet read
    Bytes written;  // every byte taken since the port was opened
    WriteHook onWrite;
    PurgeHook onPurge;

    // Bytes that have arrived by `now` and wait to be read.
    std::uint32_t Waiting(std::uint32_t now) const;
};

class ScriptedLine {
public:
    ScriptedLine();
    ~ScriptedLine();
    ScriptedLine(const ScriptedLine &) = delete;
    ScriptedLine &operator=(const ScriptedLine &) = delete;

    // The line installed now.
    static ScriptedLine &Current();

    // Adds a port that opens at `path` (the full device path) and at the
    // other prefix with the same name. Any number of ports; each keeps its
    // place in memory. Adding a name twice aborts.
    ScriptedPort &AddPort(const std::string &path);
    // The port behind a handle, or nullptr.
    ScriptedPort *PortOf(PortHandle handle);
    // A handle for port `index` without going through open (receiver tests).
    PortHandle HandleOf(std::size_t index);
    ScriptedPort &Port(std::size_t index) { return ports_[index]; }

    // Schedules bytes to arrive on a port `delay` ms from now; successive
    // bytes of one call arrive together unless `spacing` is non-zero.
    void Arrive(ScriptedPort &port, const Bytes &bytes, std::uint32_t delay = 0, std::uint32_t spacing = 0);

    // The virtual clock. It starts just short of the 32-bit wrap, so every
    // time-out is also a test of the unsigned tick difference.
    std::uint32_t now = 0xFFFFFFC0U;

    // Makes call number `n` (1-based, counted from now) of `call` fail; with
    // `persistent` every later one fails too.
    void FailCall(Call call, int n, bool persistent = false);
    int Calls(Call call) const { return calls_[static_cast<std::size_t>(call)]; }
    // Removes every scheduled failure.
    void ClearFailures();

    // Makes the next idle wait return this many ms late, whatever arrives
    // meanwhile: the caller was not scheduled (a loaded machine, a stopped
    // process). Used once, then back to 0.
    std::uint32_t oversleepMs = 0;

    // The most bytes one write takes (partial writes); 0 takes all.
    std::uint32_t writeLimit = 0;

    int OpenPortCount() const;

    // The port list the library reads, in order; port names as the list
    // gives them (the probe prefixes them with "probe:").
    std::vector<std::string> portList;
    int openLists = 0;  // lists opened and not yet closed
    std::vector<std::string> openedPaths;

private:
    // Counts a call; false when the script makes this one fail.
    bool Enter(Call call);

    static PortHandle Open(const char *path);
    static void Configure(PortHandle port, ModemLines lines);
    static bool Purge(PortHandle port);
    static std::uint32_t Count(PortHandle port);
    static bool Read(PortHandle port, std::uint8_t *byte);
    static std::uint32_t Write(PortHandle port, const std::uint8_t *bytes, std::uint32_t count);
    static void Close(PortHandle port);
    static std::uint64_t Identify(PortHandle port, const char *devicePath);
    static std::uint32_t Tick();
    static void Sleep(std::uint32_t milliseconds);
    static void Wait(PortHandle port, std::uint32_t maxMilliseconds);
    static bool ListOpen(PortListHandle *list);
    static bool ListCount(PortListHandle list, std::uint32_t *count);
    static bool ListRead(PortListHandle list, std::uint32_t index, char *name);
    static void ListClose(PortListHandle list);

    std::deque<ScriptedPort> ports_;  // a deque: ports never move
    std::array<int, static_cast<std::size_t>(Call::kCallCount)> calls_{};
    std::array<int, static_cast<std::size_t>(Call::kCallCount)> failAt_{};
    std::array<bool, static_cast<std::size_t>(Call::kCallCount)> failPersistent_{};
};

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_SCRIPTED_LINE_H
