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
            StringAssert.Contains("a Controller on " + openPort + " is still open in this process", error.Message);
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
            for (int round = 0; round < 100; round++)
            {
                var opened = new Controller[2];
                var refused = new GpioException[2];
                // Both threads spin until the last one arrives, so that they
                // start within a few instructions of each other.
                int waiting = 2;
                Thread[] threads = new Thread[2];
                for (int i = 0; i < 2; i++)
                {
                    int index = i;
                    threads[i] = new Thread(() =>
                    {
                        Interlocked.Decrement(ref waiting);
                        while (Volatile.Read(ref waiting) > 0)
                        {
                        }
                        try
                        {
                            opened[index] = new Controller(ports[index]);
                        }
                        catch (GpioException error)
                        {
                            refused[index] = error;
                        }
                    });
                    threads[i].Start();
                }
                foreach (Thread thread in threads)
                {
                    thread.Join();
                }
                Controller winner = opened[0] ?? opened[1];
                try
                {
                    ClassicAssert.IsTrue((opened[0] == null) != (opened[1] == null),
                                         "exactly one open succeeds, round " + round + ": " + opened[0] + ", " + opened[1]);
                    StringAssert.Contains("a Controller on " + winner.Port + " is still open in this process",
                                          (refused[0] ?? refused[1]).Message);
                    var value = (byte)(0x40 + round);
                    winner.Output(2, value);
                    ClassicAssert.AreEqual(value, winner.Input(2));
                }
                finally
                {
                    foreach (Controller controller in opened)
                    {
                        controller?.Dispose();
                    }
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
