using System;
using System.Runtime.InteropServices;

namespace Gpiolink
{
    /// <summary>
    /// The functions of the gpiolink library, as it exports them:
    /// gpiolink.dll on Windows, libgpiolink.so elsewhere. Every function uses
    /// the C calling convention and returns a result code (see <see cref="GpioResult"/>), but for
    /// gpiolink_describe_open_failure, which returns the cause's code.
    /// </summary>
    /// <remarks>
    /// Port names cross as ANSI strings (the system code page on Windows,
    /// UTF-8 under Mono and .NET on Linux). The text buffers of scan and
    /// version and the cause of a failed open are caller-allocated byte arrays
    /// of a fixed capacity: the library is told that capacity (version, cause)
    /// or needs less than it (scan, at most 20 bytes), so it never writes past
    /// the array.
    /// The library is not thread-safe: callers hold <see cref="Controller"/>'s lock.
    /// </remarks>
    internal static class NativeMethods
    {
        private const string Library = "gpiolink";

        /// <summary>Bytes given to GPIO_ScanInterface, which writes at most 20.</summary>
        internal const int ScanCapacity = 256;

        /// <summary>Bytes given to GPIO_GetVersion, text and terminator.</summary>
        internal const int VersionCapacity = 256;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_ScanInterface(
            [Out, MarshalAs(UnmanagedType.LPArray, SizeConst = ScanCapacity)] byte[] portName);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int GPIO_OpenInterface(
            [MarshalAs(UnmanagedType.LPStr)] string portName, out IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_CloseInterface(IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_Input(IntPtr handle, byte port, out byte value);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_Output(IntPtr handle, byte port, byte value);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_BitTest(IntPtr handle, byte port, byte bit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_BitSet(IntPtr handle, byte port, byte bit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_BitReset(IntPtr handle, byte port, byte bit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int GPIO_GetVersion(
            IntPtr handle,
            [Out, MarshalAs(UnmanagedType.LPArray, SizeParamIndex = 2)] byte[] buffer,
            int bufferSize);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int gpiolink_describe_open_failure(
            [MarshalAs(UnmanagedType.LPStr)] string port,
            [Out, MarshalAs(UnmanagedType.LPArray, SizeParamIndex = 2)] byte[] text,
            int size);

        /// <summary>
        /// Runs one call into the library. A library that cannot be loaded is
        /// reported with what to install or where to put it, rather than with
        /// the runtime's list of the paths it tried (kept as the inner exception).
        /// </summary>
        internal static int Invoke(Func<int> call)
        {
            try
            {
                return call();
            }
            catch (DllNotFoundException error)
            {
                throw NotLoaded(error, string.Empty);
            }
            catch (BadImageFormatException error)
            {
                throw NotLoaded(error, " (it is built for another architecture than this process)");
            }
        }

        private static DllNotFoundException NotLoaded(Exception error, string why)
        {
            string text = RuntimeInformation.IsOSPlatform(OSPlatform.Windows)
                ? "the gpiolink native library gpiolink.dll could not be loaded" + why + ": put the 64-bit " +
                  "gpiolink.dll (from the gpiolink Windows zip) beside the application's .exe or in a folder on PATH"
                : "the gpiolink native library libgpiolink.so could not be loaded" + why + ": install it (the " +
                  "Debian package libgpiolink0, or gpiolink built from source and installed, then ldconfig) or " +
                  "put libgpiolink.so in a folder on LD_LIBRARY_PATH";
            return new DllNotFoundException(text + "; the NuGet package Gpiolink brings it for win-x64 and linux-x64",
                                            error);
        }

        /// <summary>
        /// The text in a buffer the library filled: the bytes before the first
        /// zero byte, or the whole buffer if it holds none, decoded as ANSI.
        /// </summary>
        internal static string AnsiText(byte[] buffer)
        {
            int length = Array.IndexOf(buffer, (byte)0);
            if (length < 0)
            {
                length = buffer.Length;
            }
            if (length == 0)
            {
                return string.Empty;
            }
            GCHandle pinned = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try
            {
                return Marshal.PtrToStringAnsi(pinned.AddrOfPinnedObject(), length);
            }
            finally
            {
                pinned.Free();
            }
        }
    }
}
