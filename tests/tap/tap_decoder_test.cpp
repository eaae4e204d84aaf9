// gpio-tap's decoder on timestamps it is given: the flags a live session
// with a well-behaved simulator does not raise, and the capture file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_file.h"
#include "tap_decoder.h"
#include "test_helpers.h"

namespace gpio_tap {
namespace {

using gpio_tools::EncodeFrame;
using gpio_tools::EncodeReply;
using gpio_tools::EncodeRequest;
using gpiolink::testing::Join;

class Decoding : public ::testing::Test {
protected:
    Decoding() : decoder_([this](const TraceEntry &entry) { lines_.push_back(gpio_tools::TraceText(entry)); }) {}

    std::vector<std::string> lines_;
    TapDecoder decoder_;
};

TEST_F(Decoding, FlagsNoiseForeignAndBrokenFramesAndALateReply)
{
    const Bytes request = EncodeRequest({'I', 2});
    decoder_.Take(1000, Side::kApplication, request);
    // Noise ahead of a foreign frame, then the reply split over two reads.
    const Bytes reply = EncodeReply({0x00, 0x5A});
    decoder_.Take(2000, Side::kDevice, Join({{0x41, 0xFF}, EncodeFrame(0x00, 0x41, {0x00})}));
    decoder_.Take(2500, Side::kDevice, Bytes(reply.begin(), reply.begin() + 3));
    decoder_.Take(3000, Side::kDevice, Bytes(reply.begin() + 3, reply.end()));
    // A frame cut short by the next STX; the request it started is lost.
    decoder_.Take(10000, Side::kApplication, Join({{0x02, 0x00, 0x40}, request}));
    // No reply within 100 ms, then one after all: the silence is stamped
    // at its deadline, and the reply marked late.
    decoder_.Take(150000, Side::kDevice, reply);

    const std::string hexRequest = gpio_tools::HexBytes(request);
    const std::string hexReply = gpio_tools::HexBytes(reply);
    const std::vector<std::string> expected{
        "    1.000 ms  host->dev  " + hexRequest + "  input port 2",
        "    2.000 ms  dev->host  41 FF  NOISE: 2 bytes outside frames",
        "    2.000 ms  dev->host  02 00 41 00 F2 61 03  FOREIGN FRAME (address 00 41): ok",
        "    3.000 ms  dev->host  " + hexReply + "  ok value 0x5A",
        "   10.000 ms  host->dev  02 00 40  BROKEN FRAME: cut short, bad escape or wrong length",
        "   10.000 ms  host->dev  " + hexRequest + "  input port 2",
        "  110.000 ms  note       SILENCE: no reply within 100 ms to input port 2",
        "  150.000 ms  dev->host  " + hexReply + "  ok value 0x5A (LATE: after the silence)",
    };
    EXPECT_EQ(expected, lines_);
}

TEST_F(Decoding, AReplyJustInTimeIsNoSilenceAndABadCrcRequestWaitsForNone)
{
    decoder_.Take(0, Side::kApplication, EncodeRequest({'V'}));
    EXPECT_EQ(100000, decoder_.Deadline());
    decoder_.Tick(100000);
    decoder_.Take(100000, Side::kDevice, EncodeReply({0x00, 'X'}));
    Bytes bad = EncodeRequest({'I', 1});
    bad[bad.size() - 2] ^= 0x01;
    decoder_.Take(200000, Side::kApplication, bad);
    EXPECT_EQ(-1, decoder_.Deadline());
    decoder_.Tick(900000);
    ASSERT_EQ(3U, lines_.size());
    EXPECT_NE(std::string::npos, lines_[1].find("ok version \"X\""));
    EXPECT_NE(std::string::npos, lines_[2].find("input port 1 (BAD CRC)"));
}

TEST(CaptureFile, RecordsReadBackAsWrittenAndABadLineIsNamed)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    CaptureWriter writer(file);
    CaptureRecord bytes;
    bytes.us = 1234;
    bytes.from = Side::kDevice;
    bytes.bytes = {0x02, 0x7D, 0xFF, 0x03};
    writer.Write(bytes);
    CaptureRecord end;
    end.kind = CaptureRecord::Kind::kEnd;
    end.us = 5678;
    writer.Write(end);
    std::fputs("99 A 02 0G\n", file);
    std::rewind(file);

    CaptureReader reader(file);
    CaptureRecord got;
    ASSERT_TRUE(reader.Next(got));
    EXPECT_EQ(1234, got.us);
    EXPECT_EQ(Side::kDevice, got.from);
    EXPECT_EQ(bytes.bytes, got.bytes);
    ASSERT_TRUE(reader.Next(got));
    EXPECT_EQ(CaptureRecord::Kind::kEnd, got.kind);
    EXPECT_EQ(5678, got.us);
    EXPECT_FALSE(reader.Next(got));
    EXPECT_EQ("line 4: bytes are not two-digit hex", reader.Error());
    std::fclose(file);
}

}  // namespace
}  // namespace gpio_tap
