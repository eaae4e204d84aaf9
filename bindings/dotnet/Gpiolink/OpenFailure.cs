using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Gpiolink
{
    /// <summary>
    /// Why a port could not be opened, found by the binding itself after the
    /// library reported only <see cref="GpioResult.IoError"/>: the name, the
    /// file, its permissions and a trial open, said in one line with what to
    /// do, in the words gpioctl and the Python binding use.
    /// </summary>
    /// <remarks>
    /// The library opens a name that starts with "/" as it stands and any
    /// other below /dev/ (on Windows, \\.\NAME for names of up to 15
    /// characters), takes the port exclusively (flock and TIOCEXCL on Linux)
    /// and refuses anything that is not a terminal, and the terminals that
    /// belong to someone: the consoles and any session's controlling terminal.
    /// </remarks>
    internal static class OpenFailure
    {
        private const int MaxPathLength = 4095;
        private const int MaxWindowsNameLength = 15;
        private const int MaxDiscoveredNameLength = 19;
        private const string OpensNow = "the port opens now: it may have been busy for a moment; try again";

        // Device majors of the console drivers: 4, the virtual consoles
        // tty0-tty63 (ttyS* are minors 64 and up); 5, /dev/tty (minor 0) and
        // /dev/console (1).
        private const uint VirtualConsoleMajor = 4, AlternateTtyMajor = 5, VirtualConsoles = 64;

        /// <summary>Where Linux lists its ttys; a test points it elsewhere.</summary>
        internal static string TtyClass = "/sys/class/tty";

        /// <summary>Where Linux lists its consoles; a test points it elsewhere.</summary>
        internal static string ConsoleList = "/proc/consoles";

        /// <summary>Where Linux shows its processes; a test points it elsewhere.</summary>
        internal static string Processes = "/proc";

        /// <summary>The cause of a failed open of <paramref name="port"/>, or null when the
        /// system gives no way to find it.</summary>
        internal static string Describe(string port)
        {
            if (string.IsNullOrEmpty(port))
            {
                return "no port name given";
            }
            try
            {
                if (RuntimeInformation.IsOSPlatform(OSPlatform.Windows))
                {
                    return DescribeWindows(port);
                }
                return RuntimeInformation.IsOSPlatform(OSPlatform.Linux) ? DescribeLinux(port) : null;
            }
            catch (Exception error) when (error is DllNotFoundException || error is EntryPointNotFoundException)
            {
                // A C library without statx (glibc before 2.28): no cause, only the result.
                return null;
            }
        }

        /// <summary>
        /// The ports the library's discovery would probe on Linux, in the order
        /// it walks them: ttys with a device behind them, less the ttyS ports
        /// whose sysfs type says they have no UART and the kernel's consoles.
        /// </summary>
        internal static List<string> DiscoveryPorts()
        {
            var ports = new List<string>();
            HashSet<string> consoles = Consoles();
            string[] entries;
            try
            {
                entries = Directory.GetFileSystemEntries(TtyClass);
            }
            catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
            {
                return ports;
            }
            foreach (string entry in entries)
            {
                string name = Path.GetFileName(entry);
                if (name.Length > MaxDiscoveredNameLength || consoles.Contains(name) ||
                    !Directory.Exists(Path.Combine(entry, "device")))
                {
                    continue;
                }
                if (name.StartsWith("ttyS", StringComparison.Ordinal) && HasNoUart(entry))
                {
                    continue;
                }
                ports.Add(name);
            }
            ports.Sort((left, right) => string.CompareOrdinal(NaturalKey(left), NaturalKey(right)));
            return ports;
        }

        /// <summary>The names that start the lines of /proc/consoles, which read
        /// "ttyS0                -W- (EC p a)    4:64".</summary>
        private static HashSet<string> Consoles()
        {
            var names = new HashSet<string>(StringComparer.Ordinal);
            try
            {
                foreach (string line in File.ReadAllLines(ConsoleList))
                {
                    string[] words = line.Split((char[])null, StringSplitOptions.RemoveEmptyEntries);
                    if (words.Length > 0)
                    {
                        names.Add(words[0]);
                    }
                }
            }
            catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
            {
                // No console list: no port is left out for being a console.
            }
            return names;
        }

        /// <summary>/dev/console, /dev/tty and the virtual consoles /dev/tty0 to /dev/tty63.</summary>
        private static bool IsConsole(uint major, uint minor)
        {
            return (major == VirtualConsoleMajor && minor < VirtualConsoles) ||
                   (major == AlternateTtyMajor && minor <= 1);
        }

        /// <summary>
        /// The process that has the device <paramref name="major"/>:<paramref name="minor"/> as its
        /// controlling terminal, as "process PID, COMMAND": the session's leader when /proc shows it,
        /// else the first such process; null when /proc shows none. A process's /proc/PID/stat reads
        /// "PID (COMMAND) STATE PPID PGRP SESSION TTY_NR ..."; the command may hold spaces and
        /// parentheses, so the fields are counted from the last ')'.
        /// </summary>
        internal static string TerminalHolder(uint major, uint minor)
        {
            string[] names;
            try
            {
                names = Directory.GetDirectories(Processes).Select(Path.GetFileName).ToArray();
            }
            catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
            {
                return null;
            }
            string holder = null;
            // In the order of their ids, the order /proc lists them in.
            IEnumerable<string> pids = names.Where(name => name.Length > 0 && name.All(c => c >= '0' && c <= '9'))
                .OrderBy(name => name.Length).ThenBy(name => name, StringComparer.Ordinal);
            foreach (string pid in pids)
            {
                string line = ProcessStat(Path.Combine(Processes, pid, "stat"));
                long session, terminal;
                if (line == null)
                {
                    continue;
                }
                int open = line.IndexOf(" (", StringComparison.Ordinal);
                int close = line.LastIndexOf(')');
                if (open < 0 || close < open)
                {
                    continue;
                }
                string[] fields = line.Substring(close + 1).Split((char[])null, StringSplitOptions.RemoveEmptyEntries);
                if (fields.Length < 5 || !long.TryParse(fields[3], out session) ||
                    !long.TryParse(fields[4], out terminal) || terminal <= 0)
                {
                    continue;
                }
                // The kernel's encoding: minor bits 0-7 and 20-31, major bits 8-19.
                if (((terminal >> 8) & 0xFFF) != major || ((terminal & 0xFF) | ((terminal >> 12) & 0xFFF00)) != minor)
                {
                    continue;
                }
                bool leader = session.ToString(CultureInfo.InvariantCulture) == pid;
                if (holder == null || leader)
                {
                    holder = "process " + pid + ", " + line.Substring(open + 2, close - open - 2);
                }
                if (leader)
                {
                    break;
                }
            }
            return holder;
        }

        private static string ProcessStat(string path)
        {
            try
            {
                return File.ReadAllText(path);
            }
            catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
            {
                return null;  // a process that ended, or one hidden from this user
            }
        }

        private static bool HasNoUart(string entry)
        {
            try
            {
                return File.ReadAllText(Path.Combine(entry, "type")).Trim() == "0";
            }
            catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
            {
                return false;
            }
        }

        /// <summary>
        /// A key whose ordinal order is the library's natural order of port
        /// names, the order discovery walks them in: every run of digits,
        /// leading zeros aside, padded to one width so that it compares as a
        /// whole number (ttyS2 before ttyS10).
        /// </summary>
        private static string NaturalKey(string name)
        {
            return Regex.Replace(name, "[0-9]+", run => run.Value.TrimStart('0').PadLeft(MaxDiscoveredNameLength, '0'));
        }

        private static string DescribeLinux(string port)
        {
            string path = port[0] == '/' ? port : "/dev/" + port;
            if (Encoding.UTF8.GetByteCount(path) > MaxPathLength)
            {
                return "name too long: a port's path has at most " + MaxPathLength + " characters";
            }
            if (port[0] != '/' && port.Contains(".."))
            {
                return "not a port name: a name below /dev/ may not climb out with '..'; give a path that starts with '/'";
            }
            Posix.FileInfo info;
            int error = Posix.Stat(path, out info);
            switch (error)
            {
                case 0:
                    break;
                case Posix.ENAMETOOLONG:
                    return "name too long: a part of the path is longer than the system allows (255 characters)";
                case Posix.ENOENT:
                case Posix.ENOTDIR:
                    return NoSuchDevice(path);
                case Posix.EACCES:
                    return "permission denied: a folder on the way to " + path + " cannot be searched";
                case Posix.ENOSYS:
                    return null;  // a kernel or sandbox without statx
                default:
                    return path + ": " + Posix.ErrorText(error);
            }
            switch (info.Type)
            {
                case Posix.S_IFDIR:
                    return NotSerial(path, "a folder");
                case Posix.S_IFREG:
                    return NotSerial(path, "a regular file");
                case Posix.S_IFBLK:
                    return NotSerial(path, "a disk");
                case Posix.S_IFCHR:
                    break;
                default:
                    return NotSerial(path, "not a device");
            }
            if (!Posix.CanReadAndWrite(path))
            {
                return PermissionDenied(path, info.Owner, info.Group, info.Mode, Posix.EffectiveUser());
            }
            int descriptor;
            error = Posix.OpenPort(path, out descriptor);
            switch (error)
            {
                case 0:
                    break;
                case Posix.EBUSY:
                    return Busy(path);
                case Posix.EACCES:
                case Posix.EPERM:
                    return PermissionDenied(path, info.Owner, info.Group, info.Mode, Posix.EffectiveUser());
                case Posix.ENXIO:
                case Posix.ENODEV:
                    return "no such device: " + path + " has no device behind it (unplugged?)";
                default:
                    return path + ": " + Posix.ErrorText(error);
            }
            try
            {
                if (!Posix.IsTerminal(descriptor))
                {
                    return NotSerial(path, "a device but not a terminal");
                }
                if (Posix.IsPseudoTerminalMaster(descriptor))
                {
                    return NotSerial(path, "the master side of a pseudo-terminal; open its pts/N side");
                }
                if (Posix.IsOwnTerminal(descriptor))
                {
                    return NotSerial(path, "the terminal of this session, not a line to a controller");
                }
                if (IsConsole(info.DeviceMajor, info.DeviceMinor))
                {
                    return NotSerial(path, "a console of the system (/dev/console or a virtual console), " +
                                           "not a line to a controller");
                }
                string holder = TerminalHolder(info.DeviceMajor, info.DeviceMinor);
                if (holder != null)
                {
                    return NotSerial(path, "the controlling terminal of another session (" + holder +
                                           "), not a line to a controller");
                }
                return Posix.TryLock(descriptor) ? OpensNow : Busy(path);
            }
            finally
            {
                Posix.Close(descriptor);
            }
        }

        private static string NoSuchDevice(string path)
        {
            List<string> ports = DiscoveryPorts();
            return "no such device: " + path + " does not exist; " + (ports.Count == 0
                ? "discovery finds no serial port on this system"
                : "the ports discovery would try: " + string.Join(" ", ports));
        }

        /// <summary>
        /// Why <paramref name="user"/> may not open a device of <paramref name="owner"/> and
        /// <paramref name="group"/> with the permission bits <paramref name="mode"/>, and what to do.
        /// Joining the device's group lets the user in only when that group may read and write it
        /// and the user does not own it (an owner gets the owner's bits, never the group's). Group
        /// root is never offered: its members may read and write far more than one port. Otherwise
        /// the message says who owns the port and what would give access.
        /// </summary>
        private static string PermissionDenied(string path, uint owner, uint group, int mode, uint user)
        {
            const int GroupReadWrite = 0x20 | 0x10;  // S_IRGRP | S_IWGRP
            string groupName = Posix.GroupName(group);
            if ((mode & GroupReadWrite) == GroupReadWrite && group != 0 && owner != user)
            {
                return "permission denied: " + path + " belongs to group " + groupName +
                       "; add yourself with 'sudo usermod -aG " + groupName + " $USER', then log in again";
            }
            return "permission denied: " + path + " is owned by user " + Posix.UserName(owner) + " and group " +
                   groupName + " with mode " + Convert.ToString(mode & 0xFFF, 8).PadLeft(4, '0') +
                   ", and no group you should join would let you in; a udev rule that gives it a group such as " +
                   "dialout and mode 0660 would; then add yourself to that group and log in again";
        }

        private static string Busy(string path)
        {
            return "busy: " + path + " is held by another process";
        }

        private static string NotSerial(string path, string what)
        {
            return "not a serial device: " + path + " is " + what;
        }

        private static string DescribeWindows(string port)
        {
            if (port.Length > MaxWindowsNameLength)
            {
                return "name too long: a port name has at most " + MaxWindowsNameLength + " characters";
            }
            if (port.IndexOfAny(new[] { '\\', '/', ':' }) >= 0 || port.Contains(".."))
            {
                return "not a port name: give a name such as COM3";
            }
            bool serial;
            int error = Win32.TryOpen(port, out serial);
            switch (error)
            {
                case 0:
                    return serial ? OpensNow : NotSerial(port, "not a character device");
                case Win32.ERROR_FILE_NOT_FOUND:
                case Win32.ERROR_PATH_NOT_FOUND:
                    List<string> listed = Win32.SerialPorts();
                    return "no such device: " + port + " does not exist; " + (listed.Count == 0
                        ? "the system lists no serial port"
                        : "the system lists: " + string.Join(" ", listed));
                case Win32.ERROR_ACCESS_DENIED:
                case Win32.ERROR_SHARING_VIOLATION:
                    return Busy(port);
                default:
                    return port + ": Windows error " + error;
            }
        }

        /// <summary>The C library's calls on Linux, with their errno values.</summary>
        private static class Posix
        {
            internal const int EPERM = 1, ENOENT = 2, ENXIO = 6, EACCES = 13, EBUSY = 16, ENODEV = 19,
                ENOTDIR = 20, ENAMETOOLONG = 36, ENOSYS = 38;
            internal const int S_IFDIR = 0x4000, S_IFCHR = 0x2000, S_IFBLK = 0x6000, S_IFREG = 0x8000;

            private const string Libc = "libc";
            private const int AtCurrentFolder = -100;
            private const uint StatxTypeModeOwnerGroup = 0x1 | 0x2 | 0x8 | 0x10;
            private const int OpenReadWriteNoCttyNonBlockCloexec = 0x2 | 0x100 | 0x800 | 0x80000;
            private const int ReadAndWrite = 0x4 | 0x2;
            private const int LockExclusiveNoWait = 0x2 | 0x4;

            internal struct FileInfo
            {
                internal int Type;
                internal int Mode;  // the permission bits
                internal uint Owner;
                internal uint Group;
                internal uint DeviceMajor;  // what a device file stands for
                internal uint DeviceMinor;
            }

            // statx rather than stat: its buffer has one layout on every
            // architecture (struct statx: stx_uid at 20, stx_gid at 24,
            // stx_mode at 28, stx_rdev_major at 128, stx_rdev_minor at 132;
            // statx fills the last two whatever the mask asks for).
            [DllImport(Libc, EntryPoint = "statx", SetLastError = true)]
            private static extern int NativeStatx(int folder, [MarshalAs(UnmanagedType.LPStr)] string path, int flags,
                                                  uint mask, byte[] buffer);

            [DllImport(Libc, EntryPoint = "access", SetLastError = true)]
            private static extern int NativeAccess([MarshalAs(UnmanagedType.LPStr)] string path, int mode);

            [DllImport(Libc, EntryPoint = "open", SetLastError = true)]
            private static extern int NativeOpen([MarshalAs(UnmanagedType.LPStr)] string path, int flags);

            [DllImport(Libc, EntryPoint = "isatty")]
            private static extern int NativeIsatty(int descriptor);

            [DllImport(Libc, EntryPoint = "flock")]
            private static extern int NativeFlock(int descriptor, int operation);

            [DllImport(Libc, EntryPoint = "close")]
            private static extern int NativeClose(int descriptor);

            [DllImport(Libc, EntryPoint = "getgrgid")]
            private static extern IntPtr NativeGetgrgid(uint group);

            [DllImport(Libc, EntryPoint = "getpwuid")]
            private static extern IntPtr NativeGetpwuid(uint user);

            [DllImport(Libc, EntryPoint = "geteuid")]
            private static extern uint NativeGeteuid();

            [DllImport(Libc, EntryPoint = "strerror")]
            private static extern IntPtr NativeStrerror(int error);

            /// <summary>0 and the file's type, permission bits, owner and group, or the errno.</summary>
            internal static int Stat(string path, out FileInfo info)
            {
                var buffer = new byte[256];
                info = new FileInfo();
                if (NativeStatx(AtCurrentFolder, path, 0, StatxTypeModeOwnerGroup, buffer) != 0)
                {
                    return Marshal.GetLastWin32Error();
                }
                info.Owner = BitConverter.ToUInt32(buffer, 20);
                info.Group = BitConverter.ToUInt32(buffer, 24);
                info.DeviceMajor = BitConverter.ToUInt32(buffer, 128);
                info.DeviceMinor = BitConverter.ToUInt32(buffer, 132);
                int mode = BitConverter.ToUInt16(buffer, 28);
                info.Type = mode & 0xF000;
                info.Mode = mode & 0xFFF;
                return 0;
            }

            internal static bool CanReadAndWrite(string path)
            {
                return NativeAccess(path, ReadAndWrite) == 0 || Marshal.GetLastWin32Error() != EACCES;
            }

            /// <summary>0 and the descriptor, or the errno.</summary>
            internal static int OpenPort(string path, out int descriptor)
            {
                descriptor = NativeOpen(path, OpenReadWriteNoCttyNonBlockCloexec);
                return descriptor >= 0 ? 0 : Marshal.GetLastWin32Error();
            }

            internal static bool IsTerminal(int descriptor)
            {
                return NativeIsatty(descriptor) == 1;
            }

            // Linux ioctl requests: a pseudo-terminal master's number
            // (_IOR('T', 0x30, unsigned int)) and a terminal's session.
            private const ulong TIOCGPTN = 0x80045430, TIOCGSID = 0x5429;

            [DllImport(Libc, EntryPoint = "ioctl")]
            private static extern int NativeIoctl(int descriptor, ulong request, out int value);

            [DllImport(Libc, EntryPoint = "getsid")]
            private static extern int NativeGetsid(int process);

            internal static bool IsPseudoTerminalMaster(int descriptor)
            {
                int number;
                return NativeIoctl(descriptor, TIOCGPTN, out number) == 0;
            }

            internal static bool IsOwnTerminal(int descriptor)
            {
                int session;
                return NativeIoctl(descriptor, TIOCGSID, out session) == 0 && session == NativeGetsid(0);
            }

            internal static bool TryLock(int descriptor)
            {
                return NativeFlock(descriptor, LockExclusiveNoWait) == 0;
            }

            internal static void Close(int descriptor)
            {
                NativeClose(descriptor);
            }

            // The group's name (gr_name, the first member of struct group), or its number.
            internal static string GroupName(uint group)
            {
                return FirstName(NativeGetgrgid(group), group);
            }

            // The user's name (pw_name, the first member of struct passwd), or its number.
            internal static string UserName(uint user)
            {
                return FirstName(NativeGetpwuid(user), user);
            }

            internal static uint EffectiveUser()
            {
                return NativeGeteuid();
            }

            // The string that the entry's first member points to, or the number without an entry.
            private static string FirstName(IntPtr entry, uint number)
            {
                IntPtr name = entry != IntPtr.Zero ? Marshal.ReadIntPtr(entry) : IntPtr.Zero;
                return name != IntPtr.Zero ? Marshal.PtrToStringAnsi(name) : number.ToString();
            }

            internal static string ErrorText(int error)
            {
                return Marshal.PtrToStringAnsi(NativeStrerror(error)) ?? "error " + error;
            }
        }

        /// <summary>The Win32 calls that try the port as the library opens it, and the system's list of
        /// serial ports.</summary>
        private static class Win32
        {
            private const int ErrorSuccess = 0;
            private const uint KeyRead = 0x20019;
            private static readonly IntPtr LocalMachine = new IntPtr(unchecked((int)0x80000002));

            [DllImport("advapi32.dll", EntryPoint = "RegOpenKeyExW", CharSet = CharSet.Unicode)]
            private static extern int NativeRegOpenKeyEx(IntPtr key, string subKey, uint options, uint access,
                                                         out IntPtr opened);

            [DllImport("advapi32.dll", EntryPoint = "RegEnumValueW", CharSet = CharSet.Unicode)]
            private static extern int NativeRegEnumValue(IntPtr key, uint index, StringBuilder name, ref uint nameLength,
                                                         IntPtr reserved, IntPtr type, byte[] data, ref uint dataLength);

            [DllImport("advapi32.dll", EntryPoint = "RegCloseKey")]
            private static extern int NativeRegCloseKey(IntPtr key);

            /// <summary>
            /// The ports the system lists, which discovery probes: the data of
            /// the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in the
            /// registry's order, as gpioctl lists them.
            /// </summary>
            internal static List<string> SerialPorts()
            {
                var ports = new List<string>();
                IntPtr key;
                if (NativeRegOpenKeyEx(LocalMachine, @"HARDWARE\DEVICEMAP\SERIALCOMM", 0, KeyRead, out key) != ErrorSuccess)
                {
                    return ports;
                }
                try
                {
                    for (uint index = 0;; index++)
                    {
                        var name = new StringBuilder(256);
                        uint nameLength = (uint)name.Capacity;
                        var data = new byte[512];
                        uint dataLength = (uint)data.Length;
                        if (NativeRegEnumValue(key, index, name, ref nameLength, IntPtr.Zero, IntPtr.Zero, data,
                                               ref dataLength) != ErrorSuccess)
                        {
                            return ports;
                        }
                        // UTF-16 data, which need not carry its terminator.
                        ports.Add(Encoding.Unicode.GetString(data, 0, (int)dataLength).TrimEnd('\0'));
                    }
                }
                finally
                {
                    NativeRegCloseKey(key);
                }
            }

            internal const int ERROR_FILE_NOT_FOUND = 2, ERROR_PATH_NOT_FOUND = 3, ERROR_ACCESS_DENIED = 5,
                ERROR_SHARING_VIOLATION = 32;

            private const uint GenericReadWrite = 0x80000000 | 0x40000000;
            private const uint OpenExisting = 3;
            private const uint FileTypeChar = 2;

            [DllImport("kernel32.dll", EntryPoint = "CreateFileW", CharSet = CharSet.Unicode, SetLastError = true)]
            private static extern IntPtr NativeCreateFile(string name, uint access, uint share, IntPtr security,
                                                          uint disposition, uint flags, IntPtr template);

            [DllImport("kernel32.dll", EntryPoint = "GetFileType")]
            private static extern uint NativeGetFileType(IntPtr handle);

            [DllImport("kernel32.dll", EntryPoint = "CloseHandle")]
            private static extern bool NativeCloseHandle(IntPtr handle);

            /// <summary>0 and whether the port is a character device, or the Windows error.</summary>
            internal static int TryOpen(string port, out bool serial)
            {
                serial = false;
                IntPtr handle = NativeCreateFile(@"\\.\" + port, GenericReadWrite, 0, IntPtr.Zero, OpenExisting, 0,
                                                 IntPtr.Zero);
                if (handle == new IntPtr(-1))
                {
                    return Marshal.GetLastWin32Error();
                }
                serial = NativeGetFileType(handle) == FileTypeChar;
                NativeCloseHandle(handle);
                return 0;
            }
        }
    }
}
