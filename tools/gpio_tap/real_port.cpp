#include "real_port.h"

#include <termios.h>

#include "library_port.h"
#include "link/serial_services_posix.h"

namespace gpio_tap {

RealPort::~RealPort() { Close(); }

bool RealPort::Open(const std::string &name, std::string &error)
{
    Close();
    const gpiolink::SerialServices &os = gpiolink::Services();
    port_ = gpio_tools::OpenLibraryPort(name, error);
    if (port_ == gpiolink::InvalidPort()) {
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
