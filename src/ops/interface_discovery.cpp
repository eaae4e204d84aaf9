// GPIO_ScanInterface: walks the system's serial ports and probes each with
// a version request until one identifies itself as the controller. It opens
// and closes its own probe ports and never touches the open interface.
#include <cstring>

#include "gpiolink.h"
#include "interface/line_after_failure.h"
#include "interface/request_exchange.h"
#include "link/bounded_string.h"
#include "ops/interface_discovery.h"
#include "link/frame_encoder.h"
#include "link/frame_receiver.h"
#include "link/serial_services.h"

namespace gpiolink {
namespace {

// The probe's path: the platform's short probe prefix and a discovered name.
constexpr std::size_t kProbePathSize = 64;
constexpr std::int32_t kProbeReplySize = 41;

// A controller's version reply: status 0x00, then text starting "GPIO-".
constexpr std::uint8_t kIdentification[] = {kStatusOk, 'G', 'P', 'I', 'O', '-'};
constexpr std::int32_t kMinimumIdentificationLength = 7;

}  // namespace

int ProbePort(const char *path)
{
    const SerialServices &os = Services();
    const PortHandle port = os.openPort(path);
    if (port == InvalidPort()) {
        return 0;
    }
    // The line settings of the interface, but the modem lines stay as they
    // were: the probe must not disturb whatever else hangs on the port.
    os.configureLine(port, ModemLines::kUntouched);
    if (!os.purgeReceiveQueue(port)) {
        os.closePort(port);
        return 0;
    }
    const std::uint8_t request[] = {kCommandVersion};
    BuildRequestFrame(request, sizeof(request));
    StuffFrame();
    int answer = 0;
    bool failed = false;
    std::uint32_t failedAt = 0;
    // A port that takes no bytes cannot be the controller.
    if (WriteFrame(port)) {
        std::uint8_t reply[kProbeReplySize];
        std::int32_t count = kProbeReplySize;
        const LinkResult outcome = ReceiveFrame(port, reply, count);
        if (outcome != FrameOk) {
            failed = true;
            failedAt = os.tickMilliseconds();
        }
        answer = outcome == FrameOk && count >= kMinimumIdentificationLength &&
                         std::memcmp(reply, kIdentification, sizeof(kIdentification)) == 0
                     ? 1
                     : 0;
    }
    os.sleepMilliseconds(kExchangePauseMs);
    // A controller that answered late, or whose reply came damaged, may
    // still be sending: the port is handed back only once the line has
    // fallen silent, so that its reply cannot reach the open that follows
    // a scan.
    if (failed) {
        AwaitSilence(os, port, failedAt);
    }
    os.closePort(port);
    return answer;
}

}  // namespace gpiolink

extern "C" GPIOLINK_API int GPIO_ScanInterface(char *portName)
{
    using namespace gpiolink;
    // A null buffer is refused before any port is opened.
    if (portName == nullptr) {
        return GPIO_RESULT_IO_ERROR;
    }
    const SerialServices &os = Services();
    PortListHandle list = nullptr;
    if (!os.openPortList(&list)) {
        return GPIO_RESULT_IO_ERROR;
    }
    std::uint32_t count = 0;
    if (!os.countPortListEntries(list, &count)) {
        os.closePortList(list);
        return GPIO_RESULT_IO_ERROR;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        char entry[kPortListEntrySize];
        if (!os.readPortListEntry(list, index, entry)) {
            os.closePortList(list);
            return GPIO_RESULT_IO_ERROR;
        }
        // A name longer than the platform reports is passed over whole: cut
        // short, it could name and probe a different port.
        char name[kMaxDiscoveredNameSize];
        const std::size_t nameRoom =
            os.discoveredNameSize < sizeof(name) ? os.discoveredNameSize : sizeof(name);
        char path[kProbePathSize];
        if (JoinBounded(name, nameRoom, "", entry) && JoinBounded(path, sizeof(path), os.probePathPrefix, name) &&
            ProbePort(path) == 1) {
            std::memcpy(portName, name, BoundedLength(name, sizeof(name)) + 1);
            break;
        }
        portName[0] = '\0';
    }
    os.closePortList(list);
    return GPIO_RESULT_OK;
}
