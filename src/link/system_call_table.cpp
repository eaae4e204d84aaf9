// The platform's table of system calls: the system's own functions, and
// the ones in force.
#ifdef _WIN32
#include "link/system_calls_win32.h"
#else
#include "link/system_calls_posix.h"
#endif

namespace gpiolink {
namespace {

#define GPIOLINK_SYSTEM_CALL_ENTRY(function) GPIOLINK_SYSTEM_FUNCTION(function),
const SystemCalls kSystemCalls = {GPIOLINK_SYSTEM_CALLS(GPIOLINK_SYSTEM_CALL_ENTRY)};
#undef GPIOLINK_SYSTEM_CALL_ENTRY

// Initialised after kSystemCalls, which comes first in this file; no
// system call is made before main().
SystemCalls g_inForce = kSystemCalls;

}  // namespace

SystemCalls &SystemCallsInForce() { return g_inForce; }

const SystemCalls &SystemCallsOfSystem() { return kSystemCalls; }

void RestoreSystemCalls() { g_inForce = kSystemCalls; }

}  // namespace gpiolink
