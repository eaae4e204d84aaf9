// "a, b, c": the names a message lists as the choices there are.
#ifndef GPIO_MQTT_NAMES_LIST_H
#define GPIO_MQTT_NAMES_LIST_H

#include <string>

namespace gpio_mqtt {

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

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_NAMES_LIST_H
