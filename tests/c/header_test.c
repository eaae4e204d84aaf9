/* The public header as a C program sees it. */
#include <gpiolink.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    int (*open_interface)(const char *, HANDLE *) = GPIO_OpenInterface;
    int (*get_version)(HANDLE, char *, int) = GPIO_GetVersion;
    HANDLE handle = INVALID_HANDLE_VALUE;
    /* Resolved through the shared library: an absent port fails to open. */
    if (open_interface("gpiolink-absent", &handle) != GPIO_RESULT_IO_ERROR || handle != INVALID_HANDLE_VALUE) {
        return 1;
    }
    if (get_version(INVALID_HANDLE_VALUE, 0, 0) != GPIO_RESULT_UNEXPECTED || GPIO_CloseInterface(handle) != 0) {
        return 1;
    }
    if (GPIO_RESULT_OK != 0 || GPIO_RESULT_BIT_LOW != 8) {
        return 1;
    }
    /* The header-only result names, from C. */
    if (strcmp(gpiolink_result_name(GPIO_RESULT_TIMEOUT), "GPIO_RESULT_TIMEOUT") != 0 ||
        strcmp(gpiolink_result_name(9), "GPIO_RESULT_UNKNOWN") != 0 ||
        strcmp(gpiolink_result_name(-1), "GPIO_RESULT_UNKNOWN") != 0 ||
        strcmp(gpiolink_result_text(GPIO_RESULT_TIMEOUT), "no reply from the controller") != 0) {
        return 1;
    }
    puts("header ok");
    return 0;
}
