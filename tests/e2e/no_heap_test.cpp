// The library allocates nothing from the heap. This program replaces
// malloc and its relatives to count the allocations made on the test's own
// thread while a library call runs (the simulator's thread allocates freely
// and is not counted), then drives a whole session, discovery and the
// causes of a failed open included.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "gpiolink.h"
#include "fixed_port_list.h"
#include "link/serial_services.h"
#include "pty_simulator.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

thread_local bool t_counting = false;
std::atomic<int> g_allocations{0};

void Count()
{
    if (t_counting) {
        g_allocations.fetch_add(1);
    }
}

// Counts the allocations made by `call` on this thread.
template <typename Call>
int AllocationsDuring(Call call)
{
    const int before = g_allocations.load();
    t_counting = true;
    call();
    t_counting = false;
    return g_allocations.load() - before;
}

}  // namespace

extern "C" {
void *malloc(std::size_t size)
{
    Count();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size)
{
    Count();
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, std::size_t size)
{
    Count();
    return __libc_realloc(pointer, size);
}
int posix_memalign(void **pointer, std::size_t alignment, std::size_t size)
{
    Count();
    *pointer = __libc_memalign(alignment, size);
    return *pointer != nullptr ? 0 : 12;  // ENOMEM
}
}

namespace {

TEST(NoHeap, TheCountingWorks)
{
    // Through a volatile pointer, so the compiler cannot drop the pair.
    EXPECT_EQ(1, AllocationsDuring([] {
        void *volatile block = std::malloc(16);
        std::free(block);
    }));
}

TEST(NoHeap, AWholeSessionAllocatesNothing)
{
    gpio_sim::PtySimulator silent;
    gpio_sim::PtySimulator controller;
    silent.Script(gpio_sim::Behaviour::Silence());
    // The fixed port list is set up outside the counted window; reading it
    // inside allocates nothing.
    gpiolink::testing::FixedPortList list({silent.PortName(), controller.PortName()});
    const gpiolink::SerialServices fixed = gpiolink::Services();
    gpiolink::ReplaceServices(nullptr);

    char found[20] = "";
    int results[12] = {};
    const int allocations = AllocationsDuring([&] {
        // The system's own port list first, then the substituted one.
        char ignored[20];
        GPIO_ScanInterface(ignored);
        gpiolink::ReplaceServices(&fixed);
        results[0] = GPIO_ScanInterface(found);
        gpiolink::ReplaceServices(nullptr);
        HANDLE handle = nullptr;
        unsigned char value = 0;
        char version[32];
        results[1] = GPIO_OpenInterface(found, &handle);
        results[2] = GPIO_Output(handle, 1, 0x42);
        results[3] = GPIO_Input(handle, 1, &value);
        results[4] = GPIO_BitSet(handle, 1, 0);
        results[5] = GPIO_BitTest(handle, 1, 0) == GPIO_RESULT_BIT_HIGH ? 0 : 1;
        results[6] = GPIO_BitReset(handle, 1, 0);
        results[7] = GPIO_GetVersion(handle, version, sizeof(version));
        results[8] = GPIO_Input(handle, 9, &value) == GPIO_RESULT_DEVICE_FF ? 0 : 1;
        // Why an open fails: a port held (with /proc searched for a
        // session that holds it), and one that is absent (with the
        // system's ports listed).
        char cause[512];
        results[9] = gpiolink_describe_open_failure(found, cause, sizeof(cause)) - GPIOLINK_OPEN_FAILURE_BUSY;
        results[10] = gpiolink_describe_open_failure("gpiolink-absent", cause, sizeof(cause)) -
                      GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE;
        results[11] = GPIO_CloseInterface(handle);
    });
    EXPECT_EQ(controller.PortName(), found);
    for (const int result : results) {
        EXPECT_EQ(0, result);
    }
    EXPECT_EQ(0, allocations);
}

}  // namespace
