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

// Known values of this CRC (polynomial 0x1021, initial 0xFFFF, no
// reflection, no final exclusive-or): 0x29B1 is the published check value of
// the variant for "123456789"; the others were worked out bit by bit,
// outside the library, by this loop:
//     crc = 0xFFFF
//     for each byte b, for each bit i from 7 down to 0:
//         feedback = (crc >> 15) ^ ((b >> i) & 1)
//         crc = (crc << 1) & 0xFFFF
//         if feedback: crc ^= 0x1021
TEST(Crc16, MatchesKnownValuesAndAnIndependentBitwiseCrc)
{
    struct Vector {
        Bytes bytes;
        std::uint16_t crc;
    };
    Bytes all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    const Vector vectors[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x29B1},
        {{}, 0xFFFF},
        {{0x00}, 0xE1F0},
        {{0xFF}, 0xFF00},
        {{0x00, 0x00}, 0x1D0F},
        {{0x00, 0x40}, 0x55CB},        // the addresses of a request with no payload
        {{0x00, 0x40, 0x56}, 0xFB63},  // the version request
        {Bytes(32, 0xFF), 0x75F8},
        {all, 0x3FBD},
    };
    for (const Vector &vector : vectors) {
        EXPECT_EQ(vector.crc, Crc16(vector.bytes.data(), vector.bytes.size())) << vector.bytes.size() << " bytes";
    }
    for (std::size_t length = 0; length <= all.size(); length += 17) {
        EXPECT_EQ(gpio_tools::Crc16Bitwise(all.data(), length), Crc16(all.data(), length)) << length;
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
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x55, 0xCB, 0x03}), Transmitted());
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
            // Nine bytes unstuffed, one more for each escaped operand: any
            // byte beyond those is an escape inside the CRC.
            const std::size_t operandEscapes = (NeedsEscape(payload[1]) ? 1U : 0U) + (NeedsEscape(payload[2]) ? 1U : 0U);
            escapedCrcs += wire.size() > 9 + operandEscapes ? 1 : 0;
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
