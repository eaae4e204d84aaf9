// Magic port numbers: with SimOptions::magicPorts, a request whose port
// operand is one of these numbers, and for which no behaviour is scripted,
// is carried out as if it named port 0 and its reply is then shaped like
// this:
//   0xF0  silence: no reply
//   0xF1  the reply with a corrupted CRC
//   0xF2  status 0xFD alone
//   0xF3  status 0xFE alone
//   0xF4  status 0xFF alone
//   0xF5  status 0x01 alone
//   0xF6  status 0x00 alone (too short for input or bit test)
//   0xF7  a foreign frame (address 00 40, the reply's payload), then the reply
//   0xF8  noise 41 03 FF, then the reply
//   0xF9  the reply 150 ms late (after the host has given up)
//   0xFA  the reply split in 3 bursts 30 ms apart
//   0xFB  the reply with a corrupted CRC, then the reply 40 ms later
// The port operand is the byte after the command: payload[1] for I, O and T,
// payload[2] for BS and BC. Version requests have none.
#ifndef GPIO_SIM_MAGIC_PORTS_H
#define GPIO_SIM_MAGIC_PORTS_H

#include <cstdint>
#include <optional>
#include <string>

#include "behaviour.h"

namespace gpio_sim {

// The behaviour of a magic port number, if it is one.
std::optional<Behaviour> MagicPortBehaviour(std::uint8_t port);

// The magic port table as text, one "240 (0xF0)  ..." line per port:
// port numbers are decimal in all the tools' text, as they are typed.
std::string MagicPortsHelp();

}  // namespace gpio_sim

#endif  // GPIO_SIM_MAGIC_PORTS_H
