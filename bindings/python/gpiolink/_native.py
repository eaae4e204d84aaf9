"""Loads the gpiolink shared library and declares its functions."""

import ctypes
import ctypes.util
import os
import sys
import threading

HANDLE = ctypes.c_void_p

# (name, restype, argtypes) of every exported function.
_PROTOTYPES = (
    ("GPIO_ScanInterface", ctypes.c_int, (ctypes.c_char_p,)),
    ("GPIO_OpenInterface", ctypes.c_int, (ctypes.c_char_p, ctypes.POINTER(HANDLE))),
    ("GPIO_CloseInterface", ctypes.c_int, (HANDLE,)),
    ("GPIO_Input", ctypes.c_int, (HANDLE, ctypes.c_ubyte, ctypes.POINTER(ctypes.c_ubyte))),
    ("GPIO_Output", ctypes.c_int, (HANDLE, ctypes.c_ubyte, ctypes.c_ubyte)),
    ("GPIO_BitTest", ctypes.c_int, (HANDLE, ctypes.c_ubyte, ctypes.c_ubyte)),
    ("GPIO_BitSet", ctypes.c_int, (HANDLE, ctypes.c_ubyte, ctypes.c_ubyte)),
    ("GPIO_BitReset", ctypes.c_int, (HANDLE, ctypes.c_ubyte, ctypes.c_ubyte)),
    ("GPIO_GetVersion", ctypes.c_int, (HANDLE, ctypes.c_char_p, ctypes.c_int)),
    ("gpiolink_describe_open_failure", ctypes.c_int, (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int)),
)

# The library shares its buffers between all calls: every call through this
# package holds this lock, so Python threads take turns.
call_lock = threading.RLock()

_library = None


# The library a wheel carries, in the package's own folder.
_BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        "gpiolink.dll" if sys.platform == "win32" else "libgpiolink.so.0")


def _candidates():
    """The libraries to try, in order: the one this package carries, then
    GPIOLINK_LIBRARY, then the system's."""
    bundled = [_BUNDLED] if os.path.isfile(_BUNDLED) else []
    explicit = os.environ.get("GPIOLINK_LIBRARY")
    if explicit:
        # An explicit path is the only choice after the package's own copy:
        # falling back to the system's would hide a wrong setting.
        return bundled + [explicit]
    if sys.platform == "win32":
        names = ["gpiolink.dll"]
    elif sys.platform == "darwin":
        names = ["libgpiolink.0.dylib", "libgpiolink.dylib"]
    else:
        names = ["libgpiolink.so.0", "libgpiolink.so"]
    found = ctypes.util.find_library("gpiolink")
    if found and found not in names:
        names.append(found)
    return bundled + names


def library():
    """The loaded library, loaded on first use. Raises OSError if absent."""
    global _library
    with call_lock:
        if _library is None:
            failures = []
            for candidate in _candidates():
                try:
                    loaded = ctypes.CDLL(candidate)
                except OSError as error:
                    failures.append("%s: %s" % (candidate, error))
                    continue
                try:
                    for name, restype, argtypes in _PROTOTYPES:
                        function = getattr(loaded, name)
                        function.restype = restype
                        function.argtypes = argtypes
                except AttributeError as error:
                    failures.append("%s: %s" % (candidate, error))
                    continue
                _library = loaded
                break
            else:
                raise OSError(not_loaded(failures))
        return _library


def not_loaded(failures):
    """The message for a library that could not be loaded: what to install,
    then each candidate tried ("NAME: ERROR"). A wheel built from the sdist
    carries no library."""
    if sys.platform == "win32":
        text = ("the gpiolink library gpiolink.dll could not be loaded: install the gpiolink wheel for this "
                "platform (win_amd64), which carries it, or set GPIOLINK_LIBRARY to the full path of the 64-bit "
                "gpiolink.dll (from the gpiolink Windows zip)")
    else:
        text = ("the gpiolink library libgpiolink.so.0 could not be loaded: install the gpiolink wheel for this "
                "platform (manylinux x86_64), which carries it, or the Debian package libgpiolink0 (or gpiolink "
                "built from source and installed, then ldconfig), or set GPIOLINK_LIBRARY to the library's full "
                "path")
    if os.environ.get("GPIOLINK_LIBRARY"):
        text += "; GPIOLINK_LIBRARY is set, so the system's copy was not tried"
    return text + "; tried " + "; ".join(failures)
