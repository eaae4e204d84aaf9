#include "controller_owner.h"

namespace gpio_modbus {

gpio_controller::ControllerSettings ControllerSettingsOf(const Config &config)
{
    gpio_controller::ControllerSettings settings;
    settings.serialPort = config.serialPort;
    settings.checkInterval = config.checkInterval;
    for (const gpio_tools::PortEntry &port : config.ports) {
        gpio_controller::PortPlan plan;
        plan.number = port.number;
        plan.writable = port.Writable();
        plan.polled = port.Polled();
        plan.pollInterval = port.pollInterval;
        settings.ports.push_back(plan);
    }
    return settings;
}

RealController::RealController(const Config &config, gpio_controller::Log &log, SharedState &state)
    : state_(state),
      controller_(ControllerSettingsOf(config), gpio_controller::TheLibrary(), log,
                  static_cast<gpio_controller::ControllerEvents &>(*this))
{
}

void RealController::PortRead(int port, std::uint8_t value, Clock::time_point when)
{
    state_.PortRead(port, value, when);
}

void RealController::WentOnline(const std::string &version) { state_.SetOnline(true, version); }

void RealController::WentOffline() { state_.SetOnline(false, controller_.Version()); }

}  // namespace gpio_modbus
