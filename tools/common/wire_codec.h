// The controller's side of the wire: decodes request frames and encodes
// reply frames. Written apart from the library's encoder and receiver, with
// a bitwise CRC of its own, so that the simulated controller checks the
// library against the frame format rather than against itself.
#ifndef GPIO_TOOLS_WIRE_CODEC_H
#define GPIO_TOOLS_WIRE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gpio_tools {

using Bytes = std::vector<std::uint8_t>;

// CRC-16/CCITT-FALSE, bit by bit.
std::uint16_t Crc16Bitwise(const std::uint8_t *bytes, std::size_t length);

// The wire bytes of a frame: STX, the two address bytes, the payload, the
// CRC (high byte first), ETX, with 0x02, 0x03 and 0x7D escaped between STX
// and ETX. A reply carries the addresses 0x00 0x00, a request 0x00 0x40.
Bytes EncodeFrame(std::uint8_t address0, std::uint8_t address1, const Bytes &payload);
Bytes EncodeReply(const Bytes &payload);
Bytes EncodeRequest(const Bytes &payload);

// The wire bytes around an unstuffed body (address bytes, payload and CRC
// as given, not recomputed): STX, the body escaped, ETX. Lets a caller send
// a frame with a deliberately wrong CRC.
Bytes WrapBody(const Bytes &body);

// A frame taken off the wire.
struct DecodedFrame {
    std::uint8_t address0 = 0;
    std::uint8_t address1 = 0;
    Bytes payload;
    bool crcOk = false;
};

// Collects frames from a byte stream. Bytes outside STX...ETX are ignored,
// an STX restarts the frame, and a frame shorter than six bytes, with an
// unknown escape sequence, or with more than kMaxBody bytes between STX and
// ETX once unstuffed is dropped. The limit keeps a stream that never sends
// ETX from growing the decoder without bound.
class FrameDecoder {
public:
    static constexpr std::size_t kMaxBody = 4096;

    // Takes one byte; true when it completed a frame, then in `frame`.
    bool Push(std::uint8_t byte, DecodedFrame &frame);

private:
    Bytes body_;  // unstuffed bytes between STX and ETX
    bool inFrame_ = false;
    bool escape_ = false;
    bool broken_ = false;
};

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_WIRE_CODEC_H
