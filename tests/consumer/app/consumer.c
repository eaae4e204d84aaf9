/*
 * An application of the installed library: includes the installed header,
 * links the installed library and opens a port that does not exist, which
 * must fail with GPIO_RESULT_IO_ERROR and leave INVALID_HANDLE_VALUE.
 */
#include <gpiolink.h>
#include <stdio.h>

#if defined(_WIN32)
#define ABSENT_PORT "COM250"
#else
#define ABSENT_PORT "gpiolink-absent"
#endif

int main(void)
{
    HANDLE handle = NULL;
    const int result = GPIO_OpenInterface(ABSENT_PORT, &handle);
    printf("GPIO_OpenInterface(\"%s\") = %d %s: %s\n", ABSENT_PORT, result, gpiolink_result_name(result),
           gpiolink_result_text(result));
    if (result != GPIO_RESULT_IO_ERROR || handle != INVALID_HANDLE_VALUE) {
        fprintf(stderr, "expected %s and INVALID_HANDLE_VALUE\n", gpiolink_result_name(GPIO_RESULT_IO_ERROR));
        return 1;
    }
    return 0;
}
