using System;
using System.Runtime.InteropServices;
using System.Threading;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class DisposalTests : SimulatorFixture
    {
        // The library called directly, as code outside the binding would.
        [DllImport("gpiolink", CallingConvention = CallingConvention.Cdecl)]
        private static extern int GPIO_OpenInterface(string portName, out IntPtr handle);

        [DllImport("gpiolink", CallingConvention = CallingConvention.Cdecl)]
        private static extern int GPIO_CloseInterface(IntPtr handle);

        private static void AssertClosed(Controller controller)
        {
            ClassicAssert.IsTrue(controller.IsClosed);
            var error = Assert.Throws<GpioException>(() => controller.Input(0));
            ClassicAssert.AreEqual(GpioResult.BadHandle, error.Code);
            StringAssert.Contains("the controller is closed", error.Message);
        }

        [Test]
        public void DisposeClosesThePortOnce()
        {
            var controller = new Controller(Sim.Port);
            ClassicAssert.IsFalse(controller.IsClosed);
            StringAssert.EndsWith("(open)", controller.ToString());
            controller.Dispose();
            AssertClosed(controller);
            controller.Dispose();
            controller.Close();
            // The library unlocked the port: the same process opens it again.
            using (var again = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual("GPIO-SIM 1.0", again.Version());
            }
        }

        [Test]
        public void ClosedControllerNeverReachesTheNextOne()
        {
            var first = new Controller(Sim.Port);
            first.Close();
            using (var second = new Controller(Sim.Port))  // likely the same handle value
            {
                AssertClosed(first);
                second.Output(0, 0x33);
                ClassicAssert.AreEqual(0x33, second.Input(0));
            }
        }

        [Test]
        public void FinalizerClosesAnUndisposedController()
        {
            // Opened on a thread that then ends, so that no stack keeps it.
            var opener = new Thread(() => new Controller(Sim.Port).Output(0, 0x77));
            opener.Start();
            opener.Join();
            GC.Collect();
            GC.WaitForPendingFinalizers();
            using (var next = new Controller(Sim.Port))
            {
                ClassicAssert.AreEqual(0x77, next.Input(0));
            }
        }

        [Test]
        public void CloseReportsAnInterfaceReplacedBehindItsBack()
        {
            // Its own simulators: the library leaves the first port open.
            using (var stranded = new Simulator())
            using (var other = new Simulator())
            {
                var controller = new Controller(stranded.Port);
                IntPtr foreign;
                ClassicAssert.AreEqual(0, GPIO_OpenInterface(other.Port, out foreign));
                try
                {
                    var error = Assert.Throws<GpioException>(() => controller.Close());
                    ClassicAssert.AreEqual(GpioResult.BadHandle, error.Code);
                    ClassicAssert.AreEqual("GPIO_CloseInterface", error.Operation);
                    AssertClosed(controller);
                    controller.Dispose();  // nothing left to report
                }
                finally
                {
                    ClassicAssert.AreEqual(0, GPIO_CloseInterface(foreign));
                }
            }
        }
    }
}
