#include "own_pty.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port_link.h"
#include "pty_line.h"
#include "text_output.h"

namespace gpio_sim {
namespace {

// The pty with its link, which goes when the line is closed.
struct LinkedPty : PtyLine {
    gpio_tools::PortLink link;
};

// Gives the terminal its group and mode; false after saying why.
bool GiveAccess(const std::string &path, const TerminalAccess &access)
{
    if (!access.group.empty()) {
        group entry{};
        group *found = nullptr;
        char buffer[4096];
        if (getgrnam_r(access.group.c_str(), &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
            std::fprintf(stderr, "gpio-sim: --group: no group %s on this system\n",
                         gpio_tools::SafeText(access.group).c_str());
            return false;
        }
        if (chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0) {
            std::fprintf(stderr, "gpio-sim: --group: cannot give %s the group %s: %s\n", path.c_str(),
                         gpio_tools::SafeText(access.group).c_str(), std::strerror(errno));
            return false;
        }
    }
    if (access.mode >= 0 && chmod(path.c_str(), static_cast<mode_t>(access.mode)) != 0) {
        std::fprintf(stderr, "gpio-sim: --mode: cannot set the mode of %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

const bool kHasPseudoTerminals = true;

std::unique_ptr<SimLine> OpenOwnPty(const std::string &link, bool json, const TerminalAccess &access)
{
    auto line = std::make_unique<LinkedPty>();
    if (!GiveAccess(line->SlavePath(), access)) {
        return nullptr;
    }
    if (!link.empty() && !line->link.Create("gpio-sim", link, line->SlavePath())) {
        return nullptr;
    }
    gpio_tools::AnnouncePort(line->PortName(), line->SlavePath(), link, json);
    return line;
}

}  // namespace gpio_sim
