// The one way a command is answered when it is not carried out, or carried
// out and failed: a warning in the log, an error on <base>/error, and for a
// request the reply, when the Response Topic is one the bridge may write to.
//
// The bridge publishes with its own broker rights, so a request names its
// Response Topic only below the reply prefix ("replies/"), without a
// wildcard: otherwise any client that may send a request could make the
// bridge publish a forged state of any controller.
#ifndef GPIO_MQTT_REFUSAL_H
#define GPIO_MQTT_REFUSAL_H

#include <optional>
#include <string>

#include "bridge_config.h"
#include "event_log.h"
#include "publisher.h"
#include "work_queue.h"

namespace gpio_mqtt {

// Why the bridge will not reply on `responseTopic`; "" when it will.
std::string ResponseTopicProblem(const std::string &responseTopic, const std::string &replyPrefix);

// Refuses `message`: `result` is the controller's result code when it gave
// one (the request's reply then went out already with that result).
void Refuse(Publisher &publisher, gpio_controller::Log &log, const Config &config, const Message &message,
            const std::string &reason, std::optional<int> result);

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_REFUSAL_H
