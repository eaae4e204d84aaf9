#include "link/system_call_table.h"

#include <cstring>

namespace gpiolink {

bool ReplaceEntry(SystemCallEntry *table, std::size_t count, const char *name, SystemCall replacement)
{
    for (std::size_t i = 0; i < count; ++i) {
        SystemCallEntry &entry = table[i];
        if (name == nullptr) {
            entry.current = entry.system;
        } else if (std::strcmp(entry.name, name) == 0) {
            entry.current = replacement != nullptr ? replacement : entry.system;
            return true;
        }
    }
    return name == nullptr;
}

}  // namespace gpiolink
