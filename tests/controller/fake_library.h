// A controller of the test's own behind the library's calls, on the test's
// clock: every exchange takes kExchange. `failNext` makes the next calls
// give those results instead; a write that "fails" with a time-out still
// lands, as a write whose reply was lost does.
#ifndef GPIO_CONTROLLER_FAKE_LIBRARY_H
#define GPIO_CONTROLLER_FAKE_LIBRARY_H

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "controller.h"

namespace gpio_controller::fake {

struct FakeController {
    static constexpr std::chrono::milliseconds kExchange{20};
    Clock::time_point now{};
    std::array<std::uint8_t, 256> ports{};
    std::vector<int> failNext;  // results of the next calls, first first
    int exchanges = 0;
    int opens = 0;
    bool openFails = false;
    bool heldElsewhere = false;
    bool present = true;

    FakeController() = default;
    FakeController(const FakeController &) = delete;
    FakeController &operator=(const FakeController &) = delete;
    ~FakeController();

    int Exchange();
};

// The library's calls, answered by `controller` (one at a time).
LibraryCalls FakeCalls(FakeController &controller);

}  // namespace gpio_controller::fake

#endif  // GPIO_CONTROLLER_FAKE_LIBRARY_H
