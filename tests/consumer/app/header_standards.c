/*
 * Uses everything the installed header declares. Compiled, not run, as
 * C89, C99 and C11 and as C++98 and C++17, each with -pedantic and every
 * warning an error: the header must not force a language version on the
 * application.
 */
#include <gpiolink.h>
#include <stdio.h>

int use_everything(const char *port_name);

int use_everything(const char *port_name)
{
    char found[20];
    char version[64];
    HANDLE handle = INVALID_HANDLE_VALUE;
    unsigned char value = 0;
    int result = GPIO_ScanInterface(found);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    result = GPIO_OpenInterface(port_name, &handle);
    if (result != GPIO_RESULT_OK) {
        return result;
    }
    result = GPIO_Input(handle, 0, &value);
    if (result == GPIO_RESULT_OK) {
        result = GPIO_Output(handle, 1, value);
    }
    if (GPIO_BitTest(handle, 1, 0) == GPIO_RESULT_BIT_HIGH) {
        result = GPIO_BitReset(handle, 1, 0);
    } else {
        result = GPIO_BitSet(handle, 1, 0);
    }
    if (GPIO_GetVersion(handle, version, (int)sizeof version) == GPIO_RESULT_OK) {
        puts(version);
    }
    printf("%s: %s\n", gpiolink_result_name(result), gpiolink_result_text(result));
    return GPIO_CloseInterface(handle);
}
