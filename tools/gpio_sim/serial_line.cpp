#include "serial_line.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "library_port.h"

namespace gpio_sim {
namespace {

// Ten bits on the line (start, eight data, stop) at 38400 baud.
constexpr auto kByteTime = std::chrono::microseconds(260);

// The step in which a Read looks for bytes: on Windows the services' wait
// for input is a plain pause, so a request waits at most this long.
constexpr std::uint32_t kLookMs = 2;

}  // namespace

std::unique_ptr<SerialLine> SerialLine::Open(const std::string &name, std::string &error)
{
    const gpiolink::PortHandle port = gpio_tools::OpenLibraryPort(name, error);
    if (port == gpiolink::InvalidPort()) {
        return nullptr;
    }
    const gpiolink::SerialServices &os = gpiolink::Services();
    os.configureLine(port, gpiolink::ModemLines::kDtrOnRtsOff);
    os.purgeReceiveQueue(port);
    return std::unique_ptr<SerialLine>(new SerialLine(port));
}

SerialLine::~SerialLine() { gpiolink::Services().closePort(port_); }

std::size_t SerialLine::Read(std::uint8_t *buffer, std::size_t size, int waitMs)
{
    const gpiolink::SerialServices &os = gpiolink::Services();
    const std::uint32_t start = os.tickMilliseconds();
    std::uint32_t waiting = os.countWaitingBytes(port_);
    while (waiting == 0 && os.tickMilliseconds() - start < static_cast<std::uint32_t>(std::max(waitMs, 0))) {
        os.waitForInput(port_, kLookMs);
        waiting = os.countWaitingBytes(port_);
    }
    std::size_t n = 0;
    while (n < std::min<std::size_t>(waiting, size) && os.readByte(port_, &buffer[n])) {
        ++n;
    }
    return n;
}

void SerialLine::Write(const gpio_tools::Bytes &bytes, bool pace)
{
    const gpiolink::SerialServices &os = gpiolink::Services();
    const std::size_t step = pace ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size();) {
        // The services bound each write to about a second; 0 is a line
        // that took nothing in that time.
        const std::uint32_t written =
            os.writeBytes(port_, bytes.data() + at, static_cast<std::uint32_t>(std::min(step, bytes.size() - at)));
        if (written == 0) {
            return;
        }
        at += written;
        if (pace && at < bytes.size()) {
            std::this_thread::sleep_for(kByteTime);
        }
    }
}

}  // namespace gpio_sim
