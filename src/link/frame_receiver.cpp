#include "link/frame_receiver.h"

#include <cstring>

#include "link/crc16.h"
#include "link/frame_format.h"

namespace gpiolink {

std::uint8_t g_receiveBuffer[kReceiveBufferSize];
std::uint32_t g_receiveLength;

namespace {

// The state of one ReceiveFrame call. The store index and the receive
// length move together; both stop at the buffer's last offset, which
// further bytes then overwrite.
struct ReceiverState {
    std::uint32_t storeIndex = 0;
    bool inFrame = false;
    bool escapePending = false;
};

// What a byte did to the frame in progress.
enum class ByteOutcome {
    kContinue,
    kFrameOk,
    kCrcError,
};

void StoreByte(ReceiverState &state, std::uint8_t byte)
{
    g_receiveBuffer[state.storeIndex] = byte;
    if (state.storeIndex < kReceiveBufferSize - 1) {
        ++state.storeIndex;
        ++g_receiveLength;
    }
}

std::uint8_t UnescapedForm(std::uint8_t byte, bool &valid)
{
    valid = true;
    switch (byte) {
    case kEscapedStx:
        return kStx;
    case kEscapedEtx:
        return kEtx;
    case kEscapedEscape:
        return kEscape;
    default:
        valid = false;
        return 0;
    }
}

// Checks a complete frame of `length` bytes (ETX at length - 1) and copies
// its payload out when the CRC holds.
ByteOutcome ValidateFrame(std::uint32_t length, std::uint8_t *destination, std::int32_t &capacity)
{
    const std::uint16_t crc = Crc16(g_receiveBuffer + 1, length - 4);
    if (g_receiveBuffer[length - 3] != static_cast<std::uint8_t>(crc >> 8) ||
        g_receiveBuffer[length - 2] != static_cast<std::uint8_t>(crc & 0xFFU)) {
        g_receiveLength = 0;
        return ByteOutcome::kCrcError;
    }
    const auto payloadLength = static_cast<std::int32_t>(length - kFrameOverhead);
    const std::int32_t count = payloadLength < capacity ? payloadLength : capacity;
    capacity = count;
    if (count > 0) {
        std::memcpy(destination, g_receiveBuffer + 3, static_cast<std::size_t>(count));
    }
    return ByteOutcome::kFrameOk;
}

ByteOutcome HandleByte(ReceiverState &state, std::uint8_t byte, std::uint8_t *destination, std::int32_t &capacity)
{
    if (byte == kStx) {
        // A new frame starts here; one in progress is dropped.
        g_receiveBuffer[0] = kStx;
        state.storeIndex = 1;
        g_receiveLength = 1;
        state.inFrame = true;
        state.escapePending = false;
        return ByteOutcome::kContinue;
    }
    if (byte == kEtx) {
        g_receiveBuffer[state.storeIndex] = kEtx;
        g_receiveLength += 1;
        const std::uint32_t length = g_receiveLength;
        if (length >= kFrameOverhead) {
            return ValidateFrame(length, destination, capacity);
        }
        // Too short to be a frame (or an ETX outside any frame): drop it.
        state.storeIndex = 1;
        g_receiveLength = 1;
        state.inFrame = false;
        state.escapePending = false;
        return ByteOutcome::kContinue;
    }
    if (!state.inFrame) {
        return ByteOutcome::kContinue;
    }
    if (state.escapePending) {
        state.escapePending = false;
        bool valid = false;
        const std::uint8_t unescaped = UnescapedForm(byte, valid);
        if (valid) {
            StoreByte(state, unescaped);
        }
        // An unknown escape sequence vanishes; the CRC then decides.
        return ByteOutcome::kContinue;
    }
    if (state.storeIndex == 2 && byte != kReplyAddress1) {
        // Not addressed to the host: ignore everything up to the next STX.
        state.inFrame = false;
        return ByteOutcome::kContinue;
    }
    if (byte == kEscape) {
        state.escapePending = true;
        return ByteOutcome::kContinue;
    }
    StoreByte(state, byte);
    return ByteOutcome::kContinue;
}

// What one pass over the bytes waiting in the queue found.
enum class Pass {
    kFrameOk,
    kCrcError,
    kNoFrame,  // bytes read, no frame ended
    kIdle,     // nothing waiting, or a read failed
};

// Reads the bytes the queue counts as waiting now, and no more, so that a
// line that never stops cannot keep one pass going.
Pass ReadWaitingBytes(const SerialServices &os, PortHandle port, ReceiverState &state, std::uint8_t *destination,
                      std::int32_t &capacity, std::uint32_t &lastActivity)
{
    const std::uint32_t waiting = os.countWaitingBytes(port);
    if (waiting == 0) {
        return Pass::kIdle;
    }
    for (std::uint32_t i = 0; i < waiting; ++i) {
        std::uint8_t byte = 0;
        if (!os.readByte(port, &byte)) {
            // A failed read is no byte: it neither extends the silence
            // time-out nor lets a broken port spin this loop.
            return Pass::kIdle;
        }
        lastActivity = os.tickMilliseconds();
        const ByteOutcome outcome = HandleByte(state, byte, destination, capacity);
        if (outcome == ByteOutcome::kFrameOk) {
            return Pass::kFrameOk;
        }
        if (outcome == ByteOutcome::kCrcError) {
            return Pass::kCrcError;
        }
    }
    return Pass::kNoFrame;
}

// Milliseconds from `since` to now, across the tick's wrap.
std::uint32_t ElapsedSince(const SerialServices &os, std::uint32_t since)
{
    return static_cast<std::uint32_t>(os.tickMilliseconds() - since);
}

LinkResult OutcomeOf(Pass pass) { return pass == Pass::kFrameOk ? FrameOk : CrcError; }

}  // namespace

LinkResult ReceiveFrame(PortHandle port, std::uint8_t *destination, std::int32_t &capacity)
{
    const SerialServices &os = Services();
    ReceiverState state;
    g_receiveLength = 0;
    const std::uint32_t start = os.tickMilliseconds();
    std::uint32_t lastActivity = start;
    for (;;) {
        Pass pass = ReadWaitingBytes(os, port, state, destination, capacity, lastActivity);
        if (pass == Pass::kIdle) {
            os.waitForInput(port, kPollIntervalMs);
        } else if (pass != Pass::kNoFrame) {
            return OutcomeOf(pass);
        }
        const bool overdue = ElapsedSince(os, start) >= kReceiveLimitMs;
        if (ElapsedSince(os, lastActivity) < kSilenceTimeoutMs && !overdue) {
            continue;
        }
        // A reply waiting in the queue is not silence: the idle step can
        // oversleep (a loaded machine, a stopped process) while a reply
        // arrives in time. One more look before giving up; when it finds
        // bytes the line was not silent after all and the receiver goes on
        // listening, unless the overall limit has passed.
        pass = ReadWaitingBytes(os, port, state, destination, capacity, lastActivity);
        if (pass == Pass::kFrameOk || pass == Pass::kCrcError) {
            return OutcomeOf(pass);
        }
        if (overdue || pass == Pass::kIdle) {
            return Timeout;
        }
    }
}

}  // namespace gpiolink
