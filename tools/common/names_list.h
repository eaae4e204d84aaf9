// "a, b, c": the names a message lists as the choices there are.
#ifndef GPIO_TOOLS_NAMES_LIST_H
#define GPIO_TOOLS_NAMES_LIST_H

#include <string>

namespace gpio_tools {

template <typename Names, typename NameOf>
std::string NamesList(const Names &names, NameOf nameOf)
{
    std::string list;
    for (const auto &name : names) {
        if (!list.empty()) {
            list += ", ";
        }
        list += nameOf(name);
    }
    return list;
}

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_NAMES_LIST_H
