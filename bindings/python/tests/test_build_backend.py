"""The package's build backend: wheels pip accepts, the same bytes every time."""

import hashlib
import base64
import pathlib
import sys
import tarfile
import zipfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "build_backend"))
import gpiolink_backend  # noqa: E402


def test_wheel_records_every_file_with_its_hash(tmp_path):
    library = tmp_path / "libgpiolink.so.0"
    library.write_bytes(b"\x7fELF stand-in")
    name = gpiolink_backend.build_wheel(
        str(tmp_path), {"native-library": str(library), "platform": "manylinux_2_17_x86_64"})
    assert name == "gpiolink-%s-py3-none-manylinux_2_17_x86_64.whl" % gpiolink_backend.version()
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = wheel.namelist()
        record = wheel.read(next(n for n in names if n.endswith("/RECORD"))).decode().splitlines()
        assert sorted(line.split(",")[0] for line in record) == sorted(names)
        for line in record:
            path, digest, size = line.split(",")
            if path.endswith("/RECORD"):
                continue
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == ("sha256=" + expected, len(data))
        assert wheel.read("gpiolink/libgpiolink.so.0") == library.read_bytes()
        assert wheel.getinfo("gpiolink/libgpiolink.so.0").external_attr >> 16 == 0o100755
        assert b"Root-Is-Purelib: false" in wheel.read(next(n for n in names if n.endswith("/WHEEL")))
        assert "version = %r" % gpiolink_backend.version() in wheel.read("gpiolink/_version.py").decode()
    with pytest.raises(ValueError):  # a library needs its platform
        gpiolink_backend.build_wheel(str(tmp_path), {"native-library": str(library)})


def test_archives_are_reproducible(tmp_path, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    first, second = tmp_path / "first", tmp_path / "second"
    for folder in (first, second):
        folder.mkdir()
        wheel = gpiolink_backend.build_wheel(str(folder))
        sdist = gpiolink_backend.build_sdist(str(folder))
    for name in (wheel, sdist):
        assert (first / name).read_bytes() == (second / name).read_bytes()
    with tarfile.open(first / sdist) as archive:
        assert all(member.mtime == 1700000000 for member in archive.getmembers())
        names = archive.getnames()
    assert names == sorted(names)
    root = names[0].split("/")[0]
    assert {root + "/PKG-INFO", root + "/LICENSE", root + "/gpiolink/__init__.py"} <= set(names)



def test_wheel_with_programs_installs_them_as_commands(tmp_path):
    library = tmp_path / "libgpiolink.so.0"
    library.write_bytes(b"\x7fELF library stand-in")
    programs = tmp_path / "programs"
    programs.mkdir()
    for name in ("gpioctl", "gpio-sim"):
        (programs / name).write_bytes(b"\x7fELF " + name.encode())
    settings = {"native-library": str(library), "platform": "manylinux_2_28_x86_64",
                "programs": "%s:%s" % (programs / "gpioctl", programs / "gpio-sim")}
    name = gpiolink_backend.build_wheel(str(tmp_path), settings)
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = wheel.namelist()
        for program in ("gpioctl", "gpio-sim"):
            entry = "gpiolink/bin/" + program
            assert wheel.read(entry) == (programs / program).read_bytes()
            assert wheel.getinfo(entry).external_attr >> 16 == 0o100755
        entry_points = wheel.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
        record = wheel.read(next(n for n in names if n.endswith("/RECORD"))).decode()
    assert entry_points.splitlines() == ["[console_scripts]", "gpio-sim = gpiolink._programs:gpio_sim",
                                         "gpioctl = gpiolink._programs:gpioctl"]
    assert "gpiolink/bin/gpio-sim,sha256=" in record and ".dist-info/entry_points.txt,sha256=" in record
    # The functions the commands name exist.
    import gpiolink._programs as commands
    assert callable(commands.gpio_sim) and callable(commands.gpioctl)

    # A wheel without programs declares no commands.
    plain = gpiolink_backend.build_wheel(str(tmp_path / "programs"), {"native-library": str(library),
                                                                      "platform": "win_amd64"})
    with zipfile.ZipFile(tmp_path / "programs" / plain) as wheel:
        assert not [n for n in wheel.namelist() if n.endswith("entry_points.txt") or "/bin/" in n]

    for wrong in ({"programs": str(programs / "gpioctl")},  # programs without the library
                  dict(settings, programs=str(library))):  # a file that is no known program
        with pytest.raises(ValueError):
            gpiolink_backend.build_wheel(str(tmp_path), wrong)
