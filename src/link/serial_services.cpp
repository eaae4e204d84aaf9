// Holds the services table in force and lets tests replace it.
#include "link/serial_services.h"

namespace gpiolink {
namespace {

// A replacement table, copied in by ReplaceServices. Null while the
// platform's own table is in force, which keeps this free of any
// initialisation order between translation units.
SerialServices g_replacement;
const SerialServices *g_installed = nullptr;

}  // namespace

const SerialServices &Services() { return g_installed != nullptr ? *g_installed : DefaultServices(); }

void ReplaceServices(const SerialServices *services)
{
    if (services == nullptr) {
        g_installed = nullptr;
        return;
    }
    g_replacement = *services;
    g_installed = &g_replacement;
}

}  // namespace gpiolink
