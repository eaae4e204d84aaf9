"""Why a port could not be opened, found by the binding itself.

The library's result code says only that an open failed (RESULT_IO_ERROR).
After a failed open the binding looks at the port with its own checks (the
name, the file, its permissions, a trial open) and says in one line what is
wrong and what to do. The library opens a name that starts with "/" as it
stands and any other below /dev/ (on Windows, \\\\.\\NAME for names of up to
15 characters), takes the port exclusively, and refuses anything that is
not a terminal, and the terminals that belong to someone: the consoles and
any session's controlling terminal.
"""

import errno
import os
import re
import stat
import sys

_MAX_PATH_LENGTH = 4095
_MAX_WINDOWS_NAME_LENGTH = 15
_MAX_DISCOVERED_NAME_LENGTH = 19
_TTY_CLASS = "/sys/class/tty"
_CONSOLES = "/proc/consoles"
_PROC = "/proc"

# Device majors of the console drivers: 4, the virtual consoles tty0-tty63
# (ttyS* are minors 64 and up); 5, /dev/tty (minor 0) and /dev/console (1).
_VIRTUAL_CONSOLE_MAJOR = 4
_ALTERNATE_TTY_MAJOR = 5
_VIRTUAL_CONSOLES = 64


# Linux ioctl requests: the number of a pseudo-terminal master
# (_IOR('T', 0x30, unsigned int)) and a terminal's session.
_TIOCGPTN = 0x80045430
_TIOCGSID = 0x5429


def _is_console(device):
    """/dev/console, /dev/tty and the virtual consoles /dev/tty0 to /dev/tty63."""
    major, minor = os.major(device), os.minor(device)
    return ((major == _VIRTUAL_CONSOLE_MAJOR and minor < _VIRTUAL_CONSOLES)
            or (major == _ALTERNATE_TTY_MAJOR and minor <= 1))


def _terminal_holder(device):
    """The process that has `device` as its controlling terminal, as
    "process PID, COMMAND": the session's leader when /proc shows it, else
    the first such process; None when /proc shows none. A process's
    /proc/PID/stat reads "PID (COMMAND) STATE PPID PGRP SESSION TTY_NR ...";
    the command may hold spaces and parentheses, so the fields are counted
    from the last ")"."""
    try:
        names = os.listdir(_PROC)
    except OSError:
        return None
    holder = None
    # In the order of their ids, the order /proc lists them in.
    for pid in sorted((name for name in names if name.isdigit()), key=int):
        try:
            with open(os.path.join(_PROC, pid, "stat"), "rb") as stat_file:
                line = stat_file.read().decode("utf-8", "replace")
        except OSError:
            continue
        command, _, fields = line.partition(" (")[2].rpartition(")")
        try:
            session, terminal = (int(field) for field in fields.split()[3:5])
        except ValueError:
            continue
        # The kernel's encoding: minor bits 0-7 and 20-31, major bits 8-19.
        if terminal <= 0 or os.makedev((terminal >> 8) & 0xFFF,
                                       (terminal & 0xFF) | ((terminal >> 12) & 0xFFF00)) != device:
            continue
        leader = str(session) == pid
        if holder is None or leader:
            holder = "process %s, %s" % (pid, command)
        if leader:
            break
    return holder


def _foreign_terminal(descriptor, path, device):
    """The cause for the terminals the library refuses although they are
    terminals (a pseudo-terminal master, this session's own terminal, the
    consoles, another session's controlling terminal), or None for any other
    terminal."""
    import fcntl
    import struct
    try:
        fcntl.ioctl(descriptor, _TIOCGPTN, b"\0" * 4)
        return ("not a serial device: %s is the master side of a pseudo-terminal; "
                "open its pts/N side" % path)
    except OSError:
        pass
    try:
        session = struct.unpack("i", fcntl.ioctl(descriptor, _TIOCGSID, b"\0" * 4))[0]
    except OSError:
        session = None
    if session == os.getsid(0):
        return "not a serial device: %s is the terminal of this session, not a line to a controller" % path
    if _is_console(device):
        return ("not a serial device: %s is a console of the system (/dev/console or a virtual console), "
                "not a line to a controller" % path)
    holder = _terminal_holder(device)
    if holder:
        return ("not a serial device: %s is the controlling terminal of another session (%s), "
                "not a line to a controller" % (path, holder))
    return None


def _consoles():
    """The names that start the lines of /proc/consoles, which read
    "ttyS0                -W- (EC p a)    4:64"."""
    try:
        with open(_CONSOLES) as consoles:
            return {line.split()[0] for line in consoles if line.strip()}
    except OSError:
        return set()


def _windows_ports():
    """The ports Windows lists, the values of the SERIALCOMM key, which the
    library's discovery probes."""
    import winreg
    ports = []
    try:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM") as key:
            index = 0
            while True:
                try:
                    ports.append(str(winreg.EnumValue(key, index)[1]))
                except OSError:
                    return ports
                index += 1
    except OSError:
        return ports


def discovery_ports():
    """The ports the library's discovery would probe: on Windows those
    the system lists; on Linux ttys with a device behind them, less ttyS
    ports whose sysfs type says no UART and the kernel's consoles."""
    if sys.platform == "win32":
        return _windows_ports()
    try:
        names = os.listdir(_TTY_CLASS)
    except OSError:
        return []
    consoles = _consoles()
    ports = []
    for name in names:
        base = os.path.join(_TTY_CLASS, name)
        if (len(name) > _MAX_DISCOVERED_NAME_LENGTH or name in consoles
                or not os.path.exists(os.path.join(base, "device"))):
            continue
        if name.startswith("ttyS"):
            try:
                with open(os.path.join(base, "type")) as attribute:
                    if attribute.read().strip() == "0":
                        continue
            except OSError:
                pass
        ports.append(name)
    # Natural order, the order discovery walks them in: ttyS2 before ttyS10.
    return sorted(ports, key=lambda name: [int(part) if part.isdigit() else part
                                           for part in re.split(r"(\d+)", name)])


def _no_such_device(path):
    ports = discovery_ports()
    where = ("the ports discovery would try: " + " ".join(ports)) if ports else \
        "discovery finds no serial port on this system"
    return "no such device: %s does not exist; %s" % (path, where)


def _name_or_number(lookup, number):
    """The name of a user or group (the first field of what pwd.getpwuid or
    grp.getgrgid gives), or its number when the system has no such entry."""
    try:
        return lookup(number)[0]
    except KeyError:
        return str(number)


def _permission_denied(path, info):
    """Joining the device's group lets the user in only when that group may
    read and write it and the user does not own it (an owner gets the
    owner's bits, never the group's). Group root is never offered: its
    members may read and write far more than one port. Otherwise the message
    says who owns the port and what would give access."""
    import grp
    import pwd
    group = _name_or_number(grp.getgrgid, info.st_gid)
    read_write = stat.S_IRGRP | stat.S_IWGRP
    group_reads_and_writes = (info.st_mode & read_write) == read_write
    if group_reads_and_writes and info.st_gid != 0 and info.st_uid != os.geteuid():
        return ("permission denied: %s belongs to group %s; add yourself with "
                "'sudo usermod -aG %s $USER', then log in again" % (path, group, group))
    return ("permission denied: %s is owned by user %s and group %s with mode %04o, and no group you should "
            "join would let you in; a udev rule that gives it a group such as dialout and mode 0660 "
            "would; then add yourself to that group and log in again"
            % (path, _name_or_number(pwd.getpwuid, info.st_uid), group, stat.S_IMODE(info.st_mode)))


def _busy(path):
    return "busy: %s is held by another process" % path


def _describe_windows(port):
    if len(port) > _MAX_WINDOWS_NAME_LENGTH:
        return "name too long: a port name has at most %d characters" % _MAX_WINDOWS_NAME_LENGTH
    if any(c in port for c in "\\/:") or ".." in port:
        return "not a port name: give a name such as COM3"
    try:
        with open("\\\\.\\" + port, "r+b", buffering=0):
            return "the port opens now: it may have been busy for a moment; try again"
    except FileNotFoundError:
        return "no such device: %s does not exist" % port
    except PermissionError:
        return _busy(port)
    except OSError as error:
        return "%s: %s" % (port, error.strerror or error)


def describe_open_failure(port):
    """The cause of a failed open of `port` (a str), in one line."""
    if not port:
        return "no port name given"
    if sys.platform == "win32":
        return _describe_windows(port)
    path = port if port.startswith("/") else "/dev/" + port
    if len(os.fsencode(path)) > _MAX_PATH_LENGTH:
        return "name too long: a port's path has at most %d characters" % _MAX_PATH_LENGTH
    if not port.startswith("/") and ".." in port:
        return "not a port name: a name below /dev/ may not climb out with '..'; give a path that starts with '/'"
    try:
        info = os.stat(path)
    except OSError as error:
        if error.errno == errno.ENAMETOOLONG:
            return "name too long: a part of the path is longer than the system allows (255 characters)"
        if error.errno in (errno.ENOENT, errno.ENOTDIR):
            return _no_such_device(path)
        if error.errno == errno.EACCES:
            return "permission denied: a folder on the way to %s cannot be searched" % path
        return "%s: %s" % (path, error.strerror)
    for test, what in ((stat.S_ISDIR, "a folder"), (stat.S_ISREG, "a regular file"), (stat.S_ISBLK, "a disk")):
        if test(info.st_mode):
            return "not a serial device: %s is %s" % (path, what)
    if not stat.S_ISCHR(info.st_mode):
        return "not a serial device: %s is not a device" % path
    if not os.access(path, os.R_OK | os.W_OK):
        return _permission_denied(path, info)
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return _busy(path)
        if error.errno in (errno.EACCES, errno.EPERM):
            return _permission_denied(path, info)
        if error.errno in (errno.ENXIO, errno.ENODEV):
            return "no such device: %s has no device behind it (unplugged?)" % path
        return "%s: %s" % (path, error.strerror)
    try:
        if not os.isatty(descriptor):
            return "not a serial device: %s is a device but not a terminal" % path
        import fcntl
        foreign = _foreign_terminal(descriptor, path, info.st_rdev)
        if foreign:
            return foreign
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return _busy(path)
        return "the port opens now: it may have been busy for a moment; try again"
    finally:
        os.close(descriptor)
