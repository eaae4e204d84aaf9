using System.Threading;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class OneControllerTests : SimulatorFixture
    {
        private Simulator second;

        [TestFixtureSetUp]
        public void StartSecondSimulator()
        {
            second = new Simulator();
        }

        [TestFixtureTearDown]
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
            Assert.AreEqual("GPIO_OpenInterface", error.Operation);
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
                Assert.AreEqual(0x3C, opened.Input(1));
            }
            using (var next = new Controller(second.Port))
            {
                Assert.AreEqual("GPIO-SIM 1.0", next.Version());
            }
        }

        [Test]
        public void FailedOpenLeavesNothingOpen()
        {
            Assert.Throws<GpioException>(() => new Controller("no-such-port-here"));
            using (var opened = new Controller(Sim.Port))
            {
                Assert.AreEqual(0, opened.Input(3));
            }
        }

        [Test]
        public void RacingOpensLetExactlyOneThrough()
        {
            var opened = new Controller[2];
            var refused = new GpioException[2];
            var ready = new Barrier(2);
            string[] ports = { Sim.Port, second.Port };
            Thread[] threads = new Thread[2];
            for (int i = 0; i < 2; i++)
            {
                int index = i;
                threads[i] = new Thread(() =>
                {
                    ready.SignalAndWait();
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
            try
            {
                Assert.IsTrue((opened[0] == null) != (opened[1] == null), "exactly one open succeeds");
                StringAssert.Contains("is still open in this process", (refused[0] ?? refused[1]).Message);
            }
            finally
            {
                foreach (Controller controller in opened)
                {
                    if (controller != null)
                    {
                        controller.Dispose();
                    }
                }
            }
        }
    }
}
