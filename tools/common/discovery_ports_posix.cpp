// The ports discovery would probe on Linux, found as the library finds
// them (src/link/port_list_linux.cpp) and sorted by its own order.
#include <sys/stat.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "discovery_ports.h"
#include "link/port_name_order.h"

namespace gpio_tools {
namespace {

constexpr std::size_t kMaxDiscoveredName = 19;
const char *const kTtyClass = "/sys/class/tty";

// The names that start the lines of /proc/consoles, which read
// "ttyS0                -W- (EC p a)    4:64".
std::set<std::string> Consoles()
{
    std::set<std::string> names;
    std::ifstream file("/proc/consoles");
    for (std::string line; std::getline(file, line);) {
        names.insert(line.substr(0, line.find_first_of(" \t")));
    }
    return names;
}

}  // namespace

// The ttys with a device behind them, less the ttyS ports that sysfs
// reports with no UART and the kernel's consoles, in the library's limits.
std::vector<std::string> DiscoveryPorts()
{
    std::vector<std::string> names;
    const std::set<std::string> consoles = Consoles();
    DIR *folder = opendir(kTtyClass);
    if (folder == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const std::string base = std::string(kTtyClass) + "/" + name;
        struct stat info {};
        if (name[0] == '.' || name.size() > kMaxDiscoveredName || consoles.count(name) != 0 ||
            stat((base + "/device").c_str(), &info) != 0) {
            continue;
        }
        std::string type;
        if (name.compare(0, 4, "ttyS") == 0 && std::getline(std::ifstream(base + "/type"), type) && type == "0") {
            continue;
        }
        names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end(), [](const std::string &left, const std::string &right) {
        return gpiolink::ComparePortNames(left.c_str(), right.c_str()) < 0;
    });
    return names;
}

}  // namespace gpio_tools
