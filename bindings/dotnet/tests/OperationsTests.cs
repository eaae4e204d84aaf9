using System.Linq;
using System.Threading;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class OperationsTests : SimulatorFixture
    {
        [Test]
        public void OutputReadsBackThroughInput()
        {
            using (var controller = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual(Sim.Port, controller.Port);
                foreach (var pair in new[] { new byte[] { 0, 0x00 }, new byte[] { 1, 0x5A }, new byte[] { 3, 0xFF } })
                {
                    controller.Output(pair[0], pair[1]);
                    ClassicAssert.AreEqual(pair[1], controller.Input(pair[0]));
                }
            }
        }

        [Test]
        public void BitOperationsTouchOneBit()
        {
            using (var controller = new Controller(Sim.Port))
            {
                controller.Output(2, 0x01);
                controller.BitSet(2, 7);
                ClassicAssert.AreEqual(0x81, controller.Input(2));
                ClassicAssert.IsTrue(controller.BitTest(2, 7));
                controller.BitReset(2, 0);
                ClassicAssert.IsFalse(controller.BitTest(2, 0));
                ClassicAssert.AreEqual(0x80, controller.Input(2));
            }
        }

        [Test]
        public void VersionIsTheControllersText()
        {
            using (var controller = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual("GPIO-SIM 1.0", controller.Version());
            }
        }

        [Test]
        public void LongVersionIsCutToTheBuffer()
        {
            string text = "GPIO-" + new string('x', 395);
            using (var longSim = new Simulator("--version-text", text))
            using (var controller = new Controller(longSim.Port))
            {
                ClassicAssert.AreEqual(text.Substring(0, 255), controller.Version());
                ClassicAssert.AreEqual(0, controller.Input(0));  // the session carries on
            }
        }

        [Test]
        public void ScanCompletesAndControllerWithoutPortFollowsIt()
        {
            // The simulator's pty is not among the ports the system lists, so
            // the scan finds nothing here unless a real controller is plugged in.
            string found = Controller.Scan();
            if (found == null)
            {
                var error = Assert.Throws<GpioException>(() => new Controller());
                ClassicAssert.AreEqual(GpioResult.Timeout, error.Code);
                ClassicAssert.AreEqual("GPIO_ScanInterface", error.Operation);
            }
            else
            {
                StringAssert.DoesNotContain("\0", found);
            }
        }

        [Test]
        public void ThreadsTakeTurns()
        {
            // Each thread owns one port; overlapping calls would share the
            // library's buffers and read back other threads' values. A
            // time-out says only that the simulator, on a loaded machine,
            // answered late: that round is left out, and every thread must
            // finish some rounds.
            using (var controller = new Controller(Sim.Port))
            {
                var failures = new int[4];
                var finished = new int[4];
                Thread[] threads = Enumerable.Range(0, 4).Select(index => new Thread(() =>
                {
                    var port = (byte)index;
                    for (int round = 0; round < 10; round++)
                    {
                        var value = (byte)(index * 60 + round);
                        try
                        {
                            controller.Output(port, value);
                            if (controller.Input(port) != value || controller.BitTest(port, 0) != ((value & 1) == 1))
                            {
                                failures[index]++;
                            }
                            finished[index]++;
                        }
                        catch (GpioException error) when (error.Code == GpioResult.Timeout)
                        {
                        }
                        catch (GpioException)
                        {
                            failures[index]++;
                        }
                    }
                })).ToArray();
                foreach (Thread thread in threads)
                {
                    thread.Start();
                }
                foreach (Thread thread in threads)
                {
                    thread.Join();
                }
                CollectionAssert.AreEqual(new[] { 0, 0, 0, 0 }, failures);
                CollectionAssert.DoesNotContain(finished, 0, "a thread finished no round");
            }
        }
    }
}
