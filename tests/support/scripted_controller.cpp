#include "scripted_controller.h"

#include <memory>

#include "wire_codec.h"

namespace gpiolink::testing {

void AnswerRequests(ScriptedPort &port, Responder responder)
{
    auto decoder = std::make_shared<gpio_tools::FrameDecoder>();
    port.onWrite = [decoder, responder](ScriptedLine &line, ScriptedPort &self, const Bytes &taken) {
        for (std::uint8_t byte : taken) {
            gpio_tools::DecodedFrame frame;
            if (decoder->Push(byte, frame) && frame.crcOk) {
                const ScriptedReply reply = responder(frame.payload);
                line.Arrive(self, reply.wire, reply.delay);
            }
        }
    };
}

Responder ReplyWith(const Bytes &payload, std::uint32_t delay)
{
    const Bytes wire = gpio_tools::EncodeReply(payload);
    return [wire, delay](const Bytes &) { return ScriptedReply{wire, delay}; };
}

std::vector<Bytes> RequestsWritten(const ScriptedPort &port)
{
    std::vector<Bytes> payloads;
    gpio_tools::FrameDecoder decoder;
    gpio_tools::DecodedFrame frame;
    for (std::uint8_t byte : port.written) {
        if (decoder.Push(byte, frame)) {
            payloads.push_back(frame.payload);
        }
    }
    return payloads;
}

}  // namespace gpiolink::testing
