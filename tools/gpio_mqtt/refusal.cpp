#include "refusal.h"

#include "bridge_messages.h"

namespace gpio_mqtt {

std::string ResponseTopicProblem(const std::string &responseTopic, const std::string &replyPrefix)
{
    if (responseTopic.empty()) {
        return "a request wants an MQTT 5 Response Topic for its reply";
    }
    if (responseTopic.compare(0, replyPrefix.size(), replyPrefix) != 0 || responseTopic.size() == replyPrefix.size()) {
        return "the Response Topic is not below " + replyPrefix + ", where this bridge replies: not carried out";
    }
    if (responseTopic.find_first_of("+#") != std::string::npos) {
        return "the Response Topic holds a wildcard ('+' or '#'): not carried out";
    }
    return {};
}

void Refuse(Publisher &publisher, gpio_controller::Log &log, const Config &config, const Message &message,
            const std::string &reason, std::optional<int> result)
{
    log.Warning("command-refused", message.topic + ": " + reason);
    publisher.Publish(config.Base() + "/error", ErrorPayload(message.topic, message.payload, reason, result), false);
    if (message.topic == RequestTopic(config) && !result &&
        ResponseTopicProblem(message.responseTopic, config.replyPrefix).empty()) {
        publisher.Reply(message.responseTopic, message.correlation, RefusalReplyPayload(reason));
    }
}

}  // namespace gpio_mqtt
