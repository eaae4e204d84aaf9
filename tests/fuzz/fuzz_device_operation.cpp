// Fuzzes whole device operations: the request goes out on a scripted port
// and the fuzz input is what comes back.
//
// Input: the operation (GPIO_Input, GPIO_BitTest, GPIO_GetVersion,
// GPIO_Output, GPIO_BitSet, GPIO_BitReset, by the first byte modulo 6), the
// port, the bit or value, two bytes of version buffer size (little-endian,
// reduced to -600..600), the timing (low seven bits: milliseconds from the
// request to the first reply byte; top bit: 1 ms between reply bytes rather
// than none), how many of the reply bytes are stale (they arrive before the
// request, so the purge must discard them), then the reply bytes.
//
// Checked on every input: the result is one the operation may give; the
// request on the wire is the operation's; the value or version buffer is
// written only on its documented paths and never past its size. When the
// reply is plain enough for the simulated controller's decoder to read the
// way the receiver does (no unknown escape sequence, no frame longer than
// the receive buffer) the result and the output must be exactly those its
// first frame for the host calls for.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "fuzz_check.h"
#include "gpiolink.h"
#include "interface/request_exchange.h"
#include "link/frame_format.h"
#include "link/frame_receiver.h"
#include "scripted_line.h"
#include "wire_codec.h"

namespace {

using gpio_tools::Bytes;
using gpiolink::testing::ScriptedLine;
using gpiolink::testing::ScriptedPort;

enum class Operation { kInput, kBitTest, kGetVersion, kOutput, kBitSet, kBitReset };

constexpr std::size_t kHeaderSize = 7;
constexpr std::size_t kMostReplyBytes = 2048;
constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kFill = 0xA5;
// The reply room of the port and bit operations: their work buffer.
constexpr auto kWorkRoom = static_cast<std::int32_t>(gpiolink::kWorkBufferSize);

// The longest unstuffed body (addresses, payload, CRC) the receive buffer
// holds whole.
constexpr std::size_t kLongestWholeBody = gpiolink::kReceiveBufferSize - 2;

struct Input {
    Operation operation;
    std::uint8_t port;
    std::uint8_t argument;  // bit or value
    std::int32_t bufferSize;
    std::uint32_t delay;
    std::uint32_t spacing;
    Bytes stale;
    Bytes reply;
};

Input Parse(const std::uint8_t *data, std::size_t size)
{
    Input input;
    input.operation = static_cast<Operation>(data[0] % 6);
    input.port = data[1];
    input.argument = data[2];
    input.bufferSize = static_cast<std::int16_t>(data[3] | (data[4] << 8)) % 601;
    input.delay = data[5] & 0x7FU;
    input.spacing = data[5] >> 7;
    const std::size_t rest = size - kHeaderSize < kMostReplyBytes ? size - kHeaderSize : kMostReplyBytes;
    const std::size_t stale = data[6] < rest ? data[6] : rest;
    input.stale.assign(data + kHeaderSize, data + kHeaderSize + stale);
    input.reply.assign(data + kHeaderSize + stale, data + kHeaderSize + rest);
    return input;
}

Bytes ExpectedRequest(const Input &input)
{
    switch (input.operation) {
    case Operation::kInput:
        return {'I', input.port};
    case Operation::kBitTest:
        return {'T', input.port, input.argument};
    case Operation::kGetVersion:
        return {'V'};
    case Operation::kOutput:
        return {'O', input.port, input.argument};
    case Operation::kBitSet:
        return {'B', 'S', input.port, input.argument};
    case Operation::kBitReset:
        return {'B', 'C', input.port, input.argument};
    }
    return {};
}

bool ResultAllowed(Operation operation, int result)
{
    switch (result) {
    case GPIO_RESULT_OK:
        return operation != Operation::kBitTest;
    case GPIO_RESULT_BIT_HIGH:
    case GPIO_RESULT_BIT_LOW:
        return operation == Operation::kBitTest;
    case GPIO_RESULT_DEVICE_FF:
    case GPIO_RESULT_IO_ERROR:
    case GPIO_RESULT_TIMEOUT:
    case GPIO_RESULT_DEVICE_FE:
    case GPIO_RESULT_UNEXPECTED:
        return true;
    default:
        // The handle is the open interface and the port purges: never
        // GPIO_RESULT_BAD_HANDLE, and never a code outside 0..8.
        return false;
    }
}

std::vector<gpio_tools::DecodedFrame> Decode(const Bytes &wire)
{
    std::vector<gpio_tools::DecodedFrame> frames;
    gpio_tools::FrameDecoder decoder;
    gpio_tools::DecodedFrame frame;
    for (std::uint8_t byte : wire) {
        if (decoder.Push(byte, frame)) {
            frames.push_back(frame);
        }
    }
    return frames;
}

bool IsKnownEscape(std::uint8_t byte)
{
    return byte == gpiolink::kEscapedStx || byte == gpiolink::kEscapedEtx || byte == gpiolink::kEscapedEscape ||
           byte == gpiolink::kStx || byte == gpiolink::kEtx;
}

// The reply without its unknown escape sequences, which the receiver drops
// and the controller's decoder refuses.
Bytes WithoutUnknownEscapes(const Bytes &wire, bool &hadAny)
{
    hadAny = false;
    Bytes out;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == gpiolink::kEscape && i + 1 < wire.size() && !IsKnownEscape(wire[i + 1])) {
            hadAny = true;
            ++i;
            continue;
        }
        out.push_back(wire[i]);
    }
    return out;
}

bool ForHost(const gpio_tools::DecodedFrame &frame) { return frame.address1 == gpiolink::kReplyAddress1; }

bool Whole(const gpio_tools::DecodedFrame &frame) { return frame.payload.size() + 4 <= kLongestWholeBody; }

// What the operation must give for a reply that is its first frame for the
// host (nullptr: none came), and what it leaves in the output.
struct Expectation {
    int result = GPIO_RESULT_TIMEOUT;
    std::optional<std::uint8_t> value;  // GPIO_Input's *value
    std::optional<Bytes> buffer;        // GPIO_GetVersion's buffer, written part
};

Expectation Expect(const Input &input, const gpio_tools::DecodedFrame *frame)
{
    Expectation expected;
    if (frame == nullptr) {
        return expected;
    }
    if (!frame->crcOk) {
        expected.result = GPIO_RESULT_IO_ERROR;
        return expected;
    }
    const Bytes &payload = frame->payload;
    const std::int32_t room = input.operation == Operation::kGetVersion ? input.bufferSize : kWorkRoom;
    const auto length = static_cast<std::int32_t>(payload.size());
    const std::int32_t copied = length < room ? length : room;
    if (copied < 1) {
        expected.result = GPIO_RESULT_UNEXPECTED;
        return expected;
    }
    expected.result = gpiolink::ResultOfStatus(payload[0]);
    if (input.operation == Operation::kGetVersion) {
        Bytes written(payload.begin(), payload.begin() + copied);
        if (expected.result == GPIO_RESULT_OK) {
            written.erase(written.begin());
            written.push_back(0);
        }
        expected.buffer = written;
        return expected;
    }
    if (expected.result != GPIO_RESULT_OK) {
        return expected;
    }
    if (input.operation == Operation::kInput || input.operation == Operation::kBitTest) {
        if (copied < 2) {
            expected.result = GPIO_RESULT_UNEXPECTED;
        } else if (input.operation == Operation::kInput) {
            expected.value = payload[1];
        } else {
            expected.result = payload[1] == 'H'   ? GPIO_RESULT_BIT_HIGH
                              : payload[1] == 'L' ? GPIO_RESULT_BIT_LOW
                                                  : GPIO_RESULT_UNEXPECTED;
        }
    }
    return expected;
}

// Guarded output: `room` bytes the operation may write, fill around them.
struct Guarded {
    explicit Guarded(std::size_t room) : room(room), bytes(kGuard + room + kGuard, kFill) {}
    std::uint8_t *Inside() { return bytes.data() + kGuard; }
    bool GuardsIntact() const
    {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if ((i < kGuard || i >= kGuard + room) && bytes[i] != kFill) {
                return false;
            }
        }
        return true;
    }
    bool Untouched() const
    {
        for (std::uint8_t byte : bytes) {
            if (byte != kFill) {
                return false;
            }
        }
        return true;
    }
    std::size_t room;
    std::vector<std::uint8_t> bytes;
};

int Run(const Input &input, HANDLE handle, Guarded &value, Guarded &buffer)
{
    switch (input.operation) {
    case Operation::kInput:
        return GPIO_Input(handle, input.port, value.Inside());
    case Operation::kBitTest:
        return GPIO_BitTest(handle, input.port, input.argument);
    case Operation::kGetVersion:
        return GPIO_GetVersion(handle, reinterpret_cast<char *>(buffer.Inside()), input.bufferSize);
    case Operation::kOutput:
        return GPIO_Output(handle, input.port, input.argument);
    case Operation::kBitSet:
        return GPIO_BitSet(handle, input.port, input.argument);
    case Operation::kBitReset:
        return GPIO_BitReset(handle, input.port, input.argument);
    }
    return -1;
}

void CheckRequest(const ScriptedPort &port, const Input &input)
{
    const std::vector<gpio_tools::DecodedFrame> written = Decode(port.written);
    FUZZ_CHECK(written.size() == 1, "not exactly one request frame written");
    FUZZ_CHECK(written[0].crcOk && written[0].address0 == gpiolink::kRequestAddress0 &&
                   written[0].address1 == gpiolink::kRequestAddress1,
               "request frame with a bad CRC or address");
    FUZZ_CHECK(written[0].payload == ExpectedRequest(input), "request payload is not the operation's");
    FUZZ_CHECK(gpio_tools::EncodeRequest(written[0].payload) == port.written, "request not stuffed as encoded");
}

// Without an exact expectation: a success must at least come from a frame
// that was on the wire.
void CheckSuccessHasFrame(const Input &input, int result, const Guarded &value, const Guarded &buffer)
{
    bool unknownEscapes = false;
    const std::vector<gpio_tools::DecodedFrame> frames = Decode(WithoutUnknownEscapes(input.reply, unknownEscapes));
    for (const gpio_tools::DecodedFrame &frame : frames) {
        if (ForHost(frame) && !Whole(frame)) {
            return;  // judged by the receiver on the bytes its buffer kept
        }
    }
    if (result != GPIO_RESULT_OK && result != GPIO_RESULT_BIT_HIGH && result != GPIO_RESULT_BIT_LOW) {
        return;
    }
    bool found = false;
    for (const gpio_tools::DecodedFrame &frame : frames) {
        if (!ForHost(frame) || !frame.crcOk) {
            continue;
        }
        const Expectation expected = Expect(input, &frame);
        found = found || (expected.result == result &&
                          (!expected.value || *expected.value == value.bytes[kGuard]) &&
                          (!expected.buffer || std::memcmp(expected.buffer->data(), buffer.bytes.data() + kGuard,
                                                           expected.buffer->size()) == 0));
    }
    FUZZ_CHECK(found, "success without a CRC-valid frame for the host that carries it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < kHeaderSize) {
        return 0;
    }
    const Input input = Parse(data, size);

    ScriptedLine line;
    ScriptedPort &port = line.AddPort("dev:fuzz");
    line.Arrive(port, input.stale);
    port.onWrite = [&input](ScriptedLine &self, ScriptedPort &written, const Bytes &) {
        if (written.written.size() == gpio_tools::EncodeRequest(ExpectedRequest(input)).size()) {
            self.Arrive(written, input.reply, input.delay, input.spacing);
        }
    };
    HANDLE handle = nullptr;
    FUZZ_CHECK(GPIO_OpenInterface("fuzz", &handle) == GPIO_RESULT_OK, "the scripted port did not open");

    Guarded value(1);
    const std::size_t bufferRoom =
        input.operation == Operation::kGetVersion && input.bufferSize > 0 ? static_cast<std::size_t>(input.bufferSize)
                                                                           : 0;
    Guarded buffer(bufferRoom);
    const int result = Run(input, handle, value, buffer);
    FUZZ_CHECK(GPIO_CloseInterface(handle) == GPIO_RESULT_OK, "the interface did not close");

    FUZZ_CHECK(ResultAllowed(input.operation, result), "result not allowed for the operation");
    CheckRequest(port, input);
    FUZZ_CHECK(value.GuardsIntact() && buffer.GuardsIntact(), "output written past its size");
    FUZZ_CHECK(result == GPIO_RESULT_OK || value.Untouched(), "value written without success");
    if (input.operation == Operation::kGetVersion) {
        if (input.bufferSize <= 0) {
            FUZZ_CHECK(result == GPIO_RESULT_UNEXPECTED || result == GPIO_RESULT_IO_ERROR ||
                           result == GPIO_RESULT_TIMEOUT,
                       "version with no buffer room gave a status result");
        }
        if (result == GPIO_RESULT_TIMEOUT) {
            FUZZ_CHECK(buffer.Untouched(), "version buffer written on a time-out");
        }
        if (result == GPIO_RESULT_OK) {
            FUZZ_CHECK(std::memchr(buffer.Inside(), 0, bufferRoom) != nullptr, "version text not terminated");
        }
    }

    // The exact expectation, where the controller's decoder reads the reply
    // as the receiver does.
    // A reply that is waiting when the 100 ms of silence end is read before
    // the receiver gives up; one that starts later is never taken.
    if (input.delay > gpiolink::kSilenceTimeoutMs) {
        FUZZ_CHECK(result == GPIO_RESULT_TIMEOUT, "a reply after 100 ms of silence was taken");
        return 0;
    }
    bool unknownEscapes = false;
    WithoutUnknownEscapes(input.reply, unknownEscapes);
    const std::vector<gpio_tools::DecodedFrame> frames = Decode(input.reply);
    const gpio_tools::DecodedFrame *first = nullptr;
    for (const gpio_tools::DecodedFrame &frame : frames) {
        if (ForHost(frame)) {
            first = &frame;
            break;
        }
    }
    if (unknownEscapes || (first != nullptr && !Whole(*first))) {
        CheckSuccessHasFrame(input, result, value, buffer);
        return 0;
    }
    const Expectation expected = Expect(input, first);
    FUZZ_CHECK(result == expected.result, "result differs from the one the reply calls for");
    if (expected.value) {
        FUZZ_CHECK(value.bytes[kGuard] == *expected.value, "value differs from the reply's data byte");
    }
    if (input.operation == Operation::kGetVersion) {
        const Bytes &written = expected.buffer ? *expected.buffer : Bytes{};
        for (std::size_t i = 0; i < bufferRoom; ++i) {
            const std::uint8_t want = i < written.size() ? written[i] : kFill;
            FUZZ_CHECK(buffer.bytes[kGuard + i] == want, "version buffer differs from what the reply calls for");
        }
    }
    return 0;
}
