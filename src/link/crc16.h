// CRC-16 of the frames: polynomial 0x1021, initial value 0xFFFF, most
// significant bit first, no reflection and no final exclusive-or.
#ifndef GPIOLINK_LINK_CRC16_H
#define GPIOLINK_LINK_CRC16_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace gpiolink {

constexpr std::uint16_t kCrcPolynomial = 0x1021;
constexpr std::uint16_t kCrcInitial = 0xFFFF;

// One table entry: the CRC contribution of the byte `index` in the top bits.
constexpr std::uint16_t CrcTableEntry(std::uint16_t index)
{
    std::uint16_t value = static_cast<std::uint16_t>(index << 8);
    for (int bit = 0; bit < 8; ++bit) {
        value = (value & 0x8000U) != 0 ? static_cast<std::uint16_t>((value << 1) ^ kCrcPolynomial)
                                       : static_cast<std::uint16_t>(value << 1);
    }
    return value;
}

constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (std::uint16_t i = 0; i < 256; ++i) {
        table[i] = CrcTableEntry(i);
    }
    return table;
}

// The 256-entry table, computed by the compiler.
inline constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

// Adds one byte to a running CRC.
constexpr std::uint16_t CrcUpdate(std::uint16_t crc, std::uint8_t byte)
{
    return static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ byte) & 0xFFU]);
}

// The CRC of `length` bytes.
constexpr std::uint16_t Crc16(const std::uint8_t *bytes, std::size_t length)
{
    std::uint16_t crc = kCrcInitial;
    for (std::size_t i = 0; i < length; ++i) {
        crc = CrcUpdate(crc, bytes[i]);
    }
    return crc;
}

static_assert(kCrcTable[1] == 0x1021 && kCrcTable[255] == 0x1EF0, "CRC table generated from 0x1021");

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_CRC16_H
