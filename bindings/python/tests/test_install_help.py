"""What the package says when it finds no library to load (a wheel built
from the sdist carries none) and when a scan finds no controller."""

import sys

import pytest

import gpiolink
from gpiolink import Controller, GpioError, _diagnose, _native


@pytest.fixture
def no_library(monkeypatch, tmp_path):
    """No copy in the package, and every library the system might have
    refuses to load, as on a machine where none is installed."""
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setattr(_native, "_BUNDLED", str(tmp_path / "gpiolink" / "libgpiolink.so.0"))
    monkeypatch.delenv("GPIOLINK_LIBRARY", raising=False)

    def refuse(name, *args, **kwargs):
        raise OSError("%s: cannot open shared object file: No such file or directory" % name)

    monkeypatch.setattr(_native.ctypes, "CDLL", refuse)


@pytest.mark.skipif(sys.platform == "win32", reason="the Linux library's names")
def test_a_missing_library_names_what_to_install_and_what_was_tried(no_library, monkeypatch):
    with pytest.raises(OSError) as raised:
        gpiolink.scan()
    message = str(raised.value)
    for advice in ("install the gpiolink wheel for this platform", "the Debian package libgpiolink0",
                   "set GPIOLINK_LIBRARY to the library's full path"):
        assert advice in message
    tried = message.split("; tried ", 1)[1]
    assert tried.startswith("libgpiolink.so.0: libgpiolink.so.0: cannot open shared object file")
    assert "; libgpiolink.so: " in tried

    # With GPIOLINK_LIBRARY set, only that file is tried, and the message says so.
    monkeypatch.setenv("GPIOLINK_LIBRARY", "/nowhere/libgpiolink.so.0")
    with pytest.raises(OSError) as raised:
        Controller("pts/3")
    message = str(raised.value)
    assert "GPIOLINK_LIBRARY is set, so the system's copy was not tried" in message
    assert message.split("; tried ", 1)[1].startswith("/nowhere/libgpiolink.so.0: ")
    assert "; libgpiolink.so" not in message


class _NothingAnswers:
    """The library's scan when no port answered: OK with no name."""

    def GPIO_ScanInterface(self, buffer):
        return gpiolink.RESULT_OK


def _sysfs(folder, ttys):
    """A stand-in for /sys/class/tty: each tty with a device, and a ttyS
    port's UART type."""
    for name, uart_type in ttys:
        (folder / name / "device").mkdir(parents=True)
        if uart_type is not None:
            (folder / name / "type").write_text("%d\n" % uart_type)


@pytest.mark.skipif(sys.platform == "win32", reason="the Linux port list")
def test_a_scan_that_finds_nothing_lists_the_ports_it_tried(monkeypatch, tmp_path):
    monkeypatch.setattr(_native, "_library", _NothingAnswers())
    monkeypatch.setattr(_diagnose, "_CONSOLES", str(tmp_path / "consoles"))
    monkeypatch.setattr(_diagnose, "_TTY_CLASS", str(tmp_path / "tty"))
    # ttyS0 has no UART behind it: discovery skips it, and so does the list.
    _sysfs(tmp_path / "tty", [("ttyUSB0", None), ("ttyS10", 4), ("ttyS2", 4), ("ttyS0", 0)])
    with pytest.raises(GpioError) as raised:
        Controller()
    assert raised.value.code == gpiolink.RESULT_TIMEOUT
    assert str(raised.value) == ("GPIO_ScanInterface: scan found no controller on the ports it tried: "
                                 "ttyS2 ttyS10 ttyUSB0 (GPIO_RESULT_TIMEOUT)")

    monkeypatch.setattr(_diagnose, "_TTY_CLASS", str(tmp_path / "none"))
    with pytest.raises(GpioError) as raised:
        Controller(None)
    assert "scan found no controller: this system lists no serial port" in str(raised.value)
