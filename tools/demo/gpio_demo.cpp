// A session with the controller: the version, then output, input, bit set,
// bit test and bit reset, each printed with its result. Without --port it
// starts the simulated controller on a pseudo-terminal in this process.
//
//   gpio-demo [--port NAME] [--trace]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "gpiolink.h"
#include "pty_simulator.h"

namespace {

void Show(const char *what, int result, const std::string &detail = "")
{
    std::printf("%-26s %-24s %s\n", what, gpiolink_result_name(result), detail.c_str());
}

std::string Hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string port;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = argv[++i];
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else {
            std::fprintf(stderr, "usage: gpio-demo [--port NAME] [--trace]\n");
            return 64;
        }
    }

    std::unique_ptr<gpio_sim::PtySimulator> simulator;
    if (port.empty()) {
        gpio_sim::SimOptions options;
        options.pace38400 = true;
        options.trace = trace ? stdout : nullptr;
        simulator = std::make_unique<gpio_sim::PtySimulator>(options);
        port = simulator->PortName();
        std::printf("simulated controller on %s\n", simulator->SlavePath().c_str());
    }

    HANDLE handle = nullptr;
    int result = GPIO_OpenInterface(port.c_str(), &handle);
    Show(("open " + port).c_str(), result);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    char version[64];
    result = GPIO_GetVersion(handle, version, sizeof(version));
    Show("version", result, result == GPIO_RESULT_OK ? version : "");
    Show("output port 1 <- 0xA5", GPIO_Output(handle, 1, 0xA5));
    unsigned char value = 0;
    result = GPIO_Input(handle, 1, &value);
    Show("input port 1", result, result == GPIO_RESULT_OK ? Hex(value) : "");
    Show("bit set port 1 bit 1", GPIO_BitSet(handle, 1, 1));
    Show("bit test port 1 bit 1", GPIO_BitTest(handle, 1, 1));
    Show("bit reset port 1 bit 1", GPIO_BitReset(handle, 1, 1));
    Show("bit test port 1 bit 1", GPIO_BitTest(handle, 1, 1));
    result = GPIO_Input(handle, 1, &value);
    Show("input port 1", result, result == GPIO_RESULT_OK ? Hex(value) : "");
    Show("close", GPIO_CloseInterface(handle));
    return 0;
}
