// The fuzz targets' assertion: a failed property prints what broke and
// aborts, which libFuzzer reports as a crash and saves the input for.
#ifndef GPIOLINK_TESTS_FUZZ_CHECK_H
#define GPIOLINK_TESTS_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                                  \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, \
                         message);                                                      \
            std::abort();                                                               \
        }                                                                               \
    } while (false)

#endif  // GPIOLINK_TESTS_FUZZ_CHECK_H
