#include "wire_codec.h"

namespace gpio_tools {
namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEscape = 0x7D;

void PutEscaped(Bytes &out, std::uint8_t byte)
{
    switch (byte) {
    case kStx:
        out.insert(out.end(), {kEscape, 0xE2});
        break;
    case kEtx:
        out.insert(out.end(), {kEscape, 0xE3});
        break;
    case kEscape:
        out.insert(out.end(), {kEscape, 0x5D});
        break;
    default:
        out.push_back(byte);
    }
}

}  // namespace

std::uint16_t Crc16Bitwise(const std::uint8_t *bytes, std::size_t length)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((bytes[i] >> bit) & 1U) != 0;
            const bool top = (crc & 0x8000U) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (in != top) {
                crc ^= 0x1021;
            }
        }
    }
    return crc;
}

Bytes EncodeFrame(std::uint8_t address0, std::uint8_t address1, const Bytes &payload)
{
    Bytes body{address0, address1};
    body.insert(body.end(), payload.begin(), payload.end());
    const std::uint16_t crc = Crc16Bitwise(body.data(), body.size());
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return WrapBody(body);
}

Bytes WrapBody(const Bytes &body)
{
    Bytes out{kStx};
    for (std::uint8_t byte : body) {
        PutEscaped(out, byte);
    }
    out.push_back(kEtx);
    return out;
}

Bytes EncodeReply(const Bytes &payload) { return EncodeFrame(0x00, 0x00, payload); }

Bytes EncodeRequest(const Bytes &payload) { return EncodeFrame(0x00, 0x40, payload); }

bool FrameDecoder::Push(std::uint8_t byte, DecodedFrame &frame)
{
    if (byte == kStx) {
        body_.clear();
        inFrame_ = true;
        escape_ = false;
        broken_ = false;
        return false;
    }
    if (!inFrame_) {
        return false;
    }
    if (byte == kEtx) {
        inFrame_ = false;
        if (broken_ || body_.size() < 4) {
            return false;
        }
        const std::size_t covered = body_.size() - 2;
        const std::uint16_t crc = Crc16Bitwise(body_.data(), covered);
        frame.address0 = body_[0];
        frame.address1 = body_[1];
        frame.payload.assign(body_.begin() + 2, body_.begin() + static_cast<std::ptrdiff_t>(covered));
        frame.crcOk = body_[covered] == (crc >> 8) && body_[covered + 1] == (crc & 0xFF);
        return true;
    }
    if (broken_) {
        return false;
    }
    if (body_.size() >= kMaxBody) {
        broken_ = true;
        body_.clear();
        return false;
    }
    if (escape_) {
        escape_ = false;
        if (byte == 0xE2) {
            body_.push_back(kStx);
        } else if (byte == 0xE3) {
            body_.push_back(kEtx);
        } else if (byte == 0x5D) {
            body_.push_back(kEscape);
        } else {
            broken_ = true;
        }
        return false;
    }
    if (byte == kEscape) {
        escape_ = true;
        return false;
    }
    body_.push_back(byte);
    return false;
}

}  // namespace gpio_tools
