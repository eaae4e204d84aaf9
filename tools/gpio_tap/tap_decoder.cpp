#include "tap_decoder.h"

#include <cstdio>
#include <utility>


namespace gpio_tap {
namespace {

using gpio_tools::WirePiece;

constexpr const char *kFromApplication = gpio_tools::kHostToDevice;
constexpr const char *kFromDevice = gpio_tools::kDeviceToHost;
constexpr const char *kFromTap = gpio_tools::kNote;

std::string AddressText(const gpio_tools::DecodedFrame &frame)
{
    char text[24];
    std::snprintf(text, sizeof(text), "address %02X %02X", frame.address0, frame.address1);
    return text;
}

}  // namespace

TapDecoder::TapDecoder(Sink sink) : sink_(std::move(sink)) {}

std::int64_t TapDecoder::Deadline() const { return silenceAt_; }

void TapDecoder::Tick(std::int64_t us)
{
    if (silenceAt_ >= 0 && us > silenceAt_) {
        ++counts_.silences;
        Emit(silenceAt_, kFromTap, {}, "silence",
             "SILENCE: no reply within 100 ms to " + gpio_tools::DescribeRequest(lastRequest_));
        silenceAt_ = -1;
        lastRequestSilenced_ = true;
    }
}

void TapDecoder::Take(std::int64_t us, Side from, const Bytes &bytes)
{
    Tick(us);
    gpio_tools::FrameStream &stream = from == Side::kApplication ? fromApplication_ : fromDevice_;
    if (from == Side::kDevice && !bytes.empty()) {
        silenceAt_ = -1;  // the reply has begun
    }
    WirePiece piece;
    for (const std::uint8_t byte : bytes) {
        if (stream.Push(byte, piece)) {
            Report(us, from, piece);
        }
    }
    if (stream.FlushNoise(piece)) {
        Report(us, from, piece);
    }
}

void TapDecoder::Report(std::int64_t us, Side from, const WirePiece &piece)
{
    const bool application = from == Side::kApplication;
    const char *direction = application ? kFromApplication : kFromDevice;
    if (piece.kind == WirePiece::Kind::kNoise) {
        ++counts_.noise;
        Emit(us, direction, piece.raw, "noise",
             "NOISE: " + std::to_string(piece.raw.size()) + " bytes outside frames");
        return;
    }
    if (piece.kind == WirePiece::Kind::kBroken) {
        ++counts_.broken;
        Emit(us, direction, piece.raw, "broken", "BROKEN FRAME: cut short, bad escape or wrong length");
        return;
    }
    const gpio_tools::DecodedFrame &frame = piece.frame;
    const gpio_tools::Request request = application ? gpio_tools::DecodeRequest(frame.payload) : lastRequest_;
    const std::string meaning = application ? gpio_tools::DescribeRequest(request)
                                            : gpio_tools::DescribeReply(lastRequest_, frame.payload);
    ++(application ? counts_.requests : counts_.replies);
    const std::uint8_t ownAddress1 = application ? 0x40 : 0x00;
    if (!frame.crcOk) {
        ++counts_.badCrc;
        Emit(us, direction, piece.raw, "bad-crc", meaning + " (BAD CRC)");
    } else if (frame.address0 != 0x00 || frame.address1 != ownAddress1) {
        ++counts_.foreign;
        Emit(us, direction, piece.raw, "foreign", "FOREIGN FRAME (" + AddressText(frame) + "): " + meaning);
    } else if (application) {
        lastRequest_ = request;
        silenceAt_ = us + kSilenceUs;
        lastRequestSilenced_ = false;
        Emit(us, direction, piece.raw, "request", meaning);
    } else {
        Emit(us, direction, piece.raw, "reply", meaning + (lastRequestSilenced_ ? " (LATE: after the silence)" : ""));
    }
}

void TapDecoder::Emit(std::int64_t us, const char *direction, const Bytes &bytes, const char *event,
                      std::string meaning)
{
    sink_(TraceEntry{static_cast<double>(us) / 1000.0, direction, bytes, event, std::move(meaning)});
}

}  // namespace gpio_tap
