// The request frames on the wire, byte for byte, and the CRC beneath them.
#include <gtest/gtest.h>

#include <cstring>

#include "link/crc16.h"
#include "link/frame_encoder.h"
#include "link/frame_format.h"
#include "scripted_line.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using testing::Bytes;

Bytes Transmitted() { return Bytes(g_transmitBuffer, g_transmitBuffer + g_transmitLength); }

Bytes Encode(const Bytes &payload)
{
    BuildRequestFrame(payload.data(), static_cast<std::uint32_t>(payload.size()));
    StuffFrame();
    return Transmitted();
}

TEST(Crc16, MatchesTheStandardCheckValueAndAnIndependentBitwiseCrc)
{
    const char *check = "123456789";
    EXPECT_EQ(0x29B1, Crc16(reinterpret_cast<const std::uint8_t *>(check), std::strlen(check)));
    std::uint8_t all[256];
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t length = 0; length <= sizeof(all); length += 17) {
        EXPECT_EQ(gpio_tools::Crc16Bitwise(all, length), Crc16(all, length)) << length;
    }
}

struct WorkedExample {
    Bytes payload;
    Bytes wire;
};

TEST(FrameEncoder, WorkedExamplesByteForByte)
{
    const WorkedExample examples[] = {
        {{0x56}, {0x02, 0x00, 0x40, 0x56, 0xFB, 0x63, 0x03}},
        {{0x49, 0x00}, {0x02, 0x00, 0x40, 0x49, 0x00, 0x2E, 0x39, 0x03}},
        {{0x49, 0x02}, {0x02, 0x00, 0x40, 0x49, 0x7D, 0xE2, 0x0E, 0x7B, 0x03}},
        {{0x54, 0x00, 0x03}, {0x02, 0x00, 0x40, 0x54, 0x00, 0x7D, 0xE3, 0xCD, 0xFD, 0x03}},
        {{0x4F, 0x03, 0x7D}, {0x02, 0x00, 0x40, 0x4F, 0x7D, 0xE3, 0x7D, 0x5D, 0xB4, 0x65, 0x03}},
        {{0x4F, 0x01, 0xFF}, {0x02, 0x00, 0x40, 0x4F, 0x01, 0xFF, 0x63, 0xCD, 0x03}},
    };
    for (const WorkedExample &example : examples) {
        EXPECT_EQ(example.wire, Encode(example.payload));
    }
}

TEST(FrameEncoder, BuildReturnsLengthPlusSixAndAcceptsAnEmptyPayload)
{
    EXPECT_EQ(6U, BuildRequestFrame(nullptr, 0));
    const std::uint16_t crc = Crc16(g_transmitBuffer + 1, 2);
    const Bytes expected{0x02, 0x00, 0x40, static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc), 0x03};
    EXPECT_EQ(expected, Transmitted());
    const std::uint8_t four[] = {0x42, 0x53, 0x01, 0x07};
    EXPECT_EQ(10U, BuildRequestFrame(four, 4));
}

TEST(FrameEncoder, StuffingLeavesPlainFramesAloneAndEscapesOnlyControlBytes)
{
    // 0x5D, 0xE2 and 0xE3 look like escape replacements but travel as is.
    const Bytes plain{0x4F, 0xE2, 0x5D, 0xE3};  // CRC DE F5: no control byte
    BuildRequestFrame(plain.data(), 4);
    const Bytes built = Transmitted();
    StuffFrame();
    EXPECT_EQ(built, Transmitted());
    EXPECT_EQ(10U, g_transmitLength);
}

TEST(FrameEncoder, EveryPayloadRoundTripsThroughAnIndependentDecoder)
{
    // Operands after a command letter: every control byte in either operand
    // position, and CRCs whose high or low byte is itself a control byte.
    int escapedCrcs = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; b += 3) {
            const Bytes payload{0x54, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
            const Bytes wire = Encode(payload);
            ASSERT_EQ(gpio_tools::EncodeRequest(payload), wire);
            const std::uint8_t covered[] = {0x00, 0x40, payload[0], payload[1], payload[2]};
            const std::uint16_t crc = Crc16(covered, sizeof(covered));
            escapedCrcs += NeedsEscape(static_cast<std::uint8_t>(crc >> 8)) || NeedsEscape(static_cast<std::uint8_t>(crc)) ? 1 : 0;
            ASSERT_LE(wire.size(), 16U);
            // A raw STX or ETX marks only the frame's edges.
            for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
                ASSERT_NE(0x02, wire[i]);
                ASSERT_NE(0x03, wire[i]);
            }
        }
    }
    EXPECT_GT(escapedCrcs, 100);
}

}  // namespace
}  // namespace gpiolink
