/*
 * An application of the installed library: includes the installed header,
 * links the installed library and opens a port that does not exist, which
 * must fail with GPIO_RESULT_IO_ERROR and leave INVALID_HANDLE_VALUE. Given
 * a controller's port as its argument, it then drives the controller there:
 * output 2 0x5A, input 2 (which must read 0x5A back) and the version.
 */
#include <gpiolink.h>
#include <stdio.h>

#if defined(_WIN32)
#define ABSENT_PORT "COM250"
#else
#define ABSENT_PORT "gpiolink-absent"
#endif

static int drive(const char *port)
{
    HANDLE handle = NULL;
    unsigned char value = 0;
    char version[64];
    int result = GPIO_OpenInterface(port, &handle);
    if (result == GPIO_RESULT_OK) {
        result = GPIO_Output(handle, 2, 0x5A);
    }
    if (result == GPIO_RESULT_OK) {
        result = GPIO_Input(handle, 2, &value);
    }
    if (result == GPIO_RESULT_OK) {
        result = GPIO_GetVersion(handle, version, sizeof(version));
    }
    if (handle != NULL && handle != INVALID_HANDLE_VALUE) {
        GPIO_CloseInterface(handle);
    }
    if (result != GPIO_RESULT_OK || value != 0x5A) {
        fprintf(stderr, "%s: %s, input 2 read 0x%02X\n", port, gpiolink_result_name(result), value);
        return 1;
    }
    printf("%s: output 2 0x5A, input 2 0x%02X, version %s\n", port, value, version);
    return 0;
}

int main(int argc, char **argv)
{
    HANDLE handle = NULL;
    const int result = GPIO_OpenInterface(ABSENT_PORT, &handle);
    printf("GPIO_OpenInterface(\"%s\") = %d %s: %s\n", ABSENT_PORT, result, gpiolink_result_name(result),
           gpiolink_result_text(result));
    if (result != GPIO_RESULT_IO_ERROR || handle != INVALID_HANDLE_VALUE) {
        fprintf(stderr, "expected %s and INVALID_HANDLE_VALUE\n", gpiolink_result_name(GPIO_RESULT_IO_ERROR));
        return 1;
    }
    return argc > 1 ? drive(argv[1]) : 0;
}
