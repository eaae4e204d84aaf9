using System;
using System.Diagnostics;
using System.IO;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// The C# example of the project's README and the commands below it, run
    /// as written from a scratch folder laid out like the source tree.
    /// </summary>
    [TestFixture]
    public class ReadmeExampleTests
    {
        [Test]
        public void ExampleRunsAgainstTheSimulator()
        {
            Simulator.RequireLinux();
            string source = Simulator.Setting("GPIOLINK_SOURCE_DIR");
            string readme = File.ReadAllText(Path.Combine(source, "README.md"));
            // The snippet runner leaves C# to this test, which knows one example.
            Assert.AreEqual(1, Regex.Matches(readme, "^```csharp", RegexOptions.Multiline).Count,
                            "README.md has one csharp block");
            Match example = Regex.Match(readme, "```csharp\n(.*?)```\n\n((?:    [^\n]*\n)+)", RegexOptions.Singleline);
            Assert.IsTrue(example.Success, "README.md's csharp block is followed by its commands");
            string commands = Regex.Replace(example.Groups[2].Value, "^    ", string.Empty, RegexOptions.Multiline);

            string scratch = Path.Combine(Path.GetTempPath(), "gpiolink-readme-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(scratch);
            try
            {
                File.WriteAllText(Path.Combine(scratch, "Example.cs"), example.Groups[1].Value);
                string layout = "ln -s '" + source + "/bindings' bindings && mkdir -p build/linux && ln -s '" +
                                Simulator.Setting("GPIOLINK_LIBRARY_DIR") + "' build/linux/src\n";
                using (var sim = new Simulator())
                {
                    File.WriteAllText(Path.Combine(scratch, "run.sh"), layout + commands.Replace("pts/3", sim.Port));
                    var start = new ProcessStartInfo("/bin/sh", "-e run.sh")
                    {
                        UseShellExecute = false,
                        RedirectStandardOutput = true,
                        RedirectStandardError = true,
                        WorkingDirectory = scratch,
                    };
                    using (Process shell = Process.Start(start))
                    {
                        var errors = shell.StandardError.ReadToEndAsync();
                        string output = shell.StandardOutput.ReadToEnd();
                        shell.WaitForExit();
                        Assert.AreEqual(0, shell.ExitCode, output + errors.Result);
                        Assert.AreEqual("0xA5 GPIO-SIM 1.0 True\nGPIO_RESULT_DEVICE_FF\n", output, errors.Result);
                    }
                }
            }
            finally
            {
                Directory.Delete(scratch, true);
            }
        }
    }
}
