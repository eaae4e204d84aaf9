"""Python access to the gpiolink library: a digital I/O controller on a serial port.

    import gpiolink

    with gpiolink.Controller("pts/3") as controller:   # "COM3" on Windows
        print(controller.version)
        controller.output(0, 0x5A)
        assert controller.input(0) == 0x5A
        controller.bit_set(1, 7)
        assert controller.bit_test(1, 7)

The library is the one this package carries (a wheel built by the release
holds it), or else the one named by the GPIOLINK_LIBRARY environment
variable (the full path of libgpiolink.so or gpiolink.dll), or else the one
the system's library search finds. __version__ is the package's version,
which is the library's release. Every failure the library reports is raised as GpioError, which
carries the result code and its name.

One interface per process: the library keeps a single open interface, and
any later open, even one that fails, replaces it without closing the
earlier port, which then stays locked until the process ends. This package
refuses to open a second Controller while one is open (GpioError: "another
Controller is still open; close it or use `with`"), and closes a Controller
that is garbage-collected while open. One left in a reference cycle is
collected only when the garbage collector runs, and holds the interface
until then.

One call at a time: the library shares its buffers between all calls and is
not thread-safe. This package serialises its own calls with a lock, but code
that reaches the library by another route must not overlap with it.
"""

from __future__ import annotations

import ctypes
import os
import weakref
from typing import Optional, Union

from . import _native

try:
    from ._version import version as __version__
except ImportError:  # imported from a source tree, not an installed package
    __version__ = "0+unknown"

__all__ = [
    "GpioError", "Controller", "scan", "result_name", "result_text",
    "RESULT_OK", "RESULT_BAD_HANDLE", "RESULT_DEVICE_FF", "RESULT_IO_ERROR",
    "RESULT_TIMEOUT", "RESULT_DEVICE_FE", "RESULT_UNEXPECTED",
    "RESULT_BIT_HIGH", "RESULT_BIT_LOW",
]

RESULT_OK = 0
RESULT_BAD_HANDLE = 1
RESULT_DEVICE_FF = 2
RESULT_IO_ERROR = 3
RESULT_TIMEOUT = 4
RESULT_DEVICE_FE = 5
RESULT_UNEXPECTED = 6
RESULT_BIT_HIGH = 7
RESULT_BIT_LOW = 8

# Indexed by result code; the same names and phrases as the C header's helpers.
_NAMES = (
    "GPIO_RESULT_OK", "GPIO_RESULT_BAD_HANDLE", "GPIO_RESULT_DEVICE_FF",
    "GPIO_RESULT_IO_ERROR", "GPIO_RESULT_TIMEOUT", "GPIO_RESULT_DEVICE_FE",
    "GPIO_RESULT_UNEXPECTED", "GPIO_RESULT_BIT_HIGH", "GPIO_RESULT_BIT_LOW",
)
_TEXTS = (
    "success",
    "handle is not the open interface, or the port stopped responding (unplugged?)",
    "the controller answered with status 0xFF",
    "corrupted reply, status 0xFD, or the port could not be used",
    "no reply from the controller",
    "the controller answered with status 0xFE",
    "unexpected reply from the controller",
    "the bit is high",
    "the bit is low",
)

_VERSION_BUFFER_SIZE = 256
_SCAN_BUFFER_SIZE = 256  # the library writes at most 20 bytes
_CAUSE_BUFFER_SIZE = 8192  # a path of up to 4095 bytes and the ports listed after it


def result_name(code: int) -> str:
    """"GPIO_RESULT_TIMEOUT" for 4; "GPIO_RESULT_UNKNOWN" outside 0-8."""
    return _NAMES[code] if 0 <= code < len(_NAMES) else "GPIO_RESULT_UNKNOWN"


def result_text(code: int) -> str:
    """A short phrase for a result code; "unknown result code" outside 0-8."""
    return _TEXTS[code] if 0 <= code < len(_TEXTS) else "unknown result code"


class GpioError(Exception):
    """A call into the library failed. .code is the result code, .name its name."""

    def __init__(self, code: int, operation: Optional[str] = None, detail: Optional[str] = None):
        self.code = code
        self.name = result_name(code)
        self.operation = operation
        text = detail if detail is not None else result_text(code)
        prefix = operation + ": " if operation else ""
        super().__init__("%s%s (%s)" % (prefix, text, self.name))


def _byte(value: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not 0 <= value <= 255:
        raise ValueError("%s must be 0-255, not %d" % (what, value))
    return value


def _check(code: int, operation: str) -> None:
    if code != RESULT_OK:
        raise GpioError(code, operation)


# The port of the process's open Controller, or None. Guarded by
# _native.call_lock. A Controller holds it from its open until its close,
# or until it is garbage-collected.
_open_port: Optional[str] = None


def _refuse_second_open() -> None:
    # A Controller that is no longer used but sits in a reference cycle is
    # freed, and so closed, only when the garbage collector runs: until then
    # it holds the interface, and the message says how not to leave one so.
    if _open_port is not None:
        raise GpioError(RESULT_IO_ERROR, "GPIO_OpenInterface",
                        "another Controller is still open; close it or use `with` (the one on %s: the "
                        "library keeps one open interface, and a Controller left in a reference cycle "
                        "keeps it until the garbage collector runs)" % _open_port)


def _release(handle: int) -> int:
    """Closes the open interface and frees the process's slot. Runs once per
    opened Controller: from close(), or when it is collected while open."""
    global _open_port
    with _native.call_lock:
        _open_port = None
        return _native.library().GPIO_CloseInterface(handle)


def scan() -> Optional[str]:
    """Probes the system's serial ports; the first on which the controller
    answers (a name for Controller), or None when none answered.

    Does not touch the open interface. Each silent port costs about 120 ms.
    Raises GpioError (RESULT_IO_ERROR) when the port list cannot be read.
    """
    buffer = ctypes.create_string_buffer(_SCAN_BUFFER_SIZE)
    with _native.call_lock:
        code = _native.library().GPIO_ScanInterface(buffer)
    _check(code, "GPIO_ScanInterface")
    return os.fsdecode(buffer.value) if buffer.value else None


class Controller:
    """The controller on one serial port, opened at construction.

    port is the port name: "COM3" on Windows; elsewhere a path that starts
    with "/" ("/dev/ttyUSB0", "/dev/serial/by-id/...", a link in any folder)
    or a name below /dev/ ("ttyUSB0", "pts/3"). Without it, scan() chooses
    the port, and GpioError with RESULT_TIMEOUT is raised when no port
    answered. A failed open raises GpioError whose message says why, in the
    library's words (gpiolink_describe_open_failure): no such device,
    permission denied, busy, not a serial device, or name too long.

    Opening makes this the process's only open interface: while it is open,
    opening another Controller raises GpioError (RESULT_IO_ERROR) without
    touching it. One that is garbage-collected while open is closed. Every
    method raises GpioError when the library reports a failure, and
    GpioError with RESULT_BAD_HANDLE once the Controller is closed. Port and
    bit numbers are 0-255; the controller itself answers numbers it does not
    have with status 0xFF (RESULT_DEVICE_FF).
    """

    def __init__(self, port: Union[str, bytes, None] = None):
        global _open_port
        self._handle: Optional[int] = None
        self._finalizer: Optional[weakref.finalize] = None
        with _native.call_lock:
            _refuse_second_open()
        if port is None:
            port = scan()
            if port is None:
                raise GpioError(RESULT_TIMEOUT, "GPIO_ScanInterface",
                                "scan found no controller on the ports the system lists")
        try:
            name = os.fsencode(port)
        except UnicodeError:
            # A name the file system's encoding cannot express names no port.
            raise ValueError("port name %r cannot be encoded for the file system" % (port,)) from None
        if not name or b"\0" in name:
            raise ValueError("port must be a non-empty name without NUL characters: %r" % (port,))
        self.port = os.fsdecode(name)
        handle = _native.HANDLE()
        with _native.call_lock:
            _refuse_second_open()
            code = _native.library().GPIO_OpenInterface(name, ctypes.byref(handle))
            if code == RESULT_OK:
                _open_port = self.port
                self._handle = handle.value
                self._finalizer = weakref.finalize(self, _release, handle.value)
            else:
                # The code says only that the open failed: the library says why.
                cause = ctypes.create_string_buffer(_CAUSE_BUFFER_SIZE)
                _native.library().gpiolink_describe_open_failure(name, cause, len(cause))
        if code != RESULT_OK:
            raise GpioError(code, "GPIO_OpenInterface", "the port could not be opened: " + os.fsdecode(cause.value))

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        try:
            self.close()
        except GpioError:
            # A failed close must not replace the exception that ended the block.
            if exc_type is None:
                raise

    def __repr__(self) -> str:
        state = "open" if self._handle is not None else "closed"
        return "<gpiolink.Controller %r %s>" % (self.port if hasattr(self, "port") else None, state)

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Closes the port; later calls do nothing. Raises GpioError with
        RESULT_BAD_HANDLE, once, when code outside this package has opened
        the library's interface since (the library then leaves this port
        open)."""
        finalizer, self._finalizer = self._finalizer, None
        self._handle = None
        if finalizer is not None and finalizer.alive:
            _check(finalizer(), "GPIO_CloseInterface")

    def _call(self, operation: str, *args) -> int:
        # The handle of a closed Controller is never passed on: the library
        # may have handed the same value to a later open.
        if self._handle is None:
            raise GpioError(RESULT_BAD_HANDLE, operation, "the controller is closed")
        with _native.call_lock:
            return getattr(_native.library(), operation)(self._handle, *args)

    def input(self, port: int) -> int:
        """Reads an 8-bit port."""
        value = ctypes.c_ubyte()
        _check(self._call("GPIO_Input", _byte(port, "port"), ctypes.byref(value)), "GPIO_Input")
        return value.value

    def output(self, port: int, value: int) -> None:
        """Writes an 8-bit port."""
        _check(self._call("GPIO_Output", _byte(port, "port"), _byte(value, "value")), "GPIO_Output")

    def bit_test(self, port: int, bit: int) -> bool:
        """True when the bit is high, False when it is low."""
        code = self._call("GPIO_BitTest", _byte(port, "port"), _byte(bit, "bit"))
        if code == RESULT_BIT_HIGH:
            return True
        if code == RESULT_BIT_LOW:
            return False
        if code == RESULT_OK:
            # A bit test never succeeds without a level.
            code = RESULT_UNEXPECTED
        raise GpioError(code, "GPIO_BitTest")

    def bit_set(self, port: int, bit: int) -> None:
        """Sets one bit."""
        _check(self._call("GPIO_BitSet", _byte(port, "port"), _byte(bit, "bit")), "GPIO_BitSet")

    def bit_reset(self, port: int, bit: int) -> None:
        """Clears one bit."""
        _check(self._call("GPIO_BitReset", _byte(port, "port"), _byte(bit, "bit")), "GPIO_BitReset")

    @property
    def version(self) -> str:
        """The controller's version text."""
        buffer = ctypes.create_string_buffer(_VERSION_BUFFER_SIZE)
        _check(self._call("GPIO_GetVersion", buffer, len(buffer)), "GPIO_GetVersion")
        return buffer.value.decode("latin-1")
