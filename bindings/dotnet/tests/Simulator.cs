using System;
using System.Diagnostics;
using System.IO;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>One gpio-sim process on its own pty, ended by Dispose.</summary>
    internal sealed class Simulator : IDisposable
    {
        private readonly Process process;

        /// <summary>Starts gpio-sim with options, none of which may hold a space.</summary>
        public Simulator(params string[] options)
        {
            var start = new ProcessStartInfo(Setting("GPIOLINK_SIM"), string.Join(" ", options))
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
            };
            process = Process.Start(start);
            string first = process.StandardOutput.ReadLine();
            if (first == null || !first.StartsWith("port: ", StringComparison.Ordinal))
            {
                Dispose();
                Assert.Fail("gpio-sim printed " + (first ?? "nothing"));
            }
            Port = first.Substring("port: ".Length);
        }

        /// <summary>The name to open, such as "pts/3".</summary>
        public string Port { get; }

        /// <summary>An environment setting that the ctest registration passes.</summary>
        public static string Setting(string name)
        {
            string value = Environment.GetEnvironmentVariable(name);
            if (string.IsNullOrEmpty(value))
            {
                Assert.Fail(name + " is not set: run these tests through ctest");
            }
            return value;
        }

        /// <summary>
        /// Ignores the fixture outside Linux, where neither gpio-sim nor the
        /// Linux library runs; on Linux the tests always run.
        /// </summary>
        public static void RequireLinux()
        {
            const string osType = "/proc/sys/kernel/ostype";
            if (!File.Exists(osType) || !File.ReadAllText(osType).StartsWith("Linux", StringComparison.Ordinal))
            {
                Assert.Ignore("these tests need Linux: gpio-sim serves a Linux pty and they load libgpiolink.so");
            }
        }

        public void Dispose()
        {
            try
            {
                if (!process.HasExited)
                {
                    process.Kill();
                }
                process.WaitForExit();
            }
            finally
            {
                process.Dispose();
            }
        }
    }
}

namespace Gpiolink.Tests
{
    /// <summary>A fixture whose tests share one plain simulator, started once on Linux.</summary>
    public abstract class SimulatorFixture
    {
        internal Simulator Sim { get; private set; }

        [OneTimeSetUp]
        public void StartSimulator()
        {
            Simulator.RequireLinux();
            Sim = new Simulator();
        }

        [OneTimeTearDown]
        public void StopSimulator()
        {
            if (Sim != null)
            {
                Sim.Dispose();
            }
        }
    }
}
