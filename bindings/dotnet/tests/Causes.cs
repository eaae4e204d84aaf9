using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// The causes of a failed open and their messages, in the table that the
    /// tests of the library, gpioctl and the Python binding read too
    /// (tests/open_failure).
    /// </summary>
    internal static class Causes
    {
        internal static string[] Shared(string name)
        {
            string path = Path.Combine(Simulator.Setting("GPIOLINK_SOURCE_DIR"), "tests", "open_failure", name);
            return File.ReadAllLines(path).Where(line => line.Length > 0 && line[0] != '#').ToArray();
        }

        /// <summary>The shared table's message for a cause of a failed open of `path`, as a regular expression.</summary>
        internal static string Pattern(string cause, string path = "")
        {
            return Shared("causes.txt").Select(line => line.Split('\t')).Single(fields => fields[0] == cause)[1]
                .Replace("{path}", Regex.Escape(path));
        }

        /// <summary>Asserts the cause of a failed open of `port`; returns the message.</summary>
        internal static string AssertCause(string port, string cause, string path = "")
        {
            var error = Assert.Throws<GpioException>(() => new Controller(port).Dispose());
            ClassicAssert.AreEqual(GpioResult.IoError, error.Code);
            StringAssert.IsMatch("^GPIO_OpenInterface: the port could not be opened: " + Pattern(cause, path) +
                                 @".* \(GPIO_RESULT_IO_ERROR\)$", error.Message);
            return error.Message;
        }
    }
}
