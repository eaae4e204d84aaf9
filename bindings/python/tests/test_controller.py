import ctypes
import gc
import importlib.metadata
import os
import pathlib
import re
import time

import pytest

import gpiolink
from gpiolink import GpioError, Controller, _native

HEADER = pathlib.Path(__file__).resolve().parents[3] / "include/gpiolink.h"


def test_result_tables_match_the_c_header():
    header = HEADER.read_text()
    for function, table in (("name", gpiolink.result_name), ("text", gpiolink.result_text)):
        body = re.search(r"gpiolink_result_%s\(int result\)(.*?)\n}" % function, header, re.S).group(1)
        strings = re.findall(r'"([^"]*)"', body)
        assert [table(code) for code in range(9)] + [table(9)] == strings[:9] + strings[-1:]
        assert table(-1) == strings[-1]


def test_open_close_and_context_manager(sim_port):
    controller = Controller(sim_port)
    assert not controller.closed and controller.port == sim_port
    controller.close()
    controller.close()  # a second close does nothing
    with Controller(sim_port) as controller:
        assert controller.version == "GPIO-SIM 1.0"
    assert controller.closed


def test_output_reads_back_through_input(controller):
    for port, value in ((0, 0x00), (1, 0x5A), (3, 0xFF)):
        controller.output(port, value)
        assert controller.input(port) == value


def test_bit_operations_touch_one_bit(controller):
    controller.output(2, 0x01)
    controller.bit_set(2, 7)
    assert controller.input(2) == 0x81
    assert controller.bit_test(2, 7) is True
    controller.bit_reset(2, 0)
    assert controller.bit_test(2, 0) is False
    assert controller.input(2) == 0x80


@pytest.mark.parametrize("call, code", [
    (lambda c: c.input(0xF0), gpiolink.RESULT_TIMEOUT),
    (lambda c: c.output(0xF4, 1), gpiolink.RESULT_DEVICE_FF),
    (lambda c: c.bit_test(0xF3, 0), gpiolink.RESULT_DEVICE_FE),
    (lambda c: c.bit_test(0xF6, 0), gpiolink.RESULT_UNEXPECTED),  # status without a level
    (lambda c: c.bit_set(0, 8), gpiolink.RESULT_DEVICE_FF),  # the device has no bit 8
])
def test_failures_raise_gpio_error_with_code_and_name(controller, call, code):
    with pytest.raises(GpioError) as raised:
        call(controller)
    assert raised.value.code == code
    assert raised.value.name == gpiolink.result_name(code)
    assert gpiolink.result_text(code) in str(raised.value)
    assert controller.input(0) is not None  # the session carries on


@pytest.mark.parametrize("call, error", [
    (lambda c: c.input(256), ValueError),
    (lambda c: c.output(0, -1), ValueError),
    (lambda c: c.bit_reset(0, 300), ValueError),
    (lambda c: c.bit_test("0", 1), TypeError),
    (lambda c: c.output(0, True), TypeError),
])
def test_arguments_are_checked_before_the_library(controller, call, error):
    with pytest.raises(error):
        call(controller)


def test_closed_controller_never_reaches_the_next_one(sim_port):
    first = Controller(sim_port)
    first.close()
    with Controller(sim_port) as second:  # likely the same handle value
        with pytest.raises(GpioError) as raised:
            first.input(0)
        assert raised.value.code == gpiolink.RESULT_BAD_HANDLE
        second.output(0, 0x33)
        assert second.input(0) == 0x33


def test_second_open_is_refused_and_leaves_the_first_open(sim_port, start_sim):
    other = start_sim()
    with Controller(sim_port) as first:
        for port in (other, sim_port, None):  # another port, the same one, a scan
            with pytest.raises(GpioError, match="still open") as raised:
                Controller(port)
            assert raised.value.code == gpiolink.RESULT_IO_ERROR
        first.output(1, 0x42)
        assert first.input(1) == 0x42
    with Controller(other) as second:  # the slot is free once the first closed
        assert second.version.startswith("GPIO-")


def test_a_controller_in_a_reference_cycle_holds_the_interface_until_collected(start_sim):
    port = start_sim()
    gc.disable()  # the collector must not run before the second open
    try:
        dropped = Controller(port)
        dropped.itself = dropped  # a reference cycle: only the collector frees it
        del dropped
        with pytest.raises(GpioError) as raised:
            Controller(port)
        assert raised.value.code == gpiolink.RESULT_IO_ERROR
        assert "another Controller is still open; close it or use `with`" in str(raised.value)
        assert "reference cycle" in str(raised.value)
    finally:
        gc.collect()
        gc.enable()
    with Controller(port) as again:  # collected, and so closed
        again.output(0, 0x2C)


def test_collected_open_controller_is_closed(sim_port):
    Controller(sim_port).output(0, 0x17)  # dropped while open
    gc.collect()
    # Opens only if the port was closed: the library locks an open port.
    with Controller(sim_port) as again:
        assert again.input(0) == 0x17


def test_close_keeps_the_block_exception(start_sim):
    port = start_sim()
    with pytest.raises(RuntimeError):
        with Controller(port) as opened:
            # Code outside the package opens the library's interface, which
            # replaces this one: its calls and its close fail.
            handle = _native.HANDLE()
            assert _native.library().GPIO_OpenInterface(b"no-such-port-here", ctypes.byref(handle)) == \
                gpiolink.RESULT_IO_ERROR
            with pytest.raises(GpioError):
                opened.input(0)
            raise RuntimeError("from the block")
    with Controller(start_sim()):  # and the package's slot was freed
        pass


def test_open_of_a_missing_port_is_an_io_error():
    with pytest.raises(GpioError) as raised:
        Controller("no-such-port-here")
    assert raised.value.code == gpiolink.RESULT_IO_ERROR
    with pytest.raises(ValueError):
        Controller("pts/\0")


def test_scan_gives_the_found_name_none_or_the_error(monkeypatch):
    # The system's port list cannot be chosen from here, so a stand-in for
    # the library answers. Writing no name (an empty port list) leaves the
    # buffer as passed.
    answer = {"code": gpiolink.RESULT_OK, "name": None}

    class ScanOnly:
        def GPIO_ScanInterface(self, buffer):
            if answer["name"] is not None:
                buffer.value = answer["name"]
            return answer["code"]

    monkeypatch.setattr(_native, "_library", ScanOnly())
    for name, expected in ((b"pts/7", "pts/7"), (b"", None), (None, None)):
        answer["name"] = name
        assert gpiolink.scan() == expected
    with pytest.raises(GpioError) as raised:
        Controller()  # no port given, and none answered
    assert raised.value.code == gpiolink.RESULT_TIMEOUT
    answer["code"] = gpiolink.RESULT_IO_ERROR
    with pytest.raises(GpioError) as raised:
        gpiolink.scan()
    assert raised.value.code == gpiolink.RESULT_IO_ERROR


def test_explicit_library_path_has_no_fallback(monkeypatch, tmp_path):
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setattr(_native, "_BUNDLED", str(tmp_path / "libnone.so.0"))
    monkeypatch.setenv("GPIOLINK_LIBRARY", str(tmp_path / "libmissing.so"))
    with pytest.raises(OSError, match="GPIOLINK_LIBRARY"):
        _native.library()


def test_the_package_own_library_comes_before_the_variable(monkeypatch, tmp_path):
    # A wheel's library sits in the package's folder: it wins over a
    # GPIOLINK_LIBRARY that points elsewhere.
    real = os.environ.get("GPIOLINK_LIBRARY")
    if not real:
        pytest.skip("GPIOLINK_LIBRARY does not name the built library")
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setattr(_native, "_BUNDLED", real)
    monkeypatch.setenv("GPIOLINK_LIBRARY", str(tmp_path / "libmissing.so"))
    assert _native.library()._name == real


def test_port_name_the_file_system_cannot_encode_is_a_value_error():
    with pytest.raises(ValueError) as raised:
        Controller("pts/\ud800")  # a lone surrogate has no encoding
    assert type(raised.value) is ValueError
    assert "cannot be encoded" in str(raised.value)


def test_installed_package_is_the_one_under_test():
    # Under ctest the package comes from a venv, with the project's version.
    expected = os.environ.get("GPIOLINK_VERSION")
    if not expected:
        pytest.skip("GPIOLINK_VERSION is not set: not the installed package's run")
    assert importlib.metadata.version("gpiolink") == expected
    assert gpiolink.__version__ == expected
    assert "site-packages" in pathlib.Path(gpiolink.__file__).parts


# A failed call returns 20 ms (its pause) after the failure, and the line is
# kept from the next user until it has been silent for 100 ms from the
# failure: a piece of reply that goes out up to 50 ms after its call returned
# arrives in that window with 30 ms to spare; a later one may not.
LATE_AFTER_CALL_MS = 50


def _measure(call, *expected):
    """Runs call(); returns (start, end, result code or 0, value), times in ms
    of the monotonic clock, and whether the result is one of `expected`."""
    start = time.monotonic() * 1000
    code, value = 0, None
    try:
        value = call()
    except GpioError as error:
        code = error.code
    return {"start": start, "end": time.monotonic() * 1000, "code": code, "value": value,
            "anomalous": code not in expected}


@pytest.mark.parametrize("late", [True, False], ids=["late", "damaged"])
def test_no_reply_reaches_the_next_with_block(start_sim, late, tmp_path):
    """A Controller per call, as scripts use them: a reply 150 ms late, or a
    damaged reply with the good one 40 ms behind (magic port 251, which
    answers with port 0's value), must never answer the next block's call.
    Ports 0-3 hold 0xA0-0xA3. GPIOLINK_LATE_CALLS=200 is the long run.

    On a loaded machine the simulator itself can send a reply later than the
    library's limit, so it writes down when each piece of reply went out
    (--reply-times, on the monotonic clock), and a call that met another
    request's reply is a fault only when no earlier request's reply went out
    late while that call or the one before it ran."""
    times = tmp_path / "reply-times"
    options = ("--delay", "150") if late else ()
    port = start_sim(*options, "--reply-times", str(times))
    ok, timeout, io_error = gpiolink.RESULT_OK, gpiolink.RESULT_TIMEOUT, gpiolink.RESULT_IO_ERROR
    calls = []
    with Controller(port) as controller:
        for n in range(4):
            calls.append(_measure(lambda: controller.output(n, 0xA0 + n), ok, timeout))
    count = int(os.environ.get("GPIOLINK_LATE_CALLS", "24"))
    for i in range(count):
        n = i % 4 if late else 1 + i // 2 % 3
        with Controller(port) as controller:
            if not late and i % 2 == 0:
                calls.append(_measure(lambda: controller.input(251), io_error))
                continue
            call = _measure(lambda: controller.input(n), ok, timeout)
            call["anomalous"] |= call["code"] == ok and call["value"] != 0xA0 + n
            calls.append(call)
    # One frame a call: a piece's request number is its call's index.
    pieces = [tuple(int(field) for field in line.split()) for line in times.read_text().splitlines()]
    late_pieces = []
    for request, received, sent in pieces:
        assert request < len(calls), "a reply to a request that no call made"
        assert received / 1000 >= calls[request]["start"] - 1, "the simulator's clock is not this process's"
        if sent / 1000 - calls[request]["end"] > LATE_AFTER_CALL_MS:
            late_pieces.append((request, sent / 1000))
    judged, faults = 0, []
    for i, call in enumerate(calls):
        since = calls[max(0, i - 1)]["start"]
        if any(request < i and since <= sent <= call["end"] for request, sent in late_pieces):
            continue
        judged += 1
        if call["anomalous"]:
            faults.append("call %d: result %d, value %r" % (i, call["code"], call["value"]))
    print("late replies, %s, a with block a call: %d calls, %d judged, %d faults; %d of %d reply pieces went out"
          " over %d ms after their call returned" % ("late" if late else "damaged", len(calls), judged, len(faults),
                                                     len(late_pieces), len(pieces), LATE_AFTER_CALL_MS))
    assert faults == []
    assert judged > 0, "every call met a reply that went out too late to judge it: the machine is too busy"
