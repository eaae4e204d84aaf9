#include "frame_stream.h"

#include <utility>

namespace gpio_tools {
namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

}  // namespace

bool FrameStream::Emit(WirePiece::Kind kind, WirePiece &piece)
{
    piece.kind = kind;
    piece.raw = std::move(raw_);
    raw_.clear();
    return true;
}

bool FrameStream::Push(std::uint8_t byte, WirePiece &piece)
{
    DecodedFrame frame;
    const bool complete = decoder_.Push(byte, frame);
    bool emitted = false;
    if (byte == kStx) {
        // Whatever came before ends here: noise, or a frame cut short.
        if (!raw_.empty()) {
            emitted = Emit(inFrame_ ? WirePiece::Kind::kBroken : WirePiece::Kind::kNoise, piece);
        }
        inFrame_ = true;
    } else if (!inFrame_ && raw_.size() >= kMaxRaw) {
        emitted = Emit(WirePiece::Kind::kNoise, piece);
    }
    if (raw_.size() < kMaxRaw) {
        raw_.push_back(byte);
    }
    if (inFrame_ && byte == kEtx) {
        inFrame_ = false;
        if (complete) {
            piece.frame = std::move(frame);
        }
        emitted = Emit(complete ? WirePiece::Kind::kFrame : WirePiece::Kind::kBroken, piece);
    }
    return emitted;
}

bool FrameStream::FlushNoise(WirePiece &piece)
{
    if (inFrame_ || raw_.empty()) {
        return false;
    }
    return Emit(WirePiece::Kind::kNoise, piece);
}

}  // namespace gpio_tools
