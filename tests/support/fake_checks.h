// Compile-time checks on the fakes of the system-call tables
// (src/link/system_call_table.h): whether ReplaceSystemCall takes a fake
// of type `Fake` for the call `Entry` (&SystemCalls::read). A fake whose
// type is not exactly the call's must not be taken, or a test could put in
// force a function that the library then calls with other arguments.
#ifndef GPIOLINK_TEST_FAKE_CHECKS_H
#define GPIOLINK_TEST_FAKE_CHECKS_H

#include <type_traits>
#include <utility>

#include "link/system_call_table.h"

namespace gpiolink {
namespace testing {

template <auto Entry, typename Fake, typename = void>
struct TakesFake : std::false_type {};

template <auto Entry, typename Fake>
struct TakesFake<Entry, Fake, std::void_t<decltype(ReplaceSystemCall(Entry, std::declval<Fake>()))>>
    : std::true_type {};

}  // namespace testing
}  // namespace gpiolink

#endif  // GPIOLINK_TEST_FAKE_CHECKS_H
