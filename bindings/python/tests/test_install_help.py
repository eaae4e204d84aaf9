"""What the package says when it finds no library to load (a wheel built
from the sdist carries none) and when a scan finds no controller."""

import sys

import pytest

import gpiolink
from gpiolink import Controller, GpioError, _native

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="the Linux library's names and port list")


def test_a_missing_library_names_what_to_install_and_what_was_tried(monkeypatch, tmp_path):
    # No copy in the package, and every library the system might have
    # refuses to load, as on a machine where none is installed.
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setattr(_native, "_BUNDLED", str(tmp_path / "libgpiolink.so.0"))
    monkeypatch.delenv("GPIOLINK_LIBRARY", raising=False)

    def refuse(name, *args, **kwargs):
        raise OSError("%s: cannot open shared object file" % name)

    monkeypatch.setattr(_native.ctypes, "CDLL", refuse)
    with pytest.raises(OSError) as raised:
        gpiolink.scan()
    advice, tried = str(raised.value).split("; tried ", 1)
    for what in ("the gpiolink wheel for this platform", "the Debian package libgpiolink0",
                 "set GPIOLINK_LIBRARY to the library's full path"):
        assert what in advice
    assert tried.startswith("libgpiolink.so.0: libgpiolink.so.0: cannot open") and "; libgpiolink.so: " in tried

    # With GPIOLINK_LIBRARY set, that file alone is tried, and the message says so.
    monkeypatch.setenv("GPIOLINK_LIBRARY", "/nowhere/libgpiolink.so.0")
    with pytest.raises(OSError) as raised:
        Controller("pts/3")
    advice, tried = str(raised.value).split("; tried ", 1)
    assert advice.endswith("GPIOLINK_LIBRARY is set, so the system's copy was not tried")
    assert tried == "/nowhere/libgpiolink.so.0: /nowhere/libgpiolink.so.0: cannot open shared object file"


class _NothingAnswers:
    def GPIO_ScanInterface(self, buffer):
        return gpiolink.RESULT_OK  # no name written: no port answered


def test_a_scan_that_finds_nothing_says_so(monkeypatch):
    monkeypatch.setattr(_native, "_library", _NothingAnswers())
    with pytest.raises(GpioError) as raised:
        Controller()
    assert raised.value.code == gpiolink.RESULT_TIMEOUT
    assert str(raised.value) == ("GPIO_ScanInterface: scan found no controller on the ports the system lists "
                                 "(GPIO_RESULT_TIMEOUT)")
