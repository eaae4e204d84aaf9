using System;
using System.Collections.Generic;
using System.IO;
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
    /// and refuses anything that is not a terminal.
    /// </remarks>
    internal static class OpenFailure
    {
        private const int MaxPathLength = 4095;
        private const int MaxWindowsNameLength = 15;
        private const int MaxDiscoveredNameLength = 19;
        private const string OpensNow = "the port opens now: it may have been busy for a moment; try again";

        /// <summary>Where Linux lists its ttys; a test points it elsewhere.</summary>
        internal static string TtyClass = "/sys/class/tty";

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
        /// whose sysfs type says they have no UART.
        /// </summary>
        internal static List<string> DiscoveryPorts()
        {
            var ports = new List<string>();
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
                if (name.Length > MaxDiscoveredNameLength || !Directory.Exists(Path.Combine(entry, "device")))
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
                    return "no such device: " + port + " does not exist";
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
            }

            // statx rather than stat: its buffer has one layout on every
            // architecture (struct statx: stx_uid at 20, stx_gid at 24,
            // stx_mode at 28).
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

        /// <summary>The Win32 calls that try the port as the library opens it.</summary>
        private static class Win32
        {
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
