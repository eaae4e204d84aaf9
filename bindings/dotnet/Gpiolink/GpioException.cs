using System;

namespace Gpiolink
{
    /// <summary>
    /// A call into the gpiolink library failed: <see cref="Code"/> is its
    /// result and <see cref="Name"/> that result's name, such as "GPIO_RESULT_TIMEOUT".
    /// </summary>
    public class GpioException : Exception
    {
        /// <summary>An exception for a failed call.</summary>
        /// <param name="code">The result the library returned.</param>
        /// <param name="operation">The library function that failed, such as "GPIO_Input", or null.</param>
        /// <param name="detail">The message text; null for the result's own phrase.</param>
        public GpioException(GpioResult code, string operation = null, string detail = null)
            : base(Describe(code, operation, detail))
        {
            Code = code;
            Name = GpioResults.Name(code);
            Operation = operation;
        }

        /// <summary>The result code; <c>(int)Code</c> is the number the library returned.</summary>
        public GpioResult Code { get; }

        /// <summary>The result's name, such as "GPIO_RESULT_TIMEOUT".</summary>
        public string Name { get; }

        /// <summary>The library function that failed, such as "GPIO_Input"; null when not given.</summary>
        public string Operation { get; }

        private static string Describe(GpioResult code, string operation, string detail)
        {
            string prefix = operation != null ? operation + ": " : string.Empty;
            return prefix + (detail ?? GpioResults.Text(code)) + " (" + GpioResults.Name(code) + ")";
        }
    }
}
