using System;
using System.IO;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// A failed open says why in the library's words, passed through whole (every cause of the shared table
    /// is checked against the library and gpioctl); and the names the binding refuses itself.
    /// </summary>
    [TestFixture]
    public class OpenFailureTests : SimulatorFixture
    {
        private readonly string folder = Path.Combine(Path.GetTempPath(), "gpiolink-open-" + Guid.NewGuid().ToString("N"));

        [SetUp]
        public void MakeFolder() => Directory.CreateDirectory(folder);

        [TearDown]
        public void RemoveFolder() => Directory.Delete(folder, true);

        [Test]
        public void AFailedOpenCarriesTheLibrarysCause()
        {
            string file = Path.Combine(folder, "pr\u00fcfstand");
            File.WriteAllText(file, string.Empty);
            Causes.AssertCause(file, "regular-file", file);
            ClassicAssert.AreEqual(0, new FileInfo(file).Length, "the file was written");
            foreach (string name in new[] { string.Empty, "pts/\0" })
            {
                Assert.Throws<ArgumentException>(() => new Controller(name).Dispose());
            }
        }

        [Test]
        public void APortHeldOpenIsBusyUnderAnyOfItsNames()
        {
            string link = Path.Combine(folder, "usb-gpiolink_Test-if00-port0");
            File.CreateSymbolicLink(link, "/dev/" + Sim.Port);
            using (new Controller("/dev/" + Sim.Port))
            {
                // The binding refuses a second Controller before the library
                // sees it: ask the library directly, as after a failed open.
                StringAssert.IsMatch("^" + Causes.Pattern("busy", link) + "$", OpenFailure.Describe(link));
            }
            StringAssert.StartsWith("the port opens now", OpenFailure.Describe(link));
        }
    }
}
