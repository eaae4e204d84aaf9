#include "real_port.h"

#include <termios.h>

#include "interface/current_interface.h"
#include "link/serial_services_posix.h"
#include "open_failure.h"

namespace gpio_tap {

std::string PortPath(const std::string &name)
{
    const gpiolink::SerialServices &os = gpiolink::Services();
    return os.rootedNamesArePaths && name.compare(0, 1, "/") == 0 ? name : os.devicePathPrefix + name;
}

RealPort::~RealPort() { Close(); }

bool RealPort::Open(const std::string &name, std::string &error)
{
    Close();
    const gpiolink::SerialServices &os = gpiolink::Services();
    // The names the library's open takes: a path, or a name below /dev/
    // that does not climb out of it.
    const std::string path = PortPath(name);
    if ((os.rootedNamesArePaths && name.compare(0, 1, "/") == 0) ||
        gpiolink::IsPlausiblePortName(name.c_str(), os.portNameForbidden)) {
        port_ = os.openPort(path.c_str());
    }
    if (port_ == gpiolink::InvalidPort()) {
        error = gpio_tools::DescribeOpenFailure(name);
        return false;
    }
    // Armed before the settings change, with the settings as found.
    gpio_tools::TerminalState found;
    found.fd = Descriptor();
    found.releaseExclusive = true;
    if (tcgetattr(found.fd, &found.settings) == 0) {
        restore_.emplace(found);
    }
    os.configureLine(port_, gpiolink::ModemLines::kDtrOnRtsOff);
    // Whatever the controller sent before the tap was there is no part of
    // the trace.
    os.purgeReceiveQueue(port_);
    return true;
}

int RealPort::Descriptor() const { return gpiolink::PortDescriptor(port_); }

void RealPort::Close()
{
    // The guard goes first: it must never act on a descriptor closed and
    // perhaps reused.
    restore_.reset();
    if (port_ != gpiolink::InvalidPort()) {
        gpiolink::Services().closePort(port_);
        port_ = gpiolink::InvalidPort();
    }
}

}  // namespace gpio_tap
