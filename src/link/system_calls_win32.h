// The Win32 calls of the Windows platform files (serial_services_win32.cpp,
// open_failure_win32.cpp): the table of system_call_table.h for Windows.
// The files call the system
// only as SYSTEM_CALL(CreateFileA)(...); a test puts a fake in force with
// ReplaceSystemCall(&SystemCalls::CreateFileA, ...).
#ifndef GPIOLINK_LINK_SYSTEM_CALLS_WIN32_H
#define GPIOLINK_LINK_SYSTEM_CALLS_WIN32_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "link/system_call_table.h"

// Every entry of the table, in order.
#define GPIOLINK_SYSTEM_CALLS(X) \
    X(CreateFileA)               \
    X(GetFileType)               \
    X(GetLastError)              \
    X(CloseHandle)               \
    X(GetCommState)              \
    X(BuildCommDCBA)             \
    X(SetCommState)              \
    X(GetCommTimeouts)           \
    X(SetCommTimeouts)           \
    X(PurgeComm)                 \
    X(ClearCommError)            \
    X(ReadFile)                  \
    X(WriteFile)                 \
    X(GetCurrentProcessId)       \
    X(QueryPerformanceCounter)   \
    X(QueryPerformanceFrequency) \
    X(CreateWaitableTimerExW)    \
    X(SetWaitableTimer)          \
    X(WaitForSingleObject)       \
    X(Sleep)                     \
    X(RegOpenKeyExA)             \
    X(RegQueryInfoKeyA)          \
    X(RegEnumValueA)             \
    X(RegCloseKey)

namespace gpiolink {

// The system's own function of an entry.
#define GPIOLINK_SYSTEM_FUNCTION(function) (&::function)

// The table: a member per call, of the type of its Win32 function.
struct SystemCalls {
// The member's name cannot be parenthesised.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define GPIOLINK_SYSTEM_CALL_MEMBER(function) decltype(GPIOLINK_SYSTEM_FUNCTION(function)) function;
    GPIOLINK_SYSTEM_CALLS(GPIOLINK_SYSTEM_CALL_MEMBER)
#undef GPIOLINK_SYSTEM_CALL_MEMBER
};

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_SYSTEM_CALLS_WIN32_H
