// The system calls of a platform file, each through a named entry of a
// table of its own: the name, the function in force and the system's own.
//
// Both platform files keep one (posix_system_calls.cpp for the POSIX files,
// serial_services_win32.cpp for Windows). Tests replace an entry by name, the
// same way on every system, to see the exact arguments the file passes and
// to make the system answer what a pseudo-terminal or Wine cannot show (a
// busy port, a driver that refuses a setting, a clock near its wrap). These
// tables sit below the services table; the library itself never changes
// them.
#ifndef GPIOLINK_LINK_SYSTEM_CALL_TABLE_H
#define GPIOLINK_LINK_SYSTEM_CALL_TABLE_H

#include <cstddef>

namespace gpiolink {

// Any entry's function, whatever its own type. Stored as void (*)(), the one
// type through which GCC's -Wcast-function-type lets any function pass.
using SystemCall = void (*)();

struct SystemCallEntry {
    const char *name;
    SystemCall current;
    const SystemCall system;
};

// Puts `replacement` in force for the entry of `table` called `name`, or the
// system's own function again when `replacement` is null. A null name
// restores every entry. False for a name the table does not hold: callers
// must look, or a misspelt name would leave the system's call in force.
[[nodiscard]] bool ReplaceEntry(SystemCallEntry *table, std::size_t count, const char *name, SystemCall replacement);

// The same for the platform's own table. The replacement must have the
// function's exact type.
[[nodiscard]] bool ReplaceSystemCall(const char *name, SystemCall replacement);

template <typename Function>
[[nodiscard]] bool ReplaceSystemCall(const char *name, Function *replacement)
{
    return ReplaceSystemCall(name, reinterpret_cast<SystemCall>(replacement));
}

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_SYSTEM_CALL_TABLE_H
