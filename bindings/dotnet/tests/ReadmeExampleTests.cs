using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// The C# example of the binding's README, built by the commands below it
    /// as written in a scratch folder laid out like the source tree, then run
    /// as a user would meet it: against a controller, with none, without the
    /// native library, and without rights on the port. The C# blocks of the
    /// project's README run in a project beside it.
    /// </summary>
    [TestFixture]
    public class ReadmeExampleTests
    {
        private const string Expected = "0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF\n";

        private sealed record Run(int Status, string Output, string Errors);

        private string source;
        private string scratch;
        private Run built;

        // Runs a shell command in the scratch folder; `libraryPath` replaces
        // LD_LIBRARY_PATH, and null leaves it unset.
        private Run Shell(string command, string libraryPath)
        {
            var start = new ProcessStartInfo("/bin/sh", new[] { "-c", command })
            {
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                WorkingDirectory = scratch,
            };
            start.Environment["LD_LIBRARY_PATH"] = libraryPath;
            using (Process process = Process.Start(start))
            {
                var errors = process.StandardError.ReadToEndAsync();
                string output = process.StandardOutput.ReadToEnd();
                process.WaitForExit();
                return new Run(process.ExitCode, output, errors.Result);
            }
        }

        // The example as built, run with `arguments`, after `asUser` (a command prefix).
        private Run Example(string arguments, string libraryPath, string asUser = "")
        {
            string program = Directory.GetFiles(Path.Combine(scratch, "Example", "bin"), "Example.dll",
                                                SearchOption.AllDirectories).Single();
            return Shell(asUser + " dotnet '" + program + "' " + arguments, libraryPath);
        }

        private static void CopyFiles(string from, string to, params string[] patterns)
        {
            Directory.CreateDirectory(to);
            foreach (string file in patterns.SelectMany(pattern => Directory.GetFiles(from, pattern)))
            {
                File.Copy(file, Path.Combine(to, Path.GetFileName(file)));
            }
        }

        [OneTimeSetUp]
        public void BuildTheExampleAsWritten()
        {
            Simulator.RequireLinux();
            source = Simulator.Setting("GPIOLINK_SOURCE_DIR");
            string binding = Path.Combine(source, "bindings", "dotnet");
            string readme = File.ReadAllText(Path.Combine(binding, "README.md"));
            MatchCollection examples = Regex.Matches(readme, "^```csharp\n(.*?)```", RegexOptions.Multiline | RegexOptions.Singleline);
            ClassicAssert.AreEqual(1, examples.Count, "the binding's README has one csharp block");
            Match commands = Regex.Match(readme, "(?:    [^\n]*\n)*    dotnet add Example reference[^\n]*\n(?:    [^\n]*\n)*");
            ClassicAssert.IsTrue(commands.Success, "the binding's README builds the example from the source tree");

            scratch = Path.Combine(Path.GetTempPath(), "gpiolink-readme-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(scratch);
            File.WriteAllText(Path.Combine(scratch, "Example.cs"), examples[0].Groups[1].Value);
            // The binding's sources, copied so that its build stays out of the source tree.
            CopyFiles(Path.Combine(binding, "Gpiolink"), Path.Combine(scratch, "bindings", "dotnet", "Gpiolink"), "*.cs", "*.csproj");
            CopyFiles(binding, Path.Combine(scratch, "bindings", "dotnet"), "README.md");
            string layout = "mkdir -p build/linux && ln -s '" + Simulator.Setting("GPIOLINK_LIBRARY_DIR") + "' build/linux/src\n";
            using (var sim = new Simulator())
            {
                string script = Regex.Replace(commands.Value, "^    ", string.Empty, RegexOptions.Multiline);
                built = Shell("set -e\n" + layout + script.Replace("pts/3", sim.Port), null);
            }
        }

        [OneTimeTearDown]
        public void RemoveScratch()
        {
            if (scratch != null)
            {
                Directory.Delete(scratch, true);
            }
        }

        [Test]
        public void ExampleRunsAgainstTheSimulator()
        {
            ClassicAssert.AreEqual(0, built.Status, built.ToString());
            StringAssert.EndsWith(Expected, built.Output, built.ToString());
        }

        [Test]
        public void WithoutAPortItSaysThatNoControllerWasFound()
        {
            // The scan probes the system's ports; gpio-sim's pty is not among them.
            Run run = Example(string.Empty, Simulator.Setting("GPIOLINK_LIBRARY_DIR"));
            ClassicAssert.AreEqual(1, run.Status, run.ToString());
            StringAssert.StartsWith("no controller found: ", run.Errors);
        }

        [Test]
        public void WithoutTheNativeLibraryItSaysWhatToInstall()
        {
            using (var sim = new Simulator())
            {
                Run run = Example(sim.Port, null);
                if (Shell("/sbin/ldconfig -p | grep -q libgpiolink.so", null).Status == 0)
                {
                    // Installed on this system: the example finds it there by itself.
                    StringAssert.EndsWith(Expected, run.Output, run.ToString());
                    return;
                }
                ClassicAssert.AreNotEqual(0, run.Status, run.ToString());
                StringAssert.Contains("System.DllNotFoundException: the gpiolink native library libgpiolink.so " +
                                      "could not be loaded: install it (the Debian package libgpiolink0", run.Errors);
            }
        }

        // Ports shut to a user without rights on them, as root makes them:
        // OWNER:GROUP MODE and the shared table's cause. 65534 is nobody, who
        // asks, and who then gets an owner's bits.
        private static readonly string[][] ShutPorts =
        {
            new[] { "root:dialout", "660", "permission-denied" },
            new[] { "root:root", "600", "permission-root" },
            new[] { "root:root", "660", "permission-root" },
            new[] { "root:dialout", "640", "permission-no-group-to-join" },
            new[] { "65534:dialout", "060", "permission-no-group-to-join" },
        };

        [Test]
        public void WithoutRightsOnThePortItSaysWhoOwnsItAndWhatGivesAccess()
        {
            using (var sim = new Simulator())
            {
                string path = "/dev/" + sim.Port;
                // The library, where a user without rights on the build tree reads it.
                string library = Path.Combine(scratch, "lib");
                CopyFiles(Simulator.Setting("GPIOLINK_LIBRARY_DIR"), library, "libgpiolink.so*");
                // Root is never refused: it asks as nobody, in no group. Without
                // root only this user's own port can be shut: mode 0000 leaves
                // out even its owner.
                bool root = Environment.UserName == "root";
                string[][] shut = root ? ShutPorts
                    : new[] { new[] { "$(id -u):$(id -g)", "000", "permission-no-group-to-join" } };
                foreach (string[] port in shut)
                {
                    ClassicAssert.AreEqual(0, Shell("chown " + port[0] + " " + path + " && chmod " + port[1] + " " + path,
                                                    null).Status);
                    Run run = Example(path, library, root ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "");
                    ClassicAssert.AreNotEqual(0, run.Status, run.ToString());
                    StringAssert.IsMatch("GPIO_OpenInterface: the port could not be opened: " +
                                         Causes.Pattern(port[2], path) + @" \(GPIO_RESULT_IO_ERROR\)",
                                         run.Errors, string.Join(" ", port));
                }
            }
        }

        [Test]
        public void TheProjectReadmesCSharpBlocksRun()
        {
            ClassicAssert.AreEqual(0, built.Status, built.ToString());
            string readme = File.ReadAllText(Path.Combine(source, "README.md"));
            var blocks = Regex.Matches(readme, "^```(?:csharp|cs|c#)\n(.*?)```", RegexOptions.Multiline | RegexOptions.Singleline);
            // The snippet runner leaves these blocks to this test.
            ClassicAssert.AreNotEqual(0, blocks.Count, "README.md shows C#");
            // A project of their own, beside the example's, with its references.
            Directory.CreateDirectory(Path.Combine(scratch, "Readme"));
            File.Copy(Path.Combine(scratch, "Example", "Example.csproj"), Path.Combine(scratch, "Readme", "Readme.csproj"));
            foreach (Match block in blocks)
            {
                File.WriteAllText(Path.Combine(scratch, "Readme", "Program.cs"), block.Groups[1].Value);
                using (var sim = new Simulator())
                {
                    Run run = Shell("dotnet run --project Readme -- " + sim.Port, Simulator.Setting("GPIOLINK_LIBRARY_DIR"));
                    ClassicAssert.AreEqual(0, run.Status, block.Value + run);
                }
            }
        }
    }
}
