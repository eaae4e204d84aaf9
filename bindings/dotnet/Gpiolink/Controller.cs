using System;

namespace Gpiolink
{
    /// <summary>
    /// The digital I/O controller on one serial port, opened at construction
    /// and closed by <see cref="Dispose"/>.
    /// </summary>
    /// <remarks>
    /// <para>
    /// One controller per process: the library keeps a single open interface,
    /// and opening another port would leave the first one open and locked
    /// until the process ends. A second Controller is therefore refused while
    /// one is open; dispose the first before creating the next. A Controller
    /// that is never disposed is closed by its finalizer.
    /// </para>
    /// <para>
    /// One call at a time: the library shares its buffers between all calls.
    /// Every call through this class holds one lock, so threads take turns,
    /// but nothing else in the process may call the library at the same time.
    /// </para>
    /// <para>
    /// Each operation makes one exchange with the controller and blocks for at
    /// least 20 ms, about 120 ms when the controller is silent. Failures the
    /// library reports are thrown as <see cref="GpioException"/>. Port and bit
    /// numbers are bytes; the controller answers numbers it does not have with
    /// status 0xFF (<see cref="GpioResult.DeviceFF"/>).
    /// </para>
    /// </remarks>
    /// <example>
    /// <code>
    /// using (var controller = new Controller("COM3"))   // "ttyUSB0" on Linux
    /// {
    ///     controller.Output(0, 0x5A);
    ///     bool high = controller.BitTest(0, 1);
    /// }
    /// </code>
    /// </example>
    public sealed class Controller : IDisposable
    {
        // Held around every call into the library and around the open
        // controller's record below.
        internal static readonly object CallLock = new object();

        // The open controller, by serial number (0: none) and port. No
        // reference to the object itself, so that an undisposed controller
        // can still be collected and finalized.
        private static long openSerial;
        private static string openPort;
        private static long lastSerial;

        private IntPtr handle;
        private long serial;

        /// <summary>Opens the port that <see cref="Scan"/> finds.</summary>
        /// <exception cref="GpioException">No port answered (<see cref="GpioResult.Timeout"/>), the
        /// port did not open, or another Controller is open in this process.</exception>
        public Controller()
            : this(null)
        {
        }

        /// <summary>Opens the controller's port at 38400 baud.</summary>
        /// <param name="port">The port name: "COM3" on Windows; elsewhere a path such as
        /// "/dev/ttyUSB0" or "/dev/serial/by-id/...", or a name below /dev/ such as "ttyUSB0" or
        /// "pts/3". Null to take the port that <see cref="Scan"/> finds.</param>
        /// <exception cref="ArgumentException">The name is empty or holds a NUL character, or (on
        /// Windows) a character that the system's ANSI code page cannot represent.</exception>
        /// <exception cref="GpioException">The port did not open (<see cref="GpioResult.IoError"/>),
        /// no port answered a scan (<see cref="GpioResult.Timeout"/>), or another Controller is open
        /// in this process. A port that did not open comes with its cause in the message, such as
        /// "no such device", "permission denied" or "busy", and what to do.</exception>
        /// <exception cref="DllNotFoundException">The native library could not be loaded; the
        /// message says what to install or where to put it.</exception>
        public Controller(string port)
        {
            if (port != null && (port.Length == 0 || port.IndexOf('\0') >= 0))
            {
                throw new ArgumentException("the port must be a non-empty name without NUL characters", "port");
            }
            GpioResult result;
            string cause = null;
            lock (CallLock)
            {
                if (openSerial != 0)
                {
                    throw new GpioException(GpioResult.IoError, "GPIO_OpenInterface",
                        "another Controller is still open; dispose it or use `using` (the one on " + openPort +
                        ": the library keeps one open interface, and a Controller that is never disposed " +
                        "keeps it until the garbage collector finalizes it)");
                }
                if (port == null)
                {
                    port = ScanLocked();
                    if (port == null)
                    {
                        throw new GpioException(GpioResult.Timeout, "GPIO_ScanInterface",
                            "no serial port answered as the controller");
                    }
                }
                IntPtr opened = IntPtr.Zero;
                result = (GpioResult)NativeMethods.Invoke(() => NativeMethods.GPIO_OpenInterface(port, out opened));
                if (result == GpioResult.Ok)
                {
                    handle = opened;
                    serial = ++lastSerial;
                    openSerial = serial;
                    openPort = port;
                }
                else if (result == GpioResult.IoError)
                {
                    // The code says only that the open failed: the library says why.
                    cause = OpenFailure.Describe(port);
                }
            }
            if (result == GpioResult.IoError)
            {
                throw new GpioException(result, "GPIO_OpenInterface", "the port could not be opened: " + cause);
            }
            Check(result, "GPIO_OpenInterface");
            Port = port;
        }

        /// <summary>Closes the port of a Controller that was never disposed.</summary>
        ~Controller()
        {
            try
            {
                Release();
            }
            catch (Exception)
            {
                // Nothing can report it here, and a finalizer must not throw.
            }
        }

        /// <summary>The name of the open port, as passed or as the scan found it.</summary>
        public string Port { get; }

        /// <summary>True once the Controller is closed or disposed.</summary>
        public bool IsClosed
        {
            get
            {
                lock (CallLock)
                {
                    return serial == 0;
                }
            }
        }

        /// <summary>
        /// Probes the system's serial ports and returns the first on which the
        /// controller answers, or null when none did. Does not touch an open
        /// Controller. Each silent port costs about 120 ms.
        /// </summary>
        /// <exception cref="GpioException">The port list could not be read (<see cref="GpioResult.IoError"/>).</exception>
        /// <exception cref="DllNotFoundException">The native library could not be loaded.</exception>
        public static string Scan()
        {
            lock (CallLock)
            {
                return ScanLocked();
            }
        }

        /// <summary>Reads an 8-bit port.</summary>
        /// <param name="port">The port number.</param>
        /// <returns>The port's value.</returns>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public byte Input(byte port)
        {
            byte value = 0;
            Check(Call("GPIO_Input", h => NativeMethods.GPIO_Input(h, port, out value)), "GPIO_Input");
            return value;
        }

        /// <summary>Writes an 8-bit port.</summary>
        /// <param name="port">The port number.</param>
        /// <param name="value">The value to write.</param>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public void Output(byte port, byte value)
        {
            Check(Call("GPIO_Output", h => NativeMethods.GPIO_Output(h, port, value)), "GPIO_Output");
        }

        /// <summary>Tests one bit of a port.</summary>
        /// <param name="port">The port number.</param>
        /// <param name="bit">The bit number, 0 for the lowest.</param>
        /// <returns>True when the bit is high, false when it is low.</returns>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public bool BitTest(byte port, byte bit)
        {
            GpioResult result = Call("GPIO_BitTest", h => NativeMethods.GPIO_BitTest(h, port, bit));
            switch (result)
            {
                case GpioResult.BitHigh:
                    return true;
                case GpioResult.BitLow:
                    return false;
                case GpioResult.Ok:
                    // A bit test never succeeds without a level.
                    throw new GpioException(GpioResult.Unexpected, "GPIO_BitTest");
                default:
                    throw new GpioException(result, "GPIO_BitTest");
            }
        }

        /// <summary>Sets one bit of a port.</summary>
        /// <param name="port">The port number.</param>
        /// <param name="bit">The bit number, 0 for the lowest.</param>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public void BitSet(byte port, byte bit)
        {
            Check(Call("GPIO_BitSet", h => NativeMethods.GPIO_BitSet(h, port, bit)), "GPIO_BitSet");
        }

        /// <summary>Clears one bit of a port.</summary>
        /// <param name="port">The port number.</param>
        /// <param name="bit">The bit number, 0 for the lowest.</param>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public void BitReset(byte port, byte bit)
        {
            Check(Call("GPIO_BitReset", h => NativeMethods.GPIO_BitReset(h, port, bit)), "GPIO_BitReset");
        }

        /// <summary>Reads the controller's version text, such as "GPIO-SIM 1.0".</summary>
        /// <returns>The text, at most 255 characters.</returns>
        /// <exception cref="GpioException">The library reported a failure, or the Controller is closed.</exception>
        public string Version()
        {
            var buffer = new byte[NativeMethods.VersionCapacity];
            Check(Call("GPIO_GetVersion", h => NativeMethods.GPIO_GetVersion(h, buffer, buffer.Length)),
                  "GPIO_GetVersion");
            return NativeMethods.AnsiText(buffer);
        }

        /// <summary>
        /// Closes the port, so that another Controller may open. Later calls
        /// of Close and Dispose do nothing.
        /// </summary>
        /// <exception cref="GpioException">The library refused (<see cref="GpioResult.BadHandle"/>):
        /// code outside this class opened another interface, and the port stays open.
        /// This Controller counts as closed all the same.</exception>
        public void Close()
        {
            GpioResult result = Release();
            GC.SuppressFinalize(this);
            Check(result, "GPIO_CloseInterface");
        }

        /// <summary>Closes the port as <see cref="Close"/> does, without throwing.</summary>
        public void Dispose()
        {
            Release();
            GC.SuppressFinalize(this);
        }

        /// <summary>The port and whether it is open, for logs and debuggers.</summary>
        public override string ToString()
        {
            return "Gpiolink.Controller " + Port + (IsClosed ? " (closed)" : " (open)");
        }

        private static string ScanLocked()
        {
            var buffer = new byte[NativeMethods.ScanCapacity];
            Check(NativeMethods.Invoke(() => NativeMethods.GPIO_ScanInterface(buffer)), "GPIO_ScanInterface");
            string name = NativeMethods.AnsiText(buffer);
            return name.Length > 0 ? name : null;
        }

        private static void Check(GpioResult result, string operation)
        {
            if (result != GpioResult.Ok)
            {
                throw new GpioException(result, operation);
            }
        }

        private static void Check(int code, string operation)
        {
            Check((GpioResult)code, operation);
        }

        // Runs one library call on the open handle, under the lock. The handle
        // of a closed Controller is never passed on: the library may have
        // given the same value to a later open.
        private GpioResult Call(string operation, Func<IntPtr, int> native)
        {
            lock (CallLock)
            {
                if (serial == 0)
                {
                    throw new GpioException(GpioResult.BadHandle, operation, "the controller is closed");
                }
                IntPtr open = handle;
                return (GpioResult)NativeMethods.Invoke(() => native(open));
            }
        }

        private GpioResult Release()
        {
            lock (CallLock)
            {
                if (serial == 0)
                {
                    return GpioResult.Ok;
                }
                IntPtr closing = handle;
                if (openSerial == serial)
                {
                    openSerial = 0;
                    openPort = null;
                }
                serial = 0;
                handle = IntPtr.Zero;
                return (GpioResult)NativeMethods.GPIO_CloseInterface(closing);
            }
        }
    }
}
