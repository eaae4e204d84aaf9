#include "fake_library.h"

#include <cstdio>
#include <string>

namespace gpio_controller::fake {
namespace {

// The library's calls are plain functions: they reach the fake through here.
FakeController *g_controller = nullptr;

HANDLE const kHandle = reinterpret_cast<HANDLE>(7);

// A write's result; one that timed out has still landed.
bool Lands(int result) { return result == GPIO_RESULT_OK || result == GPIO_RESULT_TIMEOUT; }

}  // namespace

FakeController::~FakeController()
{
    if (g_controller == this) {
        g_controller = nullptr;
    }
}

int FakeController::Exchange()
{
    now += kExchange;
    ++exchanges;
    if (failNext.empty()) {
        return GPIO_RESULT_OK;
    }
    const int result = failNext.front();
    failNext.erase(failNext.begin());
    return result;
}

LibraryCalls FakeCalls(FakeController &controller)
{
    g_controller = &controller;
    LibraryCalls calls{};
    calls.open = [](const char *, HANDLE *handle) {
        ++g_controller->opens;
        *handle = g_controller->openFails ? INVALID_HANDLE_VALUE : kHandle;
        return g_controller->openFails ? GPIO_RESULT_IO_ERROR : GPIO_RESULT_OK;
    };
    calls.close = [](HANDLE) { return GPIO_RESULT_OK; };
    calls.input = [](HANDLE, unsigned char port, unsigned char *value) {
        const int result = g_controller->Exchange();
        if (result == GPIO_RESULT_OK) {
            *value = g_controller->ports[port];
        }
        return result;
    };
    calls.output = [](HANDLE, unsigned char port, unsigned char value) {
        const int result = g_controller->Exchange();
        if (Lands(result)) {
            g_controller->ports[port] = value;
        }
        return result;
    };
    calls.bitTest = [](HANDLE, unsigned char port, unsigned char bit) {
        const int result = g_controller->Exchange();
        return result != GPIO_RESULT_OK                        ? result
               : ((g_controller->ports[port] >> bit) & 1) != 0 ? GPIO_RESULT_BIT_HIGH
                                                               : GPIO_RESULT_BIT_LOW;
    };
    calls.bitSet = [](HANDLE, unsigned char port, unsigned char bit) {
        const int result = g_controller->Exchange();
        if (Lands(result)) {
            g_controller->ports[port] = static_cast<std::uint8_t>(g_controller->ports[port] | (1U << bit));
        }
        return result;
    };
    calls.bitReset = [](HANDLE, unsigned char port, unsigned char bit) {
        const int result = g_controller->Exchange();
        if (Lands(result)) {
            g_controller->ports[port] = static_cast<std::uint8_t>(g_controller->ports[port] & ~(1U << bit));
        }
        return result;
    };
    calls.version = [](HANDLE, char *buffer, int) {
        const int result = g_controller->Exchange();
        if (result == GPIO_RESULT_OK) {
            std::snprintf(buffer, 8, "SIM 1.0");
        }
        return result;
    };
    calls.whyOpenFailed = [](const char *, std::string *text) {
        *text = g_controller->heldElsewhere ? "busy: held by another process" : "no such device";
        return g_controller->heldElsewhere;
    };
    calls.portPresent = [](const char *) { return g_controller->present; };
    return calls;
}

}  // namespace gpio_controller::fake
