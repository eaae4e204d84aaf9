#include "own_pty.h"

#include "port_link.h"
#include "pty_line.h"

namespace gpio_sim {
namespace {

// The pty with its link, which goes when the line is closed.
struct LinkedPty : PtyLine {
    gpio_tools::PortLink link;
};

}  // namespace

const bool kHasPseudoTerminals = true;

std::unique_ptr<SimLine> OpenOwnPty(const std::string &link, bool json)
{
    auto line = std::make_unique<LinkedPty>();
    if (!link.empty() && !line->link.Create("gpio-sim", link, line->SlavePath())) {
        return nullptr;
    }
    gpio_tools::AnnouncePort(line->PortName(), line->SlavePath(), link, json);
    return line;
}

}  // namespace gpio_sim
