"""A failed open says why, one test per cause this machine can produce."""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

import gpiolink
from gpiolink import Controller, GpioError


# The causes and messages, and the order of port names, that gpioctl's
# tests read too (tests/open_failure/).
_SHARED = pathlib.Path(__file__).resolve().parents[3] / "tests" / "open_failure"


def _expected(cause, path=""):
    """The shared table's message for `cause` of a failed open of `path`, as
    a regular expression."""
    for line in (_SHARED / "causes.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            name, pattern = line.split("\t", 1)
            if name == cause:
                return pattern.replace("{path}", re.escape(path))
    raise KeyError(cause)


def _open_failure(port):
    with pytest.raises(GpioError) as raised:
        Controller(port)
    assert raised.value.code == gpiolink.RESULT_IO_ERROR
    return str(raised.value)


def test_no_such_device_lists_the_ports_discovery_would_try():
    message = _open_failure("gpiolink-absent")
    assert re.search(_expected("no-such-device", "/dev/gpiolink-absent"), message), message


def test_the_ports_discovery_would_try_come_in_its_order(tmp_path, monkeypatch):
    from gpiolink import _diagnose
    names = [line for line in (_SHARED / "port_order.txt").read_text().splitlines()
             if line and not line.startswith("#")]
    for name in reversed(names):
        (tmp_path / name / "device").mkdir(parents=True)
    (tmp_path / "ttyS10" / "type").write_text("4\n")  # a UART: kept
    # Left out: a ttyS port without a UART, a name too long, a tty without a
    # device, and a console.
    for name in ("ttyS3", "tty" + "X" * 17, "ttyAMA0"):
        (tmp_path / name / "device").mkdir(parents=True)
    (tmp_path / "ttyS3" / "type").write_text("0\n")
    (tmp_path / "pts0").mkdir()
    consoles = tmp_path / "consoles"
    consoles.write_text("ttyAMA0              -W- (E p a)  204:64\ntty0                 -WU (E  p  )    4:7\n")
    monkeypatch.setattr(_diagnose, "_TTY_CLASS", str(tmp_path))
    monkeypatch.setattr(_diagnose, "_CONSOLES", str(consoles))
    assert _diagnose.discovery_ports() == names


def test_files_folders_and_other_devices_are_not_serial_devices(tmp_path):
    plain = tmp_path / "file"
    plain.write_bytes(b"")
    assert re.search(_expected("regular-file", str(plain)), _open_failure(str(plain)))
    assert plain.stat().st_size == 0
    assert re.search(_expected("folder", str(tmp_path)), _open_failure(str(tmp_path)))
    assert re.search(_expected("not-a-terminal", "/dev/null"), _open_failure("null"))
    assert re.search(_expected("pty-master", "/dev/ptmx"), _open_failure("ptmx"))


@pytest.mark.parametrize("path, device", [("/dev/console", "5:1"), ("/dev/tty0", "4:0")])
def test_the_consoles_are_not_serial_devices(path, device):
    # Where this user may open them (root), and only where they are the
    # console devices, not, as in some containers, a pty put in their place.
    try:
        info = os.stat(path)
    except OSError:
        pytest.skip("no %s here" % path)
    if "%d:%d" % (os.major(info.st_rdev), os.minor(info.st_rdev)) != device \
            or not os.access(path, os.R_OK | os.W_OK):
        pytest.skip("%s is not a console that this user may open" % path)
    assert re.search(_expected("console", path), _open_failure(path))


@pytest.fixture
def hold_terminal():
    """Makes a terminal the controlling terminal of a session of its own, as
    a login shell's terminal is; returns the id of the process holding it."""
    holders = []

    def hold(path):
        holder = subprocess.Popen([str(_SHARED / "hold_terminal.sh"), path], stdout=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL, text=True)
        word, pid = holder.stdout.readline().split()
        assert word == "held"
        holders.append((holder, int(pid)))
        return int(pid)

    yield hold
    for holder, pid in holders:
        os.kill(pid, signal.SIGTERM)
        holder.wait(timeout=10)
        holder.stdout.close()


def test_another_sessions_terminal_is_not_a_serial_device(start_sim, hold_terminal):
    path = "/dev/" + start_sim()
    holder = hold_terminal(path)
    message = _open_failure(path)
    assert re.search(_expected("session-terminal", path), message), message
    assert "(process %d, " % holder in message, message


# Processes that show pts/0 (tty_nr 34816) as their controlling terminal in
# /proc, and the holder the message names: the session's leader wherever it
# comes (here between two of its session's other processes), a command read
# whole whatever it holds, no one for other terminals.
@pytest.mark.parametrize("processes, holder", [
    ({"12": "12 (cat) S 40 40 40 34816 40 0", "40": "40 (bash) S 1 40 40 34816 40 0",
      "90": "90 (less) S 40 90 40 34816 90 0"}, "process 40, bash"),
    ({"12": "12 (cat) S 40 40 40 34816 40 0"}, "process 12, cat"),
    ({"77": "77 (a) b) S c) R 1 77 77 34816 77 0"}, "process 77, a) b) S c"),
    ({"5": "5 (getty) S 1 5 5 1089 5 0", "6": "6 (kworker/0:1) I 2 0 0 0 -1 0", "self": "1 (x) S 1 1 1 34816 1 0"},
     None),
])
def test_the_holder_of_a_terminal_is_found_in_proc(tmp_path, monkeypatch, processes, holder):
    from gpiolink import _diagnose
    for pid, line in processes.items():
        (tmp_path / pid).mkdir()
        (tmp_path / pid / "stat").write_text(line + "\n")
    monkeypatch.setattr(_diagnose, "_PROC", str(tmp_path))
    assert _diagnose._terminal_holder(os.makedev(136, 0)) == holder


def test_names_too_long_for_the_library_or_the_system(tmp_path):
    assert re.search(_expected("path-too-long"), _open_failure("/" + "a" * 4100))
    assert re.search(_expected("part-too-long"), _open_failure(str(tmp_path / ("a" * 300))))


def test_a_port_held_open_is_busy_under_any_of_its_names(start_sim, tmp_path):
    port = start_sim()
    link = tmp_path / "serial" / "by-id" / "usb-gpiolink_Test-if00-port0"
    link.parent.mkdir(parents=True)
    link.symlink_to("/dev/" + port)
    # Another process holds the port by its absolute path.
    script = ("import sys, gpiolink\n"
              "with gpiolink.Controller(%r):\n    print('held', flush=True)\n    sys.stdin.read()\n" % ("/dev/" + port))
    holder = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, env=os.environ)
    try:
        assert holder.stdout.readline().strip() == "held"
        message = _open_failure(str(link))
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
        holder.stdout.close()
    assert re.search(_expected("busy", str(link)), message), message


def _copy_for_nobody(folder):
    """The package, and the library named in GPIOLINK_LIBRARY, copied where
    nobody can read them: the checkout and the build may lie in a folder that
    nobody cannot enter. Returns the environment that finds the copies."""
    env = dict(os.environ, PYTHONPATH=folder)
    shutil.copytree(os.path.dirname(gpiolink.__file__), os.path.join(folder, "gpiolink"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    if os.environ.get("GPIOLINK_LIBRARY"):
        env["GPIOLINK_LIBRARY"] = shutil.copy(os.environ["GPIOLINK_LIBRARY"], folder)
    for root, folders, files in os.walk(folder):
        os.chmod(root, 0o755)
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    return env


# Ports shut to a user without rights on them, as root makes them: the
# owner and group given to the port, its mode, and the shared table's cause.
# 65534 is nobody, who asks, and who then gets an owner's bits.
_SHUT_PORTS = (
    ("root", "dialout", 0o660, "permission-denied"),
    ("root", "root", 0o600, "permission-root"),
    ("root", "root", 0o660, "permission-root"),
    ("root", "dialout", 0o640, "permission-no-group-to-join"),
    (65534, "dialout", 0o060, "permission-no-group-to-join"),
)


def test_permission_denied_says_who_owns_the_port_and_what_gives_access(start_sim):
    path = "/dev/" + start_sim()
    env = os.environ
    python = sys.executable
    copies = None
    if os.geteuid() == 0:
        # Root is never refused: ask as nobody, in no group, in a process of
        # its own, with the system's Python (the venv may be out of nobody's
        # reach too).
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv: no way to drop privileges")
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        python = os.path.realpath(sys.executable)
        copies = tempfile.mkdtemp(prefix="gpiolink-nobody-")
        env = _copy_for_nobody(copies)
        shut = _SHUT_PORTS
    else:
        # Without root only this user's own port can be shut: mode 0 leaves
        # out even its owner.
        command = []
        shut = ((os.getuid(), os.getgid(), 0, "permission-no-group-to-join"),)
    script = ("import gpiolink\n"
              "try:\n    gpiolink.Controller(%r)\n"
              "except gpiolink.GpioError as error:\n    print(error)\n" % path)
    wrong = []
    try:
        for owner, group, mode, cause in shut:
            shutil.chown(path, owner, group)
            os.chmod(path, mode)
            out = subprocess.run(command + [python, "-c", script], capture_output=True, text=True,
                                 env=env, timeout=60, cwd="/")
            if not re.search(_expected(cause, path), out.stdout):
                wrong.append("%s:%s %04o: %s" % (owner, group, mode, out.stdout + out.stderr))
    finally:
        if copies:
            shutil.rmtree(copies)
    assert not wrong, "\n".join(wrong)
