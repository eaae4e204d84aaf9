// The system calls of a platform's files, each through a typed entry of a
// table: a struct SystemCalls of function pointers, one member per call,
// named as the system names the call (system_calls_posix.h for the POSIX
// files, system_calls_win32.h for the Windows file). The platform files
// call the system only as SYSTEM_CALL(read)(...), the member in force.
//
// Tests put a fake in force for one call, the same way on every system,
// to see the exact arguments a file passes and to make the system answer
// what a pseudo-terminal or Wine cannot show (a busy port, a driver that
// refuses a setting, a clock near its wrap):
//
//   ReplaceSystemCall(&SystemCalls::read, FakeRead);
//
// A fake is checked at compile time: a misspelt call is no member, and a
// function or lambda of any other type than the call's does not convert.
// These tables sit below the services table; the library itself never
// changes them.
#ifndef GPIOLINK_LINK_SYSTEM_CALL_TABLE_H
#define GPIOLINK_LINK_SYSTEM_CALL_TABLE_H

namespace gpiolink {

// The platform's table, defined by its header.
struct SystemCalls;

// The calls in force, and the system's own, which tests' fakes may call.
SystemCalls &SystemCallsInForce();
const SystemCalls &SystemCallsOfSystem();

// `Type` as given, in a place that takes no part in deducing a template
// argument: the fake must convert to the type the entry fixes.
template <typename Type>
struct Exactly {
    using type = Type;
};

// Puts `replacement` in force for the call `entry`, or the system's own
// call again when `replacement` is null.
template <typename Function>
void ReplaceSystemCall(Function SystemCalls::*entry, typename Exactly<Function>::type replacement)
{
    SystemCallsInForce().*entry = replacement != nullptr ? replacement : SystemCallsOfSystem().*entry;
}

// Puts the system's own call in force for every entry.
void RestoreSystemCalls();

}  // namespace gpiolink

// The function in force for the system call `function`.
#define SYSTEM_CALL(function) (::gpiolink::SystemCallsInForce().function)

#endif  // GPIOLINK_LINK_SYSTEM_CALL_TABLE_H
