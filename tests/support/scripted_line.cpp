#include "scripted_line.h"

#include <cstdlib>
#include <cstring>

namespace gpiolink::testing {
namespace {

ScriptedLine *g_current = nullptr;

// Scripted handles are small made-up pointer values, one per port.
constexpr std::uintptr_t kHandleBase = 0x1000;

constexpr char kDevicePrefix[] = "dev:";
constexpr char kProbePrefix[] = "probe:";

// The port name in a scripted path: what follows either prefix.
std::string PortName(const std::string &path)
{
    for (const char *prefix : {kDevicePrefix, kProbePrefix}) {
        const std::size_t length = std::strlen(prefix);
        if (path.compare(0, length, prefix) == 0) {
            return path.substr(length);
        }
    }
    return path;
}

}  // namespace

const char *CallName(Call call)
{
    static const char *const kNames[] = {"open",  "configure", "purge", "count",     "read",      "write",
                                         "close", "tick",      "sleep", "wait",      "list open", "list count",
                                         "list read", "list close"};
    return kNames[static_cast<std::size_t>(call)];
}

std::uint32_t ScriptedPort::Waiting(std::uint32_t now) const
{
    std::uint32_t count = 0;
    for (const Arrival &arrival : arrivals) {
        // Times are compared as signed distances, across the tick's wrap.
        if (static_cast<std::int32_t>(now - arrival.at) < 0) {
            break;
        }
        ++count;
    }
    return count;
}

ScriptedLine::ScriptedLine()
{
    if (g_current != nullptr) {
        std::abort();  // one scripted line at a time
    }
    g_current = this;
    SerialServices table = DefaultServices();
    table.devicePathPrefix = kDevicePrefix;
    table.probePathPrefix = kProbePrefix;
    table.portNameForbidden = "\\";
    // Windows' name limits on every platform, so that the name tests mean
    // the same in both builds; a test of the POSIX policy sets its own.
    table.devicePathSize = 20;
    table.rootedNamesArePaths = false;
    table.discoveredNameSize = 8;
    table.openPort = Open;
    table.configureLine = Configure;
    table.purgeReceiveQueue = Purge;
    table.countWaitingBytes = Count;
    table.readByte = Read;
    table.writeBytes = Write;
    table.closePort = Close;
    table.identifyPort = Identify;
    table.tickMilliseconds = Tick;
    table.sleepMilliseconds = Sleep;
    table.waitForInput = Wait;
    table.openPortList = ListOpen;
    table.countPortListEntries = ListCount;
    table.readPortListEntry = ListRead;
    table.closePortList = ListClose;
    ReplaceServices(&table);
}

ScriptedLine::~ScriptedLine()
{
    ReplaceServices(nullptr);
    g_current = nullptr;
}

ScriptedLine &ScriptedLine::Current() { return *g_current; }

ScriptedPort &ScriptedLine::AddPort(const std::string &path)
{
    for (const ScriptedPort &port : ports_) {
        if (PortName(port.path) == PortName(path)) {
            std::abort();  // one port per name
        }
    }
    ports_.push_back(ScriptedPort{});
    ports_.back().path = path;
    return ports_.back();
}

ScriptedPort *ScriptedLine::PortOf(PortHandle handle)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < kHandleBase || value >= kHandleBase + ports_.size()) {
        return nullptr;
    }
    return &ports_[value - kHandleBase];
}

PortHandle ScriptedLine::HandleOf(std::size_t index) { return reinterpret_cast<PortHandle>(kHandleBase + index); }

std::uint64_t ScriptedLine::Identify(PortHandle handle, const char * /*devicePath*/)
{
    // One handle a port: its place in the line names it, unless the test
    // put two names on one device.
    const ScriptedPort *port = Current().PortOf(handle);
    if (port == nullptr) {
        return 0;
    }
    return port->device != 0 ? port->device : reinterpret_cast<std::uintptr_t>(handle) - kHandleBase + 1;
}

void ScriptedLine::Arrive(ScriptedPort &port, const Bytes &bytes, std::uint32_t delay, std::uint32_t spacing)
{
    std::uint32_t at = now + delay;
    for (std::uint8_t byte : bytes) {
        port.arrivals.push_back({at, byte});
        at += spacing;
    }
}

void ScriptedLine::FailCall(Call call, int n, bool persistent)
{
    const auto index = static_cast<std::size_t>(call);
    failAt_[index] = calls_[index] + n;
    failPersistent_[index] = persistent;
}

void ScriptedLine::ClearFailures()
{
    failAt_.fill(0);
    failPersistent_.fill(false);
}

int ScriptedLine::OpenPortCount() const
{
    int count = 0;
    for (const ScriptedPort &port : ports_) {
        count += port.open ? 1 : 0;
    }
    return count;
}

bool ScriptedLine::Enter(Call call)
{
    const auto index = static_cast<std::size_t>(call);
    const int number = ++calls_[index];
    const int failAt = failAt_[index];
    if (failAt == 0) {
        return true;
    }
    return failPersistent_[index] ? number < failAt : number != failAt;
}

PortHandle ScriptedLine::Open(const char *path)
{
    ScriptedLine &line = Current();
    line.openedPaths.emplace_back(path);
    if (!line.Enter(Call::kOpen)) {
        return InvalidPort();
    }
    for (std::size_t i = 0; i < line.ports_.size(); ++i) {
        ScriptedPort &port = line.ports_[i];
        if (PortName(port.path) == PortName(path)) {
            if (port.busy || port.open) {
                return InvalidPort();
            }
            port.open = true;
            ++port.opens;
            port.written.clear();
            return line.HandleOf(i);
        }
    }
    return InvalidPort();
}

void ScriptedLine::Configure(PortHandle handle, ModemLines lines)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    if (line.Enter(Call::kConfigure) && port != nullptr) {
        port->configured = true;
        port->lines = lines;
    }
}

bool ScriptedLine::Purge(PortHandle handle)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    if (!line.Enter(Call::kPurge) || port == nullptr || !port->open) {
        return false;
    }
    const std::uint32_t waiting = port->Waiting(line.now);
    port->arrivals.erase(port->arrivals.begin(), port->arrivals.begin() + waiting);
    if (port->onPurge) {
        port->onPurge(line, *port);
    }
    return true;
}

std::uint32_t ScriptedLine::Count(PortHandle handle)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    if (!line.Enter(Call::kCount) || port == nullptr) {
        return 0;
    }
    return port->Waiting(line.now);
}

bool ScriptedLine::Read(PortHandle handle, std::uint8_t *byte)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    if (!line.Enter(Call::kRead) || port == nullptr || port->Waiting(line.now) == 0) {
        return false;
    }
    *byte = port->arrivals.front().byte;
    port->arrivals.erase(port->arrivals.begin());
    return true;
}

std::uint32_t ScriptedLine::Write(PortHandle handle, const std::uint8_t *bytes, std::uint32_t count)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    if (!line.Enter(Call::kWrite) || port == nullptr || !port->open) {
        return 0;
    }
    const std::uint32_t taken = line.writeLimit != 0 && line.writeLimit < count ? line.writeLimit : count;
    const Bytes chunk(bytes, bytes + taken);
    port->written.insert(port->written.end(), chunk.begin(), chunk.end());
    if (port->onWrite) {
        port->onWrite(line, *port, chunk);
    }
    return taken;
}

void ScriptedLine::Close(PortHandle handle)
{
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    line.Enter(Call::kClose);
    if (port != nullptr) {
        port->open = false;
    }
}

std::uint32_t ScriptedLine::Tick()
{
    ScriptedLine &line = Current();
    line.Enter(Call::kTick);
    return line.now;
}

void ScriptedLine::Sleep(std::uint32_t milliseconds)
{
    ScriptedLine &line = Current();
    line.Enter(Call::kSleep);
    line.now += milliseconds;
}

void ScriptedLine::Wait(PortHandle handle, std::uint32_t maxMilliseconds)
{
    // Like poll(): returns at the first arrival within the interval.
    ScriptedLine &line = Current();
    ScriptedPort *port = line.PortOf(handle);
    line.Enter(Call::kWait);
    std::uint32_t step = maxMilliseconds;
    if (port != nullptr) {
        const std::uint32_t waiting = port->Waiting(line.now);
        if (waiting < port->arrivals.size()) {
            const std::uint32_t until = port->arrivals[waiting].at - line.now;
            step = until < step ? until : step;
        }
    }
    line.now += step + line.oversleepMs;
    line.oversleepMs = 0;
}

}  // namespace gpiolink::testing

namespace gpiolink::testing {

// The scripted list handle is the line itself.
bool ScriptedLine::ListOpen(PortListHandle *list)
{
    ScriptedLine &line = Current();
    if (!line.Enter(Call::kListOpen)) {
        return false;
    }
    ++line.openLists;
    *list = &line;
    return true;
}

bool ScriptedLine::ListCount(PortListHandle list, std::uint32_t *count)
{
    ScriptedLine &line = Current();
    if (!line.Enter(Call::kListCount) || list != &line) {
        return false;
    }
    *count = static_cast<std::uint32_t>(line.portList.size());
    return true;
}

bool ScriptedLine::ListRead(PortListHandle list, std::uint32_t index, char *name)
{
    ScriptedLine &line = Current();
    if (!line.Enter(Call::kListRead) || list != &line || index >= line.portList.size()) {
        return false;
    }
    const std::string &entry = line.portList[index];
    if (entry.size() >= kPortListEntrySize) {
        return false;
    }
    std::memcpy(name, entry.c_str(), entry.size() + 1);
    return true;
}

void ScriptedLine::ListClose(PortListHandle list)
{
    ScriptedLine &line = Current();
    line.Enter(Call::kListClose);
    if (list == &line) {
        --line.openLists;
    }
}

}  // namespace gpiolink::testing
