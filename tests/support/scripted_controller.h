// A controller on a scripted port: decodes each request frame the library
// writes (with the simulator's own decoder) and schedules the reply the
// test chooses.
#ifndef GPIOLINK_TESTS_SCRIPTED_CONTROLLER_H
#define GPIOLINK_TESTS_SCRIPTED_CONTROLLER_H

#include <functional>

#include "scripted_line.h"

namespace gpiolink::testing {

struct ScriptedReply {
    Bytes wire;              // bytes to deliver; empty for silence
    std::uint32_t delay = 2; // ms after the request
};

using Responder = std::function<ScriptedReply(const Bytes &requestPayload)>;

// Answers every request frame written to `port` from now on.
void AnswerRequests(ScriptedPort &port, Responder responder);

// A responder that answers every request with the reply frame of `payload`.
Responder ReplyWith(const Bytes &payload, std::uint32_t delay = 2);

// The request payloads written to `port` so far, decoded.
std::vector<Bytes> RequestsWritten(const ScriptedPort &port);

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_SCRIPTED_CONTROLLER_H
