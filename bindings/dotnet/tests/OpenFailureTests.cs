using System;
using System.IO;
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

        private static void AssertCause(string port, string pattern)
        {
            var error = Assert.Throws<GpioException>(() => new Controller(port).Dispose());
            ClassicAssert.AreEqual(GpioResult.IoError, error.Code);
            StringAssert.IsMatch("^GPIO_OpenInterface: the port could not be opened: " + pattern + @".* \(GPIO_RESULT_IO_ERROR\)$",
                                 error.Message);
        }

        [Test]
        public void BadNamesAndMissingDevices()
        {
            const string where = "(the ports discovery would try: |discovery finds no serial port on this system)";
            AssertCause("gpiolink-absent", "no such device: /dev/gpiolink-absent does not exist; " + where);
            AssertCause("pts/999999", "no such device: /dev/pts/999999 does not exist; " + where);
            AssertCause("p\u00f6rt", "no such device: /dev/p\u00f6rt does not exist");
            AssertCause("../tmp", "not a port name: a name below /dev/ may not climb out with '..'");
            AssertCause("/" + new string('a', 4100), "name too long: a port's path has at most 4095 characters");
            AssertCause(Path.Combine(folder, new string('a', 300)), "name too long: a part of the path");
            foreach (string name in new[] { string.Empty, "pts/\0" })
            {
                Assert.Throws<ArgumentException>(() => new Controller(name).Dispose());
            }
        }

        [Test]
        public void TheDiscoveryPortsComeInItsOrder()
        {
            foreach (string port in new[] { "ttyS10:4", "ttyS2:4", "ttyS3:0", "ttyUSB10:", "ttyUSB9:", "ttyACM0:", "tty" + new string('X', 17) + ":" })
            {
                string[] parts = port.Split(':');
                Directory.CreateDirectory(Path.Combine(folder, parts[0], "device"));
                if (parts[1].Length > 0)
                {
                    File.WriteAllText(Path.Combine(folder, parts[0], "type"), parts[1] + "\n");
                }
            }
            Directory.CreateDirectory(Path.Combine(folder, "pts0"));  // no device behind it
            string saved = OpenFailure.TtyClass;
            OpenFailure.TtyClass = folder;
            try
            {
                CollectionAssert.AreEqual(new[] { "ttyACM0", "ttyS2", "ttyS10", "ttyUSB9", "ttyUSB10" }, OpenFailure.DiscoveryPorts());
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
            AssertCause(file, "not a serial device: " + Regex.Escape(file) + " is a regular file");
            ClassicAssert.AreEqual(0, new FileInfo(file).Length, "the file was written");
            AssertCause(folder, "not a serial device: " + Regex.Escape(folder) + " is a folder");
            AssertCause("null", "not a serial device: /dev/null is a device but not a terminal");
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
                ClassicAssert.AreEqual("busy: " + link + " is held by another process", OpenFailure.Describe(link));
            }
            StringAssert.StartsWith("the port opens now", OpenFailure.Describe(link));
        }
    }
}
