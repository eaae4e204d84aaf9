#include "link/listed_ports.h"

#include <cstdint>

#include "link/serial_services.h"

namespace gpiolink {

void AddListedPorts(BoundedText &text, const char *intro, const char *none, std::size_t nameSize)
{
    const SerialServices &os = Services();
    PortListHandle list = nullptr;
    std::uint32_t count = 0;
    bool any = false;
    if (os.openPortList(&list)) {
        if (os.countPortListEntries(list, &count)) {
            for (std::uint32_t index = 0; index < count; ++index) {
                char name[kPortListEntrySize];
                if (os.readPortListEntry(list, index, name) && BoundedLength(name, nameSize) < nameSize) {
                    text.Add(any ? " " : intro).Add(name);
                    any = true;
                }
            }
        }
        os.closePortList(list);
    }
    if (!any) {
        text.Add(none);
    }
}

}  // namespace gpiolink
