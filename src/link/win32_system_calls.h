// The Win32 functions that serial_services_win32.cpp calls, each through an
// entry of a small table of its own: a name, the pointer in force and the
// system's own pointer.
//
// Tests replace an entry by name to see the exact arguments the file passes
// (the open's access and share mode, the DCB given to SetCommState) and to
// make the system answer what Wine cannot show: a busy port, a disk file
// behind a COM name, a timer refused, a clock near its wrap. This table sits
// below the services table; the library itself never changes it.
#ifndef GPIOLINK_LINK_WIN32_SYSTEM_CALLS_H
#define GPIOLINK_LINK_WIN32_SYSTEM_CALLS_H

namespace gpiolink {

// Any entry's pointer, whatever the function's own type.
using Win32SystemCall = void (*)();

// Puts `replacement` in force for the function called `name` ("CreateFileA"),
// or the system's own function again when `replacement` is null. A null name
// restores every entry. False for a name the table does not hold.
// The replacement must have the function's exact type.
bool SetWin32SystemCall(const char *name, Win32SystemCall replacement);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_WIN32_SYSTEM_CALLS_H
