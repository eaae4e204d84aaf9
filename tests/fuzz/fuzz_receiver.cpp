// Fuzzes the frame receiver with arbitrary byte streams that arrive in
// arbitrary bursts on a virtual clock.
//
// Input: two bytes of capacity (little-endian, reduced to -600..600), then
// records of one control byte followed by the burst it announces. The
// control byte's low five bits give the burst length (0: the rest of the
// input) and its top three bits the silence before the burst.
//
// Checked on every input: the receiver returns, with one of its three
// results; nothing is written outside the caller's capacity, and nothing at
// all unless a frame was accepted; an accepted frame carries a valid CRC and
// the host address; the time-out comes 100 ms after the last byte, or at
// the overall limit after the start, never earlier. Where the simulated controller's decoder sees the same frames
// (no unknown escape sequence, nothing longer than the receive buffer) the
// two must agree on which frame ends the call and on its verdict.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_check.h"
#include "link/frame_format.h"
#include "link/frame_receiver.h"
#include "link/serial_services.h"
#include "wire_codec.h"

namespace {

using gpiolink::LinkResult;
using gpiolink::PortHandle;

struct Arrival {
    std::uint32_t at;
    std::uint8_t byte;
};

// One port, the clock and the byte script: the receiver's whole world.
struct VirtualLine {
    std::vector<Arrival> arrivals;
    std::size_t read = 0;        // bytes handed to the receiver so far
    std::uint32_t now = 0;
    std::uint32_t lastReadAt = 0;
    std::uint32_t giveUpAt = 0;  // the receiver has hung by then
};

VirtualLine g_line;

PortHandle ThePort() { return reinterpret_cast<PortHandle>(std::uintptr_t{0x1000}); }

// Signed distance, so that comparisons hold across the tick's wrap.
std::int32_t Since(std::uint32_t then) { return static_cast<std::int32_t>(g_line.now - then); }

std::uint32_t CountWaiting(PortHandle port)
{
    FUZZ_CHECK(port == ThePort(), "count on a port the receiver was not given");
    std::uint32_t count = 0;
    for (std::size_t i = g_line.read; i < g_line.arrivals.size() && Since(g_line.arrivals[i].at) >= 0; ++i) {
        ++count;
    }
    return count;
}

bool ReadByte(PortHandle port, std::uint8_t *byte)
{
    FUZZ_CHECK(port == ThePort(), "read on a port the receiver was not given");
    FUZZ_CHECK(g_line.read < g_line.arrivals.size() && Since(g_line.arrivals[g_line.read].at) >= 0,
               "read of a byte that has not arrived");
    *byte = g_line.arrivals[g_line.read++].byte;
    g_line.lastReadAt = g_line.now;
    return true;
}

std::uint32_t Tick() { return g_line.now; }

// Like poll(): returns at the next arrival within the interval.
void WaitForInput(PortHandle port, std::uint32_t maxMilliseconds)
{
    FUZZ_CHECK(port == ThePort(), "wait on a port the receiver was not given");
    std::uint32_t step = maxMilliseconds;
    if (g_line.read < g_line.arrivals.size()) {
        const std::uint32_t until = g_line.arrivals[g_line.read].at - g_line.now;
        step = until < step ? until : step;
    }
    g_line.now += step;
    FUZZ_CHECK(Since(g_line.giveUpAt) < 0, "the receiver did not return after the line fell silent");
}

void Sleep(std::uint32_t milliseconds) { g_line.now += milliseconds; }

[[noreturn]] void Unexpected(const char *call)
{
    std::fprintf(stderr, "receiver made an unexpected call: %s\n", call);
    std::abort();
}

void InstallVirtualLine()
{
    gpiolink::SerialServices table = gpiolink::DefaultServices();
    table.openPort = [](const char *) -> PortHandle { Unexpected("openPort"); };
    table.configureLine = [](PortHandle, gpiolink::ModemLines) { Unexpected("configureLine"); };
    table.purgeReceiveQueue = [](PortHandle) -> bool { Unexpected("purgeReceiveQueue"); };
    table.writeBytes = [](PortHandle, const std::uint8_t *, std::uint32_t) -> std::uint32_t {
        Unexpected("writeBytes");
    };
    table.closePort = [](PortHandle) { Unexpected("closePort"); };
    table.openPortList = [](gpiolink::PortListHandle *) -> bool { Unexpected("openPortList"); };
    table.countWaitingBytes = CountWaiting;
    table.readByte = ReadByte;
    table.tickMilliseconds = Tick;
    table.sleepMilliseconds = Sleep;
    table.waitForInput = WaitForInput;
    gpiolink::ReplaceServices(&table);
}

// Silences before a burst: around the poll interval and the silence time-out.
constexpr std::uint32_t kGaps[8] = {0,
                                    1,
                                    5,
                                    gpiolink::kPollIntervalMs,
                                    gpiolink::kSilenceTimeoutMs / 2,
                                    gpiolink::kSilenceTimeoutMs - 1,
                                    gpiolink::kSilenceTimeoutMs,
                                    gpiolink::kSilenceTimeoutMs * 3 / 2};

// The clock starts just short of the 32-bit wrap.
constexpr std::uint32_t kStart = 0xFFFFFF80U;

constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kFill = 0xA5;

// What the simulated controller's decoder makes of the bytes the receiver
// read: each frame it completed, and where.
struct DecodedAt {
    std::size_t end;  // index of the frame's ETX
    gpio_tools::DecodedFrame frame;
};

std::vector<DecodedAt> DecodeRead(const VirtualLine &line)
{
    std::vector<DecodedAt> frames;
    gpio_tools::FrameDecoder decoder;
    gpio_tools::DecodedFrame frame;
    for (std::size_t i = 0; i < line.read; ++i) {
        if (decoder.Push(line.arrivals[i].byte, frame)) {
            frames.push_back({i, frame});
        }
    }
    return frames;
}

// The longest unstuffed body (addresses, payload, CRC) the receive buffer
// holds whole; a longer frame loses bytes and is judged on what is left.
constexpr std::size_t kLongestWholeBody = gpiolink::kReceiveBufferSize - 2;

void CheckAgainstDecoder(LinkResult result)
{
    const std::vector<DecodedAt> frames = DecodeRead(g_line);
    for (const DecodedAt &decoded : frames) {
        const bool last = decoded.end + 1 == g_line.read;
        if (!last) {
            // Every complete frame for the host ends the call.
            FUZZ_CHECK(decoded.frame.address1 != gpiolink::kReplyAddress1,
                       "the receiver read on past a complete frame for the host");
            continue;
        }
        const std::size_t body = decoded.frame.payload.size() + 4;
        if (result == gpiolink::Timeout) {
            FUZZ_CHECK(decoded.frame.address1 != gpiolink::kReplyAddress1,
                       "time-out after a complete frame for the host");
            continue;
        }
        if (body > kLongestWholeBody) {
            continue;
        }
        FUZZ_CHECK(decoded.frame.address1 == gpiolink::kReplyAddress1, "a frame for another address ended the call");
        if (result == gpiolink::CrcError) {
            FUZZ_CHECK(!decoded.frame.crcOk, "CRC error reported for a frame with a valid CRC");
        } else {
            FUZZ_CHECK(decoded.frame.crcOk, "frame accepted although its CRC is wrong");
            const std::uint32_t length = gpiolink::g_receiveLength;
            FUZZ_CHECK(decoded.frame.payload.size() + gpiolink::kFrameOverhead == length,
                       "accepted payload length differs from the frame's");
            for (std::size_t i = 0; i < decoded.frame.payload.size(); ++i) {
                FUZZ_CHECK(decoded.frame.payload[i] == gpiolink::g_receiveBuffer[3 + i],
                           "accepted payload differs from the frame's");
            }
        }
    }
}

// The frame left in the receive buffer after FrameOk: framed, for the host,
// and with a CRC that the controller's own bitwise CRC confirms.
void CheckAcceptedFrame()
{
    const std::uint32_t length = gpiolink::g_receiveLength;
    const std::uint8_t *frame = gpiolink::g_receiveBuffer;
    FUZZ_CHECK(length >= gpiolink::kFrameOverhead && length <= gpiolink::kReceiveBufferSize,
               "accepted frame length out of range");
    FUZZ_CHECK(frame[0] == gpiolink::kStx && frame[length - 1] == gpiolink::kEtx, "accepted frame not framed");
    FUZZ_CHECK(frame[2] == gpiolink::kReplyAddress1, "accepted frame not addressed to the host");
    const std::uint16_t crc = gpio_tools::Crc16Bitwise(frame + 1, length - 4);
    FUZZ_CHECK(frame[length - 3] == (crc >> 8) && frame[length - 2] == (crc & 0xFF),
               "accepted frame fails the bitwise CRC");

    // The payload, encoded afresh by the controller's codec with the same
    // addresses, decodes to itself with the same CRC.
    const gpio_tools::Bytes payload(frame + 3, frame + length - 3);
    const gpio_tools::Bytes wire = gpio_tools::EncodeFrame(frame[1], frame[2], payload);
    gpio_tools::FrameDecoder decoder;
    gpio_tools::DecodedFrame decoded;
    bool complete = false;
    for (std::uint8_t byte : wire) {
        complete = decoder.Push(byte, decoded);
    }
    FUZZ_CHECK(complete && decoded.crcOk && decoded.payload == payload, "re-encoded payload does not decode");
    FUZZ_CHECK(wire[wire.size() - 2] == frame[length - 2], "re-encoded frame has a different CRC");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const auto raw = static_cast<std::int16_t>(data[0] | (data[1] << 8));
    const std::int32_t capacityIn = raw % 601;

    g_line = VirtualLine{};
    g_line.now = kStart;
    std::uint32_t at = kStart;
    for (std::size_t i = 2; i < size;) {
        const std::uint8_t control = data[i++];
        at += kGaps[control >> 5];
        std::size_t burst = control & 0x1FU;
        if (burst == 0 || burst > size - i) {
            burst = size - i;
        }
        for (std::size_t k = 0; k < burst; ++k) {
            g_line.arrivals.push_back({at, data[i + k]});
        }
        i += burst;
    }
    g_line.lastReadAt = kStart;
    // The last byte plus the time-out and one poll interval, with room.
    g_line.giveUpAt = at + gpiolink::kSilenceTimeoutMs + 4 * gpiolink::kPollIntervalMs;
    InstallVirtualLine();

    const std::size_t room = capacityIn > 0 ? static_cast<std::size_t>(capacityIn) : 0;
    std::vector<std::uint8_t> buffer(kGuard + room + kGuard, kFill);
    std::uint8_t *destination = buffer.data() + kGuard;
    std::int32_t capacity = capacityIn;
    const LinkResult result = gpiolink::ReceiveFrame(ThePort(), destination, capacity);

    for (std::size_t i = 0; i < buffer.size(); ++i) {
        const bool inside = i >= kGuard && i < kGuard + room;
        FUZZ_CHECK(inside || buffer[i] == kFill, "receiver wrote outside the caller's capacity");
    }

    switch (result) {
    case gpiolink::FrameOk: {
        CheckAcceptedFrame();
        const auto payloadLength = static_cast<std::int32_t>(gpiolink::g_receiveLength - gpiolink::kFrameOverhead);
        FUZZ_CHECK(capacity == (payloadLength < capacityIn ? payloadLength : capacityIn),
                   "capacity is not min(payload length, capacity)");
        for (std::size_t i = 0; i < room; ++i) {
            const bool copied = capacity > 0 && i < static_cast<std::size_t>(capacity);
            FUZZ_CHECK(copied ? destination[i] == gpiolink::g_receiveBuffer[3 + i] : destination[i] == kFill,
                       "destination does not hold exactly the copied payload");
        }
        FUZZ_CHECK(g_line.read > 0 && g_line.arrivals[g_line.read - 1].byte == gpiolink::kEtx,
                   "frame accepted before its ETX, or bytes read after it");
        break;
    }
    case gpiolink::CrcError:
        FUZZ_CHECK(g_line.read > 0 && g_line.arrivals[g_line.read - 1].byte == gpiolink::kEtx,
                   "CRC error reported before an ETX, or bytes read after it");
        [[fallthrough]];
    case gpiolink::Timeout:
        FUZZ_CHECK(capacity == capacityIn, "capacity changed without an accepted frame");
        for (std::size_t i = 0; i < room; ++i) {
            FUZZ_CHECK(destination[i] == kFill, "destination written without an accepted frame");
        }
        if (result == gpiolink::Timeout) {
            const auto silence = static_cast<std::int32_t>(gpiolink::kSilenceTimeoutMs);
            const auto limit = static_cast<std::int32_t>(gpiolink::kReceiveLimitMs);
            const auto poll = static_cast<std::int32_t>(gpiolink::kPollIntervalMs);
            FUZZ_CHECK(Since(g_line.lastReadAt) >= silence || Since(kStart) >= limit,
                       "time-out before 100 ms of silence and before the overall limit");
            FUZZ_CHECK(Since(g_line.lastReadAt) < silence + poll || Since(kStart) < limit + poll,
                       "time-out more than a poll interval late");
        }
        break;
    default:
        FUZZ_CHECK(false, "result is not FrameOk, CrcError or Timeout");
    }
    CheckAgainstDecoder(result);
    gpiolink::ReplaceServices(nullptr);
    return 0;
}
