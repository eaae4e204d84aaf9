// What gpio-modbus's tests share: request ADUs built byte by byte, and a
// fake controller that keeps its ports in memory, records every call and
// fails as a test tells it to.
#ifndef GPIO_MODBUS_TEST_SUPPORT_H
#define GPIO_MODBUS_TEST_SUPPORT_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "controller_thread.h"
#include "gpiolink.h"
#include "modbus_map.h"

namespace gpio_modbus {

// A Modbus TCP request: the MBAP header (transaction 1, its length), the
// unit and the PDU.
inline std::vector<std::uint8_t> Adu(int unit, std::vector<std::uint8_t> pdu)
{
    const std::size_t length = pdu.size() + 1;
    std::vector<std::uint8_t> adu{0x00, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(unit)};
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    return adu;
}

// A function with an address and a second word (quantity or value).
inline std::vector<std::uint8_t> Pdu(int function, int address, int second, std::vector<std::uint8_t> more = {})
{
    std::vector<std::uint8_t> pdu{static_cast<std::uint8_t>(function), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(second >> 8),
                                  static_cast<std::uint8_t>(second & 0xFF)};
    pdu.insert(pdu.end(), more.begin(), more.end());
    return pdu;
}

// The controller in memory. Each write sets the port and reads it back
// unless told to fail; a test may hold writes at a gate.
class FakeController : public ControllerOwner {
public:
    explicit FakeController(SharedState *state = nullptr) : state_(state) {}

    WriteOutcome Output(int port, std::uint8_t value) override
    {
        Record("output " + std::to_string(port) + " " + std::to_string(value));
        return Write(port, [value](std::uint8_t) { return value; });
    }
    WriteOutcome BitSet(int port, int bit) override
    {
        Record("set " + std::to_string(port) + " " + std::to_string(bit));
        return Write(port, [bit](std::uint8_t now) { return static_cast<std::uint8_t>(now | (1U << bit)); });
    }
    WriteOutcome BitReset(int port, int bit) override
    {
        Record("reset " + std::to_string(port) + " " + std::to_string(bit));
        return Write(port, [bit](std::uint8_t now) { return static_cast<std::uint8_t>(now & ~(1U << bit)); });
    }
    int Read(int port) override
    {
        Record("read " + std::to_string(port));
        return readResult;
    }
    std::optional<std::uint8_t> Value(int port) const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = pins.find(port);
        return found == pins.end() ? std::nullopt : std::optional<std::uint8_t>(found->second);
    }
    Clock::time_point NextWake() const override { return Clock::now() + std::chrono::hours(1); }
    void Tick(Clock::time_point) override {}
    std::uint32_t FailedExchanges() const override { return 0x00012345; }

    // Writes wait at the gate while it is closed.
    void CloseGate()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        gateOpen_ = false;
    }
    void OpenGate()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            gateOpen_ = true;
        }
        gate_.notify_all();
    }
    // Whether a write is waiting at the gate.
    bool Waiting() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return waiting_;
    }
    std::vector<std::string> Calls() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    std::map<int, std::uint8_t> pins;
    int writeResult = GPIO_RESULT_OK;
    int readBackResult = GPIO_RESULT_OK;
    int readResult = GPIO_RESULT_OK;
    // The pins read back this instead of what was written.
    std::optional<std::uint8_t> readsBack;

private:
    void Record(const std::string &call)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    template <typename Change>
    WriteOutcome Write(int port, Change change)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = !gateOpen_;
        gate_.wait(lock, [this] { return gateOpen_; });
        waiting_ = false;
        if (writeResult != GPIO_RESULT_OK) {
            return {writeResult, GPIO_RESULT_OK, pins[port]};
        }
        pins[port] = change(pins[port]);
        if (readBackResult != GPIO_RESULT_OK) {
            return {GPIO_RESULT_OK, readBackResult, std::nullopt};
        }
        const std::uint8_t value = readsBack.value_or(pins[port]);
        if (state_ != nullptr) {
            state_->PortRead(port, value, Clock::now());
        }
        return {GPIO_RESULT_OK, GPIO_RESULT_OK, value};
    }

    SharedState *state_;
    mutable std::mutex mutex_;
    std::condition_variable gate_;
    bool gateOpen_ = true;
    bool waiting_ = false;
    std::vector<std::string> calls_;
};

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_TEST_SUPPORT_H
