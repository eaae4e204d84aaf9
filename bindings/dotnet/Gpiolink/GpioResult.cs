namespace Gpiolink
{
    /// <summary>The result codes of the gpiolink library, with the values of the C header.</summary>
    public enum GpioResult
    {
        /// <summary>Success (GPIO_RESULT_OK).</summary>
        Ok = 0,
        /// <summary>The handle is not the open interface, or the port refused to purge its input (GPIO_RESULT_BAD_HANDLE).</summary>
        BadHandle = 1,
        /// <summary>The controller answered with status 0xFF, such as for a port or bit it does not have (GPIO_RESULT_DEVICE_FF).</summary>
        DeviceFF = 2,
        /// <summary>A corrupted reply or status 0xFD; the port did not open; the port list was unreadable (GPIO_RESULT_IO_ERROR).</summary>
        IoError = 3,
        /// <summary>No valid reply before the line stayed silent for 100 ms (GPIO_RESULT_TIMEOUT).</summary>
        Timeout = 4,
        /// <summary>The controller answered with status 0xFE (GPIO_RESULT_DEVICE_FE).</summary>
        DeviceFE = 5,
        /// <summary>Any other status, or a reply too short for the operation (GPIO_RESULT_UNEXPECTED).</summary>
        Unexpected = 6,
        /// <summary>Bit test: the bit is high (GPIO_RESULT_BIT_HIGH).</summary>
        BitHigh = 7,
        /// <summary>Bit test: the bit is low (GPIO_RESULT_BIT_LOW).</summary>
        BitLow = 8,
    }

    /// <summary>Names and short descriptions of result codes, the same as the C header's helpers give.</summary>
    public static class GpioResults
    {
        // Indexed by result code.
        private static readonly string[] Names =
        {
            "GPIO_RESULT_OK", "GPIO_RESULT_BAD_HANDLE", "GPIO_RESULT_DEVICE_FF",
            "GPIO_RESULT_IO_ERROR", "GPIO_RESULT_TIMEOUT", "GPIO_RESULT_DEVICE_FE",
            "GPIO_RESULT_UNEXPECTED", "GPIO_RESULT_BIT_HIGH", "GPIO_RESULT_BIT_LOW",
        };

        private static readonly string[] Texts =
        {
            "success",
            "handle is not the open interface, or the port stopped responding (unplugged?)",
            "the controller answered with status 0xFF",
            "corrupted reply, status 0xFD, or the port could not be used",
            "no reply from the controller",
            "the controller answered with status 0xFE",
            "unexpected reply from the controller",
            "the bit is high",
            "the bit is low",
        };

        /// <summary>"GPIO_RESULT_TIMEOUT" for <see cref="GpioResult.Timeout"/>; "GPIO_RESULT_UNKNOWN" for a value outside 0-8.</summary>
        public static string Name(GpioResult result)
        {
            return Lookup(Names, result, "GPIO_RESULT_UNKNOWN");
        }

        /// <summary>A short phrase for a result; "unknown result code" for a value outside 0-8.</summary>
        public static string Text(GpioResult result)
        {
            return Lookup(Texts, result, "unknown result code");
        }

        private static string Lookup(string[] table, GpioResult result, string unknown)
        {
            int code = (int)result;
            return code >= 0 && code < table.Length ? table[code] : unknown;
        }
    }
}
