namespace Gpiolink
{
    /// <summary>
    /// Why a port could not be opened, in the library's words
    /// (gpiolink_describe_open_failure), which gpioctl prints too: the
    /// library's result says only <see cref="GpioResult.IoError"/>.
    /// </summary>
    internal static class OpenFailure
    {
        /// <summary>Bytes for the cause: a path of up to 4095 bytes and the ports listed after it.</summary>
        internal const int Capacity = 8192;

        /// <summary>The cause of a failed open of <paramref name="port"/>, one line; under
        /// <see cref="Controller"/>'s lock, as every call into the library.</summary>
        internal static string Describe(string port)
        {
            var text = new byte[Capacity];
            lock (Controller.CallLock)
            {
                NativeMethods.Invoke(() => NativeMethods.gpiolink_describe_open_failure(port, text, text.Length));
            }
            return NativeMethods.AnsiText(text);
        }
    }
}
