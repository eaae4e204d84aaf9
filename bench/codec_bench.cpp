// The frame codec on its own, with no port and no clock: encoding a request
// (BuildRequestFrame + StuffFrame) and receiving a reply (ReceiveFrame) from
// a services table that serves prepared wire bytes out of memory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/frame_encoder.h"
#include "link/frame_receiver.h"
#include "link/serial_services.h"
#include "wire_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- encoding ------------------------------------------------------------

void BM_CodecEncode(benchmark::State &state, Bytes payload)
{
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::uint32_t wireBytes = 0;
    for (auto _ : state) {
        gpiolink::BuildRequestFrame(payload.data(), length);
        gpiolink::StuffFrame();
        wireBytes = gpiolink::g_transmitLength;
        benchmark::DoNotOptimize(wireBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * wireBytes);
    state.counters["wire_bytes"] = wireBytes;
    state.SetLabel(std::to_string(payload.size()) + " payload -> " + std::to_string(wireBytes) + " wire bytes");
}

// The library's requests, and a payload that is nothing but bytes to escape.
BENCHMARK_CAPTURE(BM_CodecEncode, input, Bytes{'I', 0x00});
BENCHMARK_CAPTURE(BM_CodecEncode, output, Bytes{'O', 0x01, 0x5A});
BENCHMARK_CAPTURE(BM_CodecEncode, bit_set, Bytes{'B', 'S', 0x02, 0x07});
BENCHMARK_CAPTURE(BM_CodecEncode, version, Bytes{'V'});
BENCHMARK_CAPTURE(BM_CodecEncode, all_escaped, Bytes{0x02, 0x03, 0x7D, 0x02});

// ---- receiving -------------------------------------------------------------

// The reply the in-memory port serves, and how far it has been read.
const std::uint8_t *g_source = nullptr;
std::uint32_t g_sourceLength = 0;
std::uint32_t g_sourcePosition = 0;
std::uint32_t g_tick = 0;

std::uint32_t MemoryCountWaiting(gpiolink::PortHandle) { return g_sourceLength - g_sourcePosition; }

bool MemoryReadByte(gpiolink::PortHandle, std::uint8_t *byte)
{
    if (g_sourcePosition == g_sourceLength) {
        return false;
    }
    *byte = g_source[g_sourcePosition++];
    return true;
}

// A clock that moves one millisecond per reading: the receiver never sees
// 100 ms of silence within one frame.
std::uint32_t MemoryTick() { return ++g_tick; }
void MemorySleep(std::uint32_t) {}
void MemoryWait(gpiolink::PortHandle, std::uint32_t) {}

gpiolink::SerialServices MemoryServices()
{
    gpiolink::SerialServices table = gpiolink::DefaultServices();
    table.countWaitingBytes = MemoryCountWaiting;
    table.readByte = MemoryReadByte;
    table.tickMilliseconds = MemoryTick;
    table.sleepMilliseconds = MemorySleep;
    table.waitForInput = MemoryWait;
    return table;
}

// The value of an input reply whose wire form holds `escapes` escape
// sequences (0 or more), found by trying every value.
Bytes InputReplyWithEscapes(std::size_t escapes)
{
    for (unsigned value = 0; value < 256; ++value) {
        const Bytes payload{0x00, static_cast<std::uint8_t>(value)};
        if (gpio_tools::EncodeReply(payload).size() == 8 + escapes) {
            return payload;
        }
    }
    return {0x00, 0x00};
}

// A version reply of at least 40 wire bytes whose text holds an escape
// character.
Bytes LongVersionReply()
{
    const std::string text = "GPIO-SIM 1.0 {r}";
    Bytes payload{0x00};
    for (const char character : text) {
        payload.push_back(static_cast<std::uint8_t>(character));
    }
    for (char digit = '0'; gpio_tools::EncodeReply(payload).size() < 40; digit = digit == '9' ? '0' : digit + 1) {
        payload.push_back(static_cast<std::uint8_t>(digit));
    }
    return payload;
}

void BM_CodecReceive(benchmark::State &state, Bytes payload)
{
    const Bytes wire = gpio_tools::EncodeReply(payload);
    const gpiolink::SerialServices table = MemoryServices();
    gpiolink::ReplaceServices(&table);
    g_source = wire.data();
    g_sourceLength = static_cast<std::uint32_t>(wire.size());
    // Any handle other than null and InvalidPort(): the table never uses it.
    const auto port = reinterpret_cast<gpiolink::PortHandle>(std::uintptr_t{1});
    std::uint8_t destination[64];
    for (auto _ : state) {
        g_sourcePosition = 0;
        std::int32_t capacity = static_cast<std::int32_t>(sizeof(destination));
        const gpiolink::LinkResult result = gpiolink::ReceiveFrame(port, destination, capacity);
        if (result != gpiolink::FrameOk || capacity != static_cast<std::int32_t>(payload.size())) {
            state.SkipWithError("the prepared reply was not received whole");
            break;
        }
        benchmark::DoNotOptimize(destination);
        benchmark::ClobberMemory();
    }
    gpiolink::ReplaceServices(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(wire.size()));
    state.counters["wire_bytes"] = static_cast<double>(wire.size());
    state.SetLabel(std::to_string(payload.size()) + " payload <- " + std::to_string(wire.size()) + " wire bytes");
}

BENCHMARK_CAPTURE(BM_CodecReceive, input, InputReplyWithEscapes(0));
BENCHMARK_CAPTURE(BM_CodecReceive, input_escaped, InputReplyWithEscapes(1));
BENCHMARK_CAPTURE(BM_CodecReceive, version, LongVersionReply());

}  // namespace
