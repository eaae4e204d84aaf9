#include "fixed_port_list.h"

#include <cstdlib>
#include <cstring>

namespace gpiolink::testing {
namespace {

constexpr std::size_t kMaxNames = 8;
constexpr std::size_t kNameSize = 32;

char g_names[kMaxNames][kNameSize];
std::uint32_t g_count = 0;

bool OpenList(PortListHandle *list)
{
    *list = g_names;
    return true;
}

bool CountList(PortListHandle, std::uint32_t *count)
{
    *count = g_count;
    return true;
}

bool ReadList(PortListHandle, std::uint32_t index, char *name)
{
    if (index >= g_count) {
        return false;
    }
    std::memcpy(name, g_names[index], kNameSize);
    return true;
}

void CloseList(PortListHandle) {}

}  // namespace

FixedPortList::FixedPortList(const std::vector<std::string> &names)
    : replaced_(Services()), replacedDefault_(&Services() == &DefaultServices())
{
    Set(names);
    SerialServices table = Services();
    table.openPortList = OpenList;
    table.countPortListEntries = CountList;
    table.readPortListEntry = ReadList;
    table.closePortList = CloseList;
    ReplaceServices(&table);
}

FixedPortList::~FixedPortList()
{
    ReplaceServices(replacedDefault_ ? nullptr : &replaced_);
    g_count = 0;
}

void FixedPortList::Set(const std::vector<std::string> &names)
{
    if (names.size() > kMaxNames) {
        std::abort();
    }
    g_count = 0;
    for (const std::string &name : names) {
        if (name.size() >= kNameSize) {
            std::abort();
        }
        std::memset(g_names[g_count], 0, kNameSize);
        std::memcpy(g_names[g_count], name.c_str(), name.size());
        ++g_count;
    }
}

}  // namespace gpiolink::testing
