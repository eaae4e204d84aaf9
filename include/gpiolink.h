/*
 * gpiolink: drive a general-purpose digital I/O controller on a serial port.
 *
 * Every function returns one of the GPIO_RESULT_ codes below and passes data
 * back through pointer arguments. The library holds one open interface per
 * process and shares its transmit and receive buffers between all calls, so
 * an application must never have two calls into the library running at once.
 */
#ifndef GPIOLINK_H
#define GPIOLINK_H

/*
 * On Windows, HANDLE and INVALID_HANDLE_VALUE come from <windows.h>, which
 * is included as the application's own macros configure it: this header
 * defines none of them (WIN32_LEAN_AND_MEAN, NOMINMAX, ...). As with
 * <windows.h> itself, include <winsock2.h> first when the program uses it.
 * The header defines only GPIO_ and GPIOLINK_ names (and, outside Windows,
 * HANDLE and INVALID_HANDLE_VALUE).
 */
#if defined(_WIN32)
#  include <windows.h>
#else
/* Outside Windows the library keeps the Windows spelling of a port handle. */
typedef void *HANDLE;
#  ifndef INVALID_HANDLE_VALUE
#    define INVALID_HANDLE_VALUE ((HANDLE)(long)-1)
#  endif
#endif

/*
 * GPIOLINK_API marks the exported functions. Define GPIOLINK_STATIC when
 * linking the library's objects directly rather than through the DLL.
 */
#if defined(_WIN32)
#  if defined(GPIOLINK_BUILD) || defined(GPIOLINK_STATIC)
#    define GPIOLINK_API
#  else
#    define GPIOLINK_API __declspec(dllimport)
#  endif
#else
#  define GPIOLINK_API __attribute__((visibility("default")))
#endif

/* The result-name helpers below are inline in C99, C11 and C++, and with
 * the compiler's own inline keyword in C89. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#  define GPIOLINK_INLINE inline
#elif defined(__GNUC__) || defined(_MSC_VER)
#  define GPIOLINK_INLINE __inline
#else
#  define GPIOLINK_INLINE
#endif

#define GPIO_RESULT_OK 0          /* success */
#define GPIO_RESULT_BAD_HANDLE 1  /* handle not the open interface, or the port
                                     refused its purge (unplugged?) */
#define GPIO_RESULT_DEVICE_FF 2   /* the controller answered with status 0xFF */
#define GPIO_RESULT_IO_ERROR 3    /* corrupted reply, status 0xFD, open failed */
#define GPIO_RESULT_TIMEOUT 4     /* no valid reply before 100 ms of silence */
#define GPIO_RESULT_DEVICE_FE 5   /* the controller answered with status 0xFE */
#define GPIO_RESULT_UNEXPECTED 6  /* any other status or malformed reply */
#define GPIO_RESULT_BIT_HIGH 7    /* bit test: the bit is high */
#define GPIO_RESULT_BIT_LOW 8     /* bit test: the bit is low */

/* The causes gpiolink_describe_open_failure finds. */
#define GPIOLINK_OPEN_FAILURE_NONE 0            /* nothing wrong found: the port opens now */
#define GPIOLINK_OPEN_FAILURE_BUSY 1            /* another process holds the port */
#define GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE 2  /* no such port, or no device behind it */
#define GPIOLINK_OPEN_FAILURE_PERMISSION 3      /* the user may not open it */
#define GPIOLINK_OPEN_FAILURE_NOT_SERIAL 4      /* a file, a folder, another kind of
                                                   device, a pseudo-terminal's master */
#define GPIOLINK_OPEN_FAILURE_CONSOLE 5         /* a console of the system or the
                                                   kernel's console (/proc/consoles) */
#define GPIOLINK_OPEN_FAILURE_SESSION 6         /* the controlling terminal of this or
                                                   another session */
#define GPIOLINK_OPEN_FAILURE_NAME 7            /* no name, a name too long, or no port name */
#define GPIOLINK_OPEN_FAILURE_OTHER 8           /* any other error the system gives */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Finds the port on which the controller answers: probes every serial port
 * the system lists (the registry on Windows, /sys/class/tty elsewhere) with a
 * version request and stops at the first that identifies itself.
 *   portName  buffer of at least 20 bytes. Receives the port name, or "" when
 *             no port answered; left as passed when the system lists no ports.
 *             Names longer than fit (7 characters on Windows, 19 elsewhere)
 *             are passed over whole.
 * Returns GPIO_RESULT_OK when the walk completes, found or not, and
 * GPIO_RESULT_IO_ERROR when the port list cannot be read or portName is
 * null. Never touches the open interface. A port that keeps sending without
 * answering (a device that streams data) costs at most about a second.
 */
GPIOLINK_API int GPIO_ScanInterface(char *portName);

/*
 * Opens the port at 38400 baud, 8N1, DTR raised and RTS low, and makes it the
 * open interface. On Windows portName is a name such as "COM3" (up to 15
 * characters, opened as \\.\COM3). Elsewhere a name that starts with '/' is
 * a path used as it stands ("/dev/ttyUSB0", "/dev/serial/by-id/...", a link
 * in any folder) and any other name lies below /dev/ ("ttyUSB0", "pts/3");
 * paths have up to 4095 characters.
 *   handle  always receives the result of the open, INVALID_HANDLE_VALUE on
 *           failure; the open interface becomes that same value.
 * Returns GPIO_RESULT_OK, or GPIO_RESULT_IO_ERROR when the port name is too
 * long, the port is absent, busy, or not a serial device. Opening again
 * replaces the open interface without closing the earlier port. A null
 * portName or handle gives GPIO_RESULT_IO_ERROR before anything is opened;
 * then nothing is written and the open interface stays as it was.
 * The interface belongs to the process that opened it: in a child process
 * (fork(), or any other way of copying the process) its calls and its close
 * give GPIO_RESULT_BAD_HANDLE and cannot touch the parent's port.
 */
GPIOLINK_API int GPIO_OpenInterface(const char *portName, HANDLE *handle);

/*
 * Why GPIO_OpenInterface(port, ...) fails: looks at the port as the open
 * does (its name, the file, its permissions, a trial open that is closed
 * again) and says in one line what is wrong and what to do, such as
 * "busy: /dev/ttyUSB0 is held by another process".
 *   text  receives the line, zero-terminated and cut to size bytes (the
 *         terminator always lies inside); with a null text or a size of 0
 *         or less nothing is written.
 * Returns one of the GPIOLINK_OPEN_FAILURE_ codes above, and
 * GPIOLINK_OPEN_FAILURE_NONE when nothing is wrong now (the port was busy
 * for a moment, and opens now). Never touches the open interface; like the
 * other calls, it must not run at the same time as another call into the
 * library.
 */
GPIOLINK_API int gpiolink_describe_open_failure(const char *port, char *text, int size);

/*
 * Closes the open interface. Returns GPIO_RESULT_OK, or GPIO_RESULT_BAD_HANDLE
 * when handle is null or not the open interface (nothing is closed then).
 * After an exchange that timed out or got a damaged reply, the close first
 * waits until the line has been silent for 100 ms (see below): at once, that
 * is about 80 ms after the failed call returned, longer while bytes still
 * arrive, at most a second. A close after healthy exchanges waits for
 * nothing.
 */
GPIOLINK_API int GPIO_CloseInterface(HANDLE handle);

/*
 * The device operations below each make one request/reply exchange and
 * return GPIO_RESULT_BAD_HANDLE (wrong handle, or the port refused the purge
 * of its receive queue), GPIO_RESULT_IO_ERROR (corrupted reply, status 0xFD,
 * or the port took no bytes), GPIO_RESULT_TIMEOUT, GPIO_RESULT_DEVICE_FE,
 * GPIO_RESULT_DEVICE_FF or GPIO_RESULT_UNEXPECTED (any other status, or a
 * reply too short for what the operation reads) besides their own results.
 * Each blocks for at least 20 ms, about 120 ms when the controller is silent.
 * A line that keeps sending bytes that form no reply holds a call for about
 * a second at most, and for a second more when the call before it timed out
 * (the wait for silence below gives up after a second too).
 *
 * A reply carries no request number, so a reply that comes after its
 * exchange has given up (GPIO_RESULT_TIMEOUT), or a good frame that follows
 * a damaged one (GPIO_RESULT_IO_ERROR), could be taken as the answer to the
 * next request. To prevent that, whatever uses the line next after such a
 * failure first waits until the line has been silent for 100 ms, counted
 * from the failure, and discards what arrives meanwhile: the next exchange,
 * the close (so that a reopen, or the next process, starts on a quiet line),
 * and a discovery probe's close. Anything that comes later than that waits
 * for nothing. A controller whose replies always come after the time-out
 * then gives GPIO_RESULT_TIMEOUT every time, never a wrong value. The
 * limits: a reply that comes more than about 200 ms after its request can
 * still be taken for the answer to a later request, and a process that is
 * killed during or right after a failed call cannot wait, so the next
 * process to open the port may meet such a reply.
 */

/*
 * Reads a port. *value is written only when the result is GPIO_RESULT_OK. A
 * null value gives GPIO_RESULT_UNEXPECTED before anything is sent.
 */
GPIOLINK_API int GPIO_Input(HANDLE handle, unsigned char port,
                            unsigned char *value);

/* Writes value to a port. */
GPIOLINK_API int GPIO_Output(HANDLE handle, unsigned char port,
                             unsigned char value);

/*
 * Tests one bit: GPIO_RESULT_BIT_HIGH or GPIO_RESULT_BIT_LOW on success
 * (never GPIO_RESULT_OK), GPIO_RESULT_UNEXPECTED for any other level.
 */
GPIOLINK_API int GPIO_BitTest(HANDLE handle, unsigned char port,
                              unsigned char bit);

/* Sets one bit. */
GPIOLINK_API int GPIO_BitSet(HANDLE handle, unsigned char port,
                             unsigned char bit);

/* Resets (clears) one bit. */
GPIOLINK_API int GPIO_BitReset(HANDLE handle, unsigned char port,
                               unsigned char bit);

/*
 * Reads the controller's version text into buffer, zero-terminated and cut
 * to bufferSize bytes (the terminator always lies inside the buffer).
 *   On GPIO_RESULT_OK buffer holds the text. After a reply with a non-zero
 *   status it holds the raw reply payload, status first. On every other path
 *   it is not written. A bufferSize of 0 or less, or an empty reply, gives
 *   GPIO_RESULT_UNEXPECTED; a failed purge also gives GPIO_RESULT_UNEXPECTED.
 *   A null buffer gives GPIO_RESULT_UNEXPECTED before anything is sent.
 */
GPIOLINK_API int GPIO_GetVersion(HANDLE handle, char *buffer, int bufferSize);

/*
 * The name of a result code ("GPIO_RESULT_TIMEOUT") and a short phrase
 * describing it. Header-only and thread-safe: both return constant strings,
 * "GPIO_RESULT_UNKNOWN" and "unknown result code" for codes outside 0-8.
 */
static GPIOLINK_INLINE const char *gpiolink_result_name(int result)
{
    static const char *const names[] = {
        "GPIO_RESULT_OK",         "GPIO_RESULT_BAD_HANDLE", "GPIO_RESULT_DEVICE_FF",
        "GPIO_RESULT_IO_ERROR",   "GPIO_RESULT_TIMEOUT",    "GPIO_RESULT_DEVICE_FE",
        "GPIO_RESULT_UNEXPECTED", "GPIO_RESULT_BIT_HIGH",   "GPIO_RESULT_BIT_LOW",
    };
    return result >= 0 && result <= GPIO_RESULT_BIT_LOW ? names[result] : "GPIO_RESULT_UNKNOWN";
}

static GPIOLINK_INLINE const char *gpiolink_result_text(int result)
{
    static const char *const texts[] = {
        "success",
        "handle is not the open interface, or the port stopped responding (unplugged?)",
        "the controller answered with status 0xFF",
        "corrupted reply, status 0xFD, or the port could not be used",
        "no reply from the controller",
        "the controller answered with status 0xFE",
        "unexpected reply from the controller",
        "the bit is high",
        "the bit is low",
    };
    return result >= 0 && result <= GPIO_RESULT_BIT_LOW ? texts[result] : "unknown result code";
}

#ifdef __cplusplus
}
#endif

#endif /* GPIOLINK_H */
