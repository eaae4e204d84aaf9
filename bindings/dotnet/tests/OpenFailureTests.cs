using System;
using System.Diagnostics;
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

        private static string[] Shared(string name) => Causes.Shared(name);

        private static string Pattern(string cause, string path = "") => Causes.Pattern(cause, path);

        private static string AssertCause(string port, string cause, string path = "") => Causes.AssertCause(port, cause, path);

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
            // Left out: a ttyS port without a UART, a name too long, a tty without a device, a console.
            Directory.CreateDirectory(Path.Combine(folder, "ttyS3", "device"));
            File.WriteAllText(Path.Combine(folder, "ttyS3", "type"), "0\n");
            Directory.CreateDirectory(Path.Combine(folder, "tty" + new string('X', 17), "device"));
            Directory.CreateDirectory(Path.Combine(folder, "pts0"));
            Directory.CreateDirectory(Path.Combine(folder, "ttyAMA0", "device"));
            string consoles = Path.Combine(folder, "consoles");
            File.WriteAllText(consoles,
                              "ttyAMA0              -W- (E p a)  204:64\ntty0                 -WU (E  p  )    4:7\n");
            string savedTtys = OpenFailure.TtyClass, savedConsoles = OpenFailure.ConsoleList;
            OpenFailure.TtyClass = folder;
            OpenFailure.ConsoleList = consoles;
            try
            {
                CollectionAssert.AreEqual(order, OpenFailure.DiscoveryPorts());
            }
            finally
            {
                OpenFailure.TtyClass = savedTtys;
                OpenFailure.ConsoleList = savedConsoles;
            }
        }

        /// <summary>The output of a program, run to its end.</summary>
        private static string Output(string program, params string[] arguments)
        {
            var start = new ProcessStartInfo(program) { UseShellExecute = false, RedirectStandardOutput = true };
            foreach (string argument in arguments)
            {
                start.ArgumentList.Add(argument);
            }
            using (Process process = Process.Start(start))
            {
                string output = process.StandardOutput.ReadToEnd();
                process.WaitForExit();
                return output.Trim();
            }
        }

        [Test]
        public void TheConsolesAreNotSerialDevices()
        {
            // Where this user may open them (root), and only where they are the console devices, not, as in
            // some containers, a pty put in their place: the shell gives the device's numbers only then.
            foreach (var (path, device) in new[] { ("/dev/console", "5:1"), ("/dev/tty0", "4:0") })
            {
                if (Output("sh", "-c", "test -r \"$0\" && test -w \"$0\" && stat -c %t:%T \"$0\"", path) == device)
                {
                    AssertCause(path, "console", path);
                }
            }
        }

        [Test]
        public void AnotherSessionsTerminalIsNotASerialDevice()
        {
            // The simulator's pty, held by a process in a session of its own as a login shell holds its terminal.
            using (var sim = new Simulator())
            {
                string path = "/dev/" + sim.Port;
                string script = Path.Combine(Simulator.Setting("GPIOLINK_SOURCE_DIR"), "tests", "open_failure",
                                             "hold_terminal.sh");
                var start = new ProcessStartInfo(script, path)
                {
                    UseShellExecute = false,
                    RedirectStandardOutput = true,
                };
                using (Process holder = Process.Start(start))
                {
                    string[] held = holder.StandardOutput.ReadLine()?.Split(' ') ?? new string[0];
                    ClassicAssert.AreEqual("held", held[0]);
                    int pid = int.Parse(held[1]);
                    try
                    {
                        StringAssert.Contains("(process " + pid + ", ", AssertCause(path, "session-terminal", path));
                    }
                    finally
                    {
                        Process.GetProcessById(pid).Kill();
                        holder.WaitForExit();
                    }
                }
            }
        }

        [Test]
        public void TheHolderOfATerminalIsFoundInProc()
        {
            // Processes that show pts/0 (tty_nr 34816) as their controlling terminal in /proc, and the holder
            // the message names: the session's leader wherever it comes (here between two of its session's
            // other processes), a command read whole whatever it holds, no one for other terminals.
            var cases = new[]
            {
                (new[] { "12 (cat) S 40 40 40 34816 40 0", "40 (bash) S 1 40 40 34816 40 0",
                         "90 (less) S 40 90 40 34816 90 0" }, "process 40, bash"),
                (new[] { "12 (cat) S 40 40 40 34816 40 0" }, "process 12, cat"),
                (new[] { "77 (a) b) S c) R 1 77 77 34816 77 0" }, "process 77, a) b) S c"),
                (new[] { "5 (getty) S 1 5 5 1089 5 0", "6 (kworker/0:1) I 2 0 0 0 -1 0" }, null),
            };
            string saved = OpenFailure.Processes;
            try
            {
                foreach (var (processes, holder) in cases)
                {
                    string proc = Path.Combine(folder, "proc" + Guid.NewGuid().ToString("N"));
                    foreach (string line in processes)
                    {
                        string pid = line.Substring(0, line.IndexOf(' '));
                        Directory.CreateDirectory(Path.Combine(proc, pid));
                        File.WriteAllText(Path.Combine(proc, pid, "stat"), line + "\n");
                    }
                    // Not a process: a folder whose name is not a number.
                    Directory.CreateDirectory(Path.Combine(proc, "self"));
                    File.WriteAllText(Path.Combine(proc, "self", "stat"), "1 (x) S 1 1 1 34816 1 0\n");
                    OpenFailure.Processes = proc;
                    ClassicAssert.AreEqual(holder, OpenFailure.TerminalHolder(136, 0), string.Join(" | ", processes));
                }
            }
            finally
            {
                OpenFailure.Processes = saved;
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
