// The real controller behind the controller thread's seam: the shared
// controller owner (tools/controller), its events turned into the state the
// network thread serves reads from.
#ifndef GPIO_MODBUS_CONTROLLER_OWNER_H
#define GPIO_MODBUS_CONTROLLER_OWNER_H

#include <string>

#include "controller.h"
#include "controller_thread.h"
#include "modbus_config.h"

namespace gpio_modbus {

// The controller owner's settings for this configuration.
gpio_controller::ControllerSettings ControllerSettingsOf(const Config &config);

class RealController : public ControllerOwner, private gpio_controller::ControllerEvents {
public:
    RealController(const Config &config, gpio_controller::Log &log, SharedState &state);

    // The first open; false when another process holds the port.
    bool Start(std::string &problem) { return controller_.Start(problem); }
    void Close() { controller_.Close(); }

    WriteOutcome Output(int port, std::uint8_t value) override { return controller_.Output(port, value); }
    WriteOutcome BitSet(int port, int bit) override { return controller_.BitSet(port, bit); }
    WriteOutcome BitReset(int port, int bit) override { return controller_.BitReset(port, bit); }
    int Read(int port) override { return controller_.Read(port); }
    std::optional<std::uint8_t> Value(int port) const override { return controller_.Value(port); }
    Clock::time_point NextWake() const override { return controller_.NextWake(); }
    void Tick(Clock::time_point now) override { controller_.Tick(now); }
    std::uint32_t FailedExchanges() const override { return controller_.FailedExchanges(); }

private:
    void PortRead(int port, std::uint8_t value, Clock::time_point when) override;
    void WentOnline(const std::string &version) override;
    void WentOffline() override;

    SharedState &state_;
    gpio_controller::Controller controller_;
};

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_CONTROLLER_OWNER_H
