#include "magic_ports.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace gpio_sim {
namespace {

struct MagicPort {
    std::uint8_t port;
    // Called through the iterator that MagicPortBehaviour finds, which
    // cppcheck does not follow.
    // cppcheck-suppress unusedStructMember
    Behaviour (*make)();
    const char *text;
};

const MagicPort kMagicPorts[] = {
    {0xF0, [] { return Behaviour::Silence(); }, "silence: no reply"},
    {0xF1, [] { return Behaviour::BadCrc(); }, "the reply with a corrupted CRC"},
    {0xF2, [] { return Behaviour::Status(0xFD); }, "status 0xFD alone"},
    {0xF3, [] { return Behaviour::Status(0xFE); }, "status 0xFE alone"},
    {0xF4, [] { return Behaviour::Status(0xFF); }, "status 0xFF alone"},
    {0xF5, [] { return Behaviour::Status(0x01); }, "status 0x01 alone"},
    {0xF6, [] { return Behaviour::Status(0x00); }, "status 0x00 alone (too short for input or bit test)"},
    {0xF7, [] { return Behaviour::ForeignFrame(0x40); }, "a foreign frame (address 00 40), then the reply"},
    {0xF8, [] { return Behaviour::Noise(); }, "noise 41 03 FF, then the reply"},
    {0xF9, [] { return Behaviour::Stale(150); }, "the reply 150 ms late (stale input for the host)"},
    {0xFA, [] { return Behaviour::Split(3, 30); }, "the reply split in 3 bursts 30 ms apart"},
    {0xFB, [] { return Behaviour::DamagedThenGood(40); }, "the reply with a corrupted CRC, then the reply 40 ms later"},
};

}  // namespace

std::optional<Behaviour> MagicPortBehaviour(std::uint8_t port)
{
    const auto magic = std::find_if(std::begin(kMagicPorts), std::end(kMagicPorts),
                                    [port](const MagicPort &candidate) { return candidate.port == port; });
    if (magic == std::end(kMagicPorts)) {
        return std::nullopt;
    }
    return magic->make();
}

std::string MagicPortsHelp()
{
    std::string text;
    char line[96];
    for (const MagicPort &magic : kMagicPorts) {
        std::snprintf(line, sizeof(line), "%u (0x%02X)  %s\n", magic.port, magic.port, magic.text);
        text += line;
    }
    return text;
}

}  // namespace gpio_sim
