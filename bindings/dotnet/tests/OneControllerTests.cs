using System.Collections.Generic;
using System.Linq;
using System.Threading;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class OneControllerTests : SimulatorFixture
    {
        private Simulator second;

        [OneTimeSetUp]
        public void StartSecondSimulator()
        {
            second = new Simulator();
        }

        [OneTimeTearDown]
        public void StopSecondSimulator()
        {
            if (second != null)
            {
                second.Dispose();
            }
        }

        private static void AssertRefused(string openPort, TestDelegate open)
        {
            var error = Assert.Throws<GpioException>(open);
            ClassicAssert.AreEqual("GPIO_OpenInterface", error.Operation);
            StringAssert.Contains("another Controller is still open; dispose it or use `using` (the one on " + openPort + ":",
                                  error.Message);
        }

        [Test]
        public void SecondControllerIsRefusedWhileOneIsOpen()
        {
            using (var opened = new Controller(Sim.Port))
            {
                AssertRefused(Sim.Port, () => new Controller(second.Port));
                AssertRefused(Sim.Port, () => new Controller(Sim.Port));
                AssertRefused(Sim.Port, () => new Controller());  // refused before any scan
                // The refusals left the open interface alone.
                opened.Output(1, 0x3C);
                ClassicAssert.AreEqual(0x3C, opened.Input(1));
            }
            using (var next = new Controller(second.Port))
            {
                ClassicAssert.AreEqual("GPIO-SIM 1.0", next.Version());
            }
        }

        [Test]
        public void FailedOpenLeavesNothingOpen()
        {
            Assert.Throws<GpioException>(() => new Controller("no-such-port-here"));
            using (var opened = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual(0, opened.Input(3));
            }
        }

        // Two threads construct Controllers at the same moment, each on its
        // own simulator, over many rounds: in every round exactly one
        // opens, the other is refused naming the winner's port, and the
        // winner keeps its port (an open slipping past the refusal would
        // replace the library's interface, and the winner's calls would fail).
        [Test]
        public void RacingOpensLetExactlyOneThroughAndItKeepsItsPort()
        {
            string[] ports = { Sim.Port, second.Port };
            for (int round = 0; round < 200; round++)
            {
                // Both threads spin until the last one arrives, so that they
                // start within a few instructions of each other. The spin
                // yields: a loop without a call lets no garbage collection
                // stop the thread, and under Wine such a stop can hang.
                int waiting = 2;
                var results = new object[2];
                List<Thread> threads = Enumerable.Range(0, 2).Select(index => new Thread(() =>
                {
                    Interlocked.Decrement(ref waiting);
                    while (Volatile.Read(ref waiting) > 0)
                    {
                        Thread.Yield();
                    }
                    try
                    {
                        results[index] = new Controller(ports[index]);
                    }
                    catch (GpioException error)
                    {
                        results[index] = error;
                    }
                })).ToList();
                threads.ForEach(thread => thread.Start());
                threads.ForEach(thread => thread.Join());
                List<Controller> opened = results.OfType<Controller>().ToList();
                try
                {
                    ClassicAssert.AreEqual(1, opened.Count, "exactly one open succeeds, round " + round);
                    StringAssert.Contains("another Controller is still open; dispose it or use `using` (the one on " +
                                          opened[0].Port + ":", results.OfType<GpioException>().Single().Message);
                    // A winner that lost its port fails with BadHandle. A time-out
                    // says only that the simulator, on a loaded machine, answered
                    // late: the check is made again.
                    var value = (byte)(0x40 + round);
                    for (int attempt = 1; ; attempt++)
                    {
                        try
                        {
                            opened[0].Output(2, value);
                            ClassicAssert.AreEqual(value, opened[0].Input(2));
                            break;
                        }
                        catch (GpioException error) when (error.Code == GpioResult.Timeout && attempt < 5)
                        {
                        }
                    }
                }
                finally
                {
                    opened.ForEach(controller => controller.Dispose());
                }
            }
            // The refused opens left neither port held.
            foreach (string port in ports)
            {
                using (var controller = new Controller(port))
                {
                    ClassicAssert.AreEqual("GPIO-SIM 1.0", controller.Version());
                }
            }
        }
    }
}
