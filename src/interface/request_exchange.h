// One request/reply exchange with the controller, and the command set.
#ifndef GPIOLINK_INTERFACE_REQUEST_EXCHANGE_H
#define GPIOLINK_INTERFACE_REQUEST_EXCHANGE_H

#include <cstdint>

#include "gpiolink.h"
#include "link/serial_services.h"

namespace gpiolink {

// Request command letters.
constexpr std::uint8_t kCommandInput = 'I';
constexpr std::uint8_t kCommandOutput = 'O';
constexpr std::uint8_t kCommandBitTest = 'T';
constexpr std::uint8_t kCommandBitPrefix = 'B';
constexpr std::uint8_t kCommandBitSet = 'S';
constexpr std::uint8_t kCommandBitClear = 'C';
constexpr std::uint8_t kCommandVersion = 'V';

// Reply status bytes (reply payload offset 0).
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusFD = 0xFD;
constexpr std::uint8_t kStatusFE = 0xFE;
constexpr std::uint8_t kStatusFF = 0xFF;

// Each port or bit operation composes its request in a work buffer of this
// size and receives the reply over it.
constexpr std::uint32_t kWorkBufferSize = 20;

// The pause after every exchange, whatever its outcome.
constexpr std::uint32_t kExchangePauseMs = 20;

// Sends the stuffed frame in the transmit buffer, counting the transmit
// length down as the port takes bytes. False when a write takes nothing
// (failed or refused), which would otherwise repeat without end.
bool WriteFrame(PortHandle port);

// The result code of a reply's status byte.
int ResultOfStatus(std::uint8_t status);

// Runs one exchange on the open interface: handle check, purge, purge again
// (a failure gives purgeFailureResult), encode and write the payload, receive
// the reply payload into reply (at most `capacity` bytes), pause 20 ms.
// Returns GPIO_RESULT_OK when a reply with status 0x00 arrived; then
// `capacity` holds the count of reply bytes copied. Any other result ends
// the operation. A reply that copied no byte has no status to read and
// gives GPIO_RESULT_UNEXPECTED.
int RunExchange(HANDLE handle, const std::uint8_t *payload, std::uint32_t payloadLength, std::uint8_t *reply,
                std::int32_t &capacity, int purgeFailureResult);

}  // namespace gpiolink

#endif  // GPIOLINK_INTERFACE_REQUEST_EXCHANGE_H
