#include "discovery.h"

#include <cstdio>
#include <vector>

#include "gpiolink.h"
#include "discovery_ports.h"
#include "report.h"
#include "text_output.h"

namespace gpioctl {
namespace {

std::string Joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

}  // namespace

int ListPorts(bool json)
{
    const std::vector<std::string> ports = gpio_tools::DiscoveryPorts();
    if (json) {
        std::printf("%s\n", PortListJson(ports).c_str());
    } else {
        for (const std::string &port : ports) {
            std::printf("%s\n", gpio_tools::SafeText(port).c_str());
        }
    }
    return 0;
}

int Scan(const std::string &command, bool json, const std::string &simulatedPort, std::string &port)
{
    char found[20] = "";
    const int result = GPIO_ScanInterface(found);
    if (command != "scan" && result == GPIO_RESULT_OK && found[0] != '\0') {
        port = found;
        return -1;
    }
    Report scan(json);
    // No answer on any port is reported as the time-out it was.
    const int shown = result == GPIO_RESULT_OK && found[0] == '\0' ? GPIO_RESULT_TIMEOUT : result;
    if (found[0] != '\0') {
        scan.Text("port", found);
    } else if (result == GPIO_RESULT_OK) {
        const std::vector<std::string> tried = gpio_tools::DiscoveryPorts();
        scan.Explain(tried.empty() ? "scan found no controller: this system lists no serial port"
                                   : "scan found no controller on the ports it tried: " + Joined(tried));
    }
    if (!simulatedPort.empty()) {
        // The simulator ends with this process: its port cannot be named
        // to a later command.
        scan.Text("note", "the simulated controller's port " + simulatedPort +
                              " is a pseudo-terminal, which is not in the system's port list, so scan "
                              "cannot find it; use --simulate with another command, or start gpio-sim "
                              "and give the port it prints with --port");
    }
    scan.Print("scan", shown);
    return shown;
}

}  // namespace gpioctl
