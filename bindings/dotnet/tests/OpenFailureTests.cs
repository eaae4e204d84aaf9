using System;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>A failed open says why, in gpioctl's words: one case per cause this machine can produce.</summary>
    [TestFixture]
    public class OpenFailureTests : SimulatorFixture
    {
        private readonly string folder = Path.Combine(Path.GetTempPath(), "gpiolink-open-" + Guid.NewGuid().ToString("N"));

        [SetUp]
        public void MakeFolder() => Directory.CreateDirectory(folder);

        [TearDown]
        public void RemoveFolder() => Directory.Delete(folder, true);

        // The causes and messages, and the order of port names, that the
        // tests of gpioctl and of the Python binding read too.
        private static string[] Shared(string name)
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

        private static void AssertCause(string port, string cause, string path = "")
        {
            var error = Assert.Throws<GpioException>(() => new Controller(port).Dispose());
            ClassicAssert.AreEqual(GpioResult.IoError, error.Code);
            StringAssert.IsMatch("^GPIO_OpenInterface: the port could not be opened: " + Pattern(cause, path) + @".* \(GPIO_RESULT_IO_ERROR\)$",
                                 error.Message);
        }

        [Test]
        public void BadNamesAndMissingDevices()
        {
            AssertCause("gpiolink-absent", "no-such-device", "/dev/gpiolink-absent");
            AssertCause("pts/999999", "no-such-device", "/dev/pts/999999");
            AssertCause("p\u00f6rt", "no-such-device", "/dev/p\u00f6rt");
            AssertCause("/" + new string('a', 4100), "path-too-long");
            AssertCause(Path.Combine(folder, new string('a', 300)), "part-too-long");
            var climbing = Assert.Throws<GpioException>(() => new Controller("../tmp"));
            StringAssert.Contains("not a port name: a name below /dev/ may not climb out with '..'", climbing.Message);
            foreach (string name in new[] { string.Empty, "pts/\0" })
            {
                Assert.Throws<ArgumentException>(() => new Controller(name).Dispose());
            }
        }

        [Test]
        public void TheDiscoveryPortsComeInTheLibrarysOrder()
        {
            string[] order = Shared("port_order.txt");
            foreach (string name in order.Reverse())
            {
                Directory.CreateDirectory(Path.Combine(folder, name, "device"));
            }
            // Left out: a ttyS port without a UART, a name too long, a tty without a device.
            Directory.CreateDirectory(Path.Combine(folder, "ttyS3", "device"));
            File.WriteAllText(Path.Combine(folder, "ttyS3", "type"), "0\n");
            Directory.CreateDirectory(Path.Combine(folder, "tty" + new string('X', 17), "device"));
            Directory.CreateDirectory(Path.Combine(folder, "pts0"));
            string saved = OpenFailure.TtyClass;
            OpenFailure.TtyClass = folder;
            try
            {
                CollectionAssert.AreEqual(order, OpenFailure.DiscoveryPorts());
            }
            finally
            {
                OpenFailure.TtyClass = saved;
            }
        }

        [Test]
        public void FilesFoldersAndOtherDevicesAreNotSerialDevices()
        {
            string file = Path.Combine(folder, "file");
            File.WriteAllText(file, string.Empty);
            AssertCause(file, "regular-file", file);
            ClassicAssert.AreEqual(0, new FileInfo(file).Length, "the file was written");
            AssertCause(folder, "folder", folder);
            AssertCause("null", "not-a-terminal", "/dev/null");
            AssertCause("ptmx", "pty-master", "/dev/ptmx");
        }

        [Test]
        public void APortHeldOpenIsBusyUnderAnyOfItsNames()
        {
            string link = Path.Combine(folder, "usb-gpiolink_Test-if00-port0");
            File.CreateSymbolicLink(link, "/dev/" + Sim.Port);
            using (new Controller("/dev/" + Sim.Port))
            {
                // The binding refuses a second Controller before the library
                // sees it: ask the diagnosis directly, as after a failed open.
                StringAssert.IsMatch("^" + Pattern("busy", link) + "$", OpenFailure.Describe(link));
            }
            StringAssert.StartsWith("the port opens now", OpenFailure.Describe(link));
        }
    }
}
