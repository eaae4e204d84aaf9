"""A failed open says why in the library's words, passed through whole:
the shared table's cause for a file whose name is not ASCII. (Every cause
of the table is checked against the library and gpioctl.)"""

import pathlib
import re

import pytest

import gpiolink
from gpiolink import Controller, GpioError

_CAUSES = pathlib.Path(__file__).resolve().parents[3] / "tests" / "open_failure" / "causes.txt"


def test_a_failed_open_carries_the_librarys_cause(tmp_path):
    plain = tmp_path / "prüfstand"
    plain.write_bytes(b"")
    row = next(line for line in _CAUSES.read_text().splitlines() if line.startswith("regular-file\t"))
    expected = row.split("\t", 1)[1].replace("{path}", re.escape(str(plain)))
    with pytest.raises(GpioError) as raised:
        Controller(str(plain))
    assert raised.value.code == gpiolink.RESULT_IO_ERROR
    assert re.fullmatch("GPIO_OpenInterface: the port could not be opened: " + expected + r" \(GPIO_RESULT_IO_ERROR\)",
                        str(raised.value)), str(raised.value)
    assert plain.stat().st_size == 0
