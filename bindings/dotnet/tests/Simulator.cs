using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// One gpio-sim process, ended by Dispose. On Linux it serves a pty of its
    /// own. On Windows (under Wine) gpio-sim.exe serves with --serial on the
    /// device's end of a virtual null-modem pair, and the tests open the
    /// host's end: the pairs are made beforehand, two linked ptys mapped as
    /// COM ports, and named in GPIOLINK_TEST_PAIRS ("COM20:COM21,...").
    /// </summary>
    internal sealed class Simulator : IDisposable
    {
        private static readonly Queue<string[]> FreePairs = new Queue<string[]>();
        private static bool pairsRead;

        private static readonly TimeSpan StartBound = TimeSpan.FromSeconds(30);
        private static readonly TimeSpan StopBound = TimeSpan.FromSeconds(10);

        private volatile Process process;
        private readonly string[] pair;
        // False once the process may still be serving its pair.
        private bool exited = true;

        /// <summary>Starts gpio-sim with options, none of which may hold a space.</summary>
        public Simulator(params string[] options)
        {
            string arguments = string.Join(" ", options);
            string announced = "port: ";
            bool windows = RuntimeInformation.IsOSPlatform(OSPlatform.Windows);
            if (windows)
            {
                pair = TakePair();
                arguments = "--serial " + pair[1] + " " + arguments;
                announced = "serial: ";
            }
            var start = new ProcessStartInfo(Setting("GPIOLINK_SIM"), arguments)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                // Under Wine a child that inherits the runner's stderr would
                // hold it open after a runner that died without ending it.
                RedirectStandardError = windows,
            };
            // Bounded: a start or an announcement that never comes fails this
            // test, naming the simulator, rather than holding up the run. On a
            // thread of its own, so that the wait never runs the start itself.
            string first = null;
            Exception failure = null;
            var starter = new Thread(() =>
            {
                try
                {
                    Process started = Process.Start(start);
                    process = started;
                    if (windows)
                    {
                        started.ErrorDataReceived += (sender, line) => { };
                        started.BeginErrorReadLine();
                    }
                    first = started.StandardOutput.ReadLine();
                }
                catch (Exception error)
                {
                    failure = error;
                }
            }) { IsBackground = true };
            starter.Start();
            try
            {
                if (!starter.Join(StartBound))
                {
                    exited = false;
                    Assert.Fail("gpio-sim " + arguments + " did not start and announce its port within " +
                                StartBound.TotalSeconds + " s");
                }
            }
            catch (Exception error)
            {
                failure = error;
            }
            if (failure != null)
            {
                Dispose();
                throw failure;
            }
            if (first == null || !first.StartsWith(announced, StringComparison.Ordinal))
            {
                Dispose();
                Assert.Fail("gpio-sim printed " + (first ?? "nothing"));
            }
            Port = pair != null ? pair[0] : first.Substring(announced.Length);
        }

        /// <summary>The name to open, such as "pts/3" or "COM20".</summary>
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
        /// Ignores the fixture outside Linux, where its tests do not apply; on
        /// Linux the tests always run.
        /// </summary>
        public static void RequireLinux()
        {
            const string osType = "/proc/sys/kernel/ostype";
            if (!File.Exists(osType) || !File.ReadAllText(osType).StartsWith("Linux", StringComparison.Ordinal))
            {
                Assert.Ignore("these tests need Linux: gpio-sim serves a Linux pty and they load libgpiolink.so");
            }
        }

        // A pair no running simulator serves: host's end, device's end.
        private static string[] TakePair()
        {
            lock (FreePairs)
            {
                if (!pairsRead)
                {
                    foreach (string pair in Setting("GPIOLINK_TEST_PAIRS").Split(','))
                    {
                        FreePairs.Enqueue(pair.Split(':'));
                    }
                    pairsRead = true;
                }
                if (FreePairs.Count == 0)
                {
                    Assert.Fail("every pair of GPIOLINK_TEST_PAIRS serves a simulator already");
                }
                return FreePairs.Dequeue();
            }
        }

        public void Dispose()
        {
            Process running = process;
            try
            {
                if (running != null && !running.HasExited)
                {
                    running.Kill();
                }
                // Bounded too; a simulator that outlives it keeps its pair,
                // and the script that runs the tests stops it at the end.
                exited = exited && (running == null || running.WaitForExit((int)StopBound.TotalMilliseconds));
                if (!exited)
                {
                    TestContext.Progress.WriteLine("gpio-sim on {0} did not stop within {1} s", pair?[1],
                                                   StopBound.TotalSeconds);
                }
            }
            finally
            {
                running?.Dispose();
                process = null;
                if (pair != null && exited)
                {
                    lock (FreePairs)
                    {
                        if (!FreePairs.Contains(pair))
                        {
                            FreePairs.Enqueue(pair);
                        }
                    }
                }
            }
        }
    }
}

namespace Gpiolink.Tests
{
    /// <summary>A fixture whose tests share one plain simulator, started once.</summary>
    public abstract class SimulatorFixture
    {
        internal Simulator Sim { get; private set; }

        [OneTimeSetUp]
        public void StartSimulator()
        {
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
