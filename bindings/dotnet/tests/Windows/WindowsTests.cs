using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.Versioning;
using System.Text.Json;
using Microsoft.Win32;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// What only Windows shows: the native library as the NuGet package
    /// brings it and as it goes missing, the causes of a failed open of a COM
    /// port, and discovery through the registry's list of serial ports. The
    /// runner's script maps GPIOLINK_TEST_FILE_PORT to an empty regular file
    /// (GPIOLINK_TEST_FILE, a Windows path).
    /// </summary>
    [TestFixture]
    [SupportedOSPlatform("windows")]
    public class WindowsTests : SimulatorFixture
    {
        private const string SerialPorts = @"HARDWARE\DEVICEMAP\SERIALCOMM";

        [Test]
        public void TheNativeLibraryIsThePackagesWinX64Asset()
        {
            using (var controller = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual("GPIO-SIM 1.0", controller.Version());
            }
            // The publish put the package's runtimes/win-x64/native/gpiolink.dll
            // beside the program, and the process loaded it from there.
            string loaded = Process.GetCurrentProcess().Modules.Cast<ProcessModule>()
                .Single(module => string.Equals(module.ModuleName, "gpiolink.dll", StringComparison.OrdinalIgnoreCase))
                .FileName;
            ClassicAssert.AreEqual(Path.Combine(AppContext.BaseDirectory, "gpiolink.dll").ToUpperInvariant(),
                                   loaded.ToUpperInvariant());
            // The dependencies file names where the file came from: the
            // package Gpiolink's native asset for win-x64.
            using (JsonDocument dependencies = JsonDocument.Parse(
                       File.ReadAllText(Path.Combine(AppContext.BaseDirectory, "Gpiolink.Tests.deps.json"))))
            {
                JsonProperty package = dependencies.RootElement.GetProperty("targets").EnumerateObject()
                    .Single(target => target.Name.EndsWith("/win-x64", StringComparison.Ordinal)).Value.EnumerateObject().Single(library => library.Name.StartsWith("Gpiolink/", StringComparison.Ordinal));
                CollectionAssert.AreEqual(new[] { "runtimes/win-x64/native/gpiolink.dll" },
                                          package.Value.GetProperty("native").EnumerateObject().Select(asset => asset.Name));
            }
        }

        [Test]
        public void AMissingDllIsNamedWithWhereToPutIt()
        {
            // This program again, in a folder of its own without gpiolink.dll.
            string folder = Path.Combine(Path.GetTempPath(), "gpiolink-no-dll-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(folder);
            try
            {
                foreach (string file in Directory.GetFiles(AppContext.BaseDirectory))
                {
                    if (!string.Equals(Path.GetFileName(file), "gpiolink.dll", StringComparison.OrdinalIgnoreCase))
                    {
                        File.Copy(file, Path.Combine(folder, Path.GetFileName(file)));
                    }
                }
                // Run in that folder: Windows looks for a DLL in the current folder too.
                var start = new ProcessStartInfo(Path.Combine(folder, "Gpiolink.Tests.exe"), "--scan")
                {
                    WorkingDirectory = folder,
                    UseShellExecute = false,
                    RedirectStandardError = true,
                    RedirectStandardOutput = true,
                };
                using (Process scan = Process.Start(start))
                {
                    string errors = scan.StandardError.ReadToEnd();
                    scan.StandardOutput.ReadToEnd();
                    scan.WaitForExit();
                    ClassicAssert.AreEqual(2, scan.ExitCode, errors);
                    StringAssert.StartsWith("System.DllNotFoundException: the gpiolink native library gpiolink.dll " +
                                            "could not be loaded: put the 64-bit gpiolink.dll (from the gpiolink " +
                                            "Windows zip) beside the application's .exe or in a folder on PATH", errors);
                }
            }
            finally
            {
                Directory.Delete(folder, true);
            }
        }

        [Test]
        public void AFailedOpenSaysWhyInGpioctlsWords()
        {
            string message = Causes.AssertCause("COM99", "win-no-such-device", "COM99");
            // The ports the system lists, which discovery probes, named in the registry's order.
            using (RegistryKey listed = Registry.LocalMachine.OpenSubKey(SerialPorts))
            {
                string[] ports = listed.GetValueNames().Select(name => (string)listed.GetValue(name)).ToArray();
                StringAssert.Contains("; the system lists: " + string.Join(" ", ports) + " (", message);
            }
            Causes.AssertCause("COM1234567890123", "win-name-too-long");
            Causes.AssertCause(@"..\COM1", "win-not-a-port-name");
            string filePort = Simulator.Setting("GPIOLINK_TEST_FILE_PORT");
            Causes.AssertCause(filePort, "win-not-a-character-device", filePort);
            ClassicAssert.AreEqual(0, new FileInfo(Simulator.Setting("GPIOLINK_TEST_FILE")).Length, "the file was written");
        }

        [Test]
        public void APortThatAnotherProgramHoldsIsBusy()
        {
            // cmd.exe holds the port while find reads its standard input. The
            // device path, as COM10 and above are no plain DOS device names.
            string port = Simulator.Setting("GPIOLINK_TEST_FILE_PORT");
            var start = new ProcessStartInfo("cmd.exe", @"/c find ""x"" >\\.\" + port)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
            };
            // Until cmd.exe has opened it, the port is a file that nobody
            // holds. A cmd.exe that meets this test's own look at the port
            // holding it says "Sharing violation" and ends: it is started again.
            Process holder = null;
            try
            {
                var waited = Stopwatch.StartNew();
                for (;;)
                {
                    if (holder == null || holder.HasExited)
                    {
                        holder?.Dispose();
                        holder = Process.Start(start);
                    }
                    if (OpenFailure.Describe(port).StartsWith("busy", StringComparison.Ordinal) ||
                        waited.ElapsedMilliseconds >= 20000)
                    {
                        break;
                    }
                    System.Threading.Thread.Sleep(50);
                }
                Causes.AssertCause(port, "busy", port);
            }
            finally
            {
                if (holder != null)
                {
                    holder.StandardInput.Close();
                    holder.WaitForExit(10000);
                    holder.Dispose();
                }
            }
            StringAssert.IsMatch("^" + Causes.Pattern("win-not-a-character-device", port) + "$", OpenFailure.Describe(port));
        }

        [Test]
        public void ScanFindsTheControllerThroughTheRegistrysSerialPorts()
        {
            // The simulator's port listed as Wine lists a port of its Ports key
            // (docs/windows.md), behind the ports the system lists already.
            const string value = @"\Device\GpiolinkTest";
            using (RegistryKey listed = Registry.LocalMachine.CreateSubKey(SerialPorts))
            {
                listed.SetValue(value, Sim.Port);
                try
                {
                    ClassicAssert.AreEqual(Sim.Port, Controller.Scan());
                    using (var controller = new Controller())
                    {
                        ClassicAssert.AreEqual(Sim.Port, controller.Port);
                        ClassicAssert.AreEqual("GPIO-SIM 1.0", controller.Version());
                    }
                }
                finally
                {
                    listed.DeleteValue(value);
                }
            }
            ClassicAssert.IsNull(Controller.Scan(), "no port the system lists answers once the simulator's is gone");
        }
    }
}
