using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;
using NUnit.Framework.Legacy;

namespace Gpiolink.Tests
{
    /// <summary>
    /// The C# example of the binding's README, built by the commands below it
    /// as written in a scratch folder laid out like the source tree, then run
    /// as a user would meet it: against a controller, with none, without the
    /// native library, and without rights on the port. The C# blocks of the
    /// project's README run in the same project.
    /// </summary>
    [TestFixture]
    public class ReadmeExampleTests
    {
        private const string Expected = "0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF\n";

        private string source;
        private string scratch;
        private Run built;

        private sealed class Run
        {
            public int Status;
            public string Output;
            public string Errors;

            public override string ToString()
            {
                return "exit " + Status + "\nstdout:\n" + Output + "\nstderr:\n" + Errors;
            }
        }

        private static Run Start(string file, string arguments, string folder, Action<ProcessStartInfo> adjust = null)
        {
            var start = new ProcessStartInfo(file, arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                WorkingDirectory = folder,
            };
            adjust?.Invoke(start);
            using (Process process = Process.Start(start))
            {
                var errors = process.StandardError.ReadToEndAsync();
                string output = process.StandardOutput.ReadToEnd();
                process.WaitForExit();
                return new Run { Status = process.ExitCode, Output = output, Errors = errors.Result };
            }
        }

        private static void CopyFiles(string from, string to, params string[] patterns)
        {
            Directory.CreateDirectory(to);
            foreach (string file in patterns.SelectMany(pattern => Directory.GetFiles(from, pattern)))
            {
                File.Copy(file, Path.Combine(to, Path.GetFileName(file)));
            }
        }

        // The example as built, run with `arguments` (through `asUser`, a command
        // prefix, when given) and no LD_LIBRARY_PATH unless `libraryPath` gives one.
        private Run Example(string arguments, string libraryPath, string asUser = "")
        {
            string program = Directory.GetFiles(Path.Combine(scratch, "Example", "bin"), "Example.dll",
                                                SearchOption.AllDirectories).Single();
            return Start("/bin/sh", "-c \"" + asUser + " dotnet '" + program + "' " + arguments + "\"", scratch, start =>
            {
                start.EnvironmentVariables.Remove("LD_LIBRARY_PATH");
                if (libraryPath != null)
                {
                    start.EnvironmentVariables["LD_LIBRARY_PATH"] = libraryPath;
                }
            });
        }

        [OneTimeSetUp]
        public void BuildTheExampleAsWritten()
        {
            Simulator.RequireLinux();
            source = Simulator.Setting("GPIOLINK_SOURCE_DIR");
            string readme = File.ReadAllText(Path.Combine(source, "bindings", "dotnet", "README.md"));
            MatchCollection examples = Regex.Matches(readme, "^```csharp\n(.*?)```", RegexOptions.Multiline | RegexOptions.Singleline);
            ClassicAssert.AreEqual(1, examples.Count, "the binding's README has one csharp block");
            Match commands = Regex.Match(readme, "((?:    [^\n]*\n)*    dotnet add Example reference[^\n]*\n(?:    [^\n]*\n)*)");
            ClassicAssert.IsTrue(commands.Success, "the binding's README builds the example from the source tree");

            scratch = Path.Combine(Path.GetTempPath(), "gpiolink-readme-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(scratch);
            File.WriteAllText(Path.Combine(scratch, "Example.cs"), examples[0].Groups[1].Value);
            // The binding's sources, copied so that its build stays out of the source tree.
            string binding = Path.Combine(source, "bindings", "dotnet");
            CopyFiles(Path.Combine(binding, "Gpiolink"), Path.Combine(scratch, "bindings", "dotnet", "Gpiolink"), "*.cs", "*.csproj");
            CopyFiles(binding, Path.Combine(scratch, "bindings", "dotnet"), "README.md");
            string layout = "mkdir -p build/linux && ln -s '" + Simulator.Setting("GPIOLINK_LIBRARY_DIR") + "' build/linux/src\n";
            using (var sim = new Simulator())
            {
                string script = Regex.Replace(commands.Groups[1].Value, "^    ", string.Empty, RegexOptions.Multiline);
                File.WriteAllText(Path.Combine(scratch, "run.sh"), layout + script.Replace("pts/3", sim.Port));
                built = Start("/bin/sh", "-e run.sh", scratch);
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
            Run run = Example(string.Empty, Simulator.Setting("GPIOLINK_LIBRARY_DIR"));
            // The scan probes the system's ports; gpio-sim's pty is not among them.
            ClassicAssert.AreEqual(1, run.Status, run.ToString());
            StringAssert.StartsWith("no controller found: ", run.Errors);
        }

        [Test]
        public void WithoutTheNativeLibraryItSaysWhatToInstall()
        {
            using (var sim = new Simulator())
            {
                Run run = Example(sim.Port, null);
                if (Start("/bin/sh", "-c \"/sbin/ldconfig -p | grep -q libgpiolink.so\"", scratch).Status == 0)
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

        [Test]
        public void WithoutRightsOnThePortItNamesTheGroupToJoin()
        {
            using (var sim = new Simulator())
            {
                string path = "/dev/" + sim.Port;
                // The library, where a user without rights on the build tree reads it.
                string library = Path.Combine(scratch, "lib");
                CopyFiles(Simulator.Setting("GPIOLINK_LIBRARY_DIR"), library, "libgpiolink.so*");
                string asUser = string.Empty;
                ClassicAssert.AreEqual(0, Start("chmod", "600 " + path, scratch).Status);
                if (Environment.UserName == "root")
                {
                    // Root is never refused: ask as nobody.
                    asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp DOTNET_CLI_HOME=/tmp";
                }
                else
                {
                    ClassicAssert.AreEqual(0, Start("chmod", "000 " + path, scratch).Status);
                }
                Run run = Example(path, library, asUser);
                ClassicAssert.AreNotEqual(0, run.Status, run.ToString());
                StringAssert.IsMatch("GPIO_OpenInterface: the port could not be opened: permission denied: " +
                                     Regex.Escape(path) + @" belongs to group \S+; add yourself with " +
                                     @"'sudo usermod -aG \S+ \$USER', then log in again \(GPIO_RESULT_IO_ERROR\)",
                                     run.Errors);
            }
        }

        [Test]
        public void TheProjectReadmesCSharpBlocksRun()
        {
            ClassicAssert.AreEqual(0, built.Status, built.ToString());
            string readme = File.ReadAllText(Path.Combine(source, "README.md"));
            List<string> blocks = Regex.Matches(readme, "^```(?:csharp|cs|c#)\n(.*?)```", RegexOptions.Multiline | RegexOptions.Singleline)
                .Cast<Match>().Select(block => block.Groups[1].Value).ToList();
            // The snippet runner leaves these blocks to this test.
            CollectionAssert.IsNotEmpty(blocks, "README.md shows C#");
            // A project of their own, beside the example's, with the same references.
            string project = Path.Combine(scratch, "Readme");
            Directory.CreateDirectory(project);
            File.Copy(Path.Combine(scratch, "Example", "Example.csproj"), Path.Combine(project, "Readme.csproj"));
            string program = Path.Combine(project, "Program.cs");
            foreach (string block in blocks)
            {
                File.WriteAllText(program, block);
                using (var sim = new Simulator())
                {
                    Run run = Start("dotnet", "run --project Readme -- " + sim.Port, scratch,
                                    start => start.EnvironmentVariables["LD_LIBRARY_PATH"] = Simulator.Setting("GPIOLINK_LIBRARY_DIR"));
                    ClassicAssert.AreEqual(0, run.Status, block + run);
                }
            }
        }
    }
}
