using System;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class ErrorTests : SimulatorFixture
    {
        private static void AssertFails(GpioResult code, string operation, TestDelegate call)
        {
            var error = Assert.Throws<GpioException>(call);
            ClassicAssert.AreEqual(code, error.Code);
            ClassicAssert.AreEqual(GpioResults.Name(code), error.Name);
            ClassicAssert.AreEqual(operation, error.Operation);
            StringAssert.Contains(GpioResults.Text(code), error.Message);
            StringAssert.Contains(error.Name, error.Message);
        }

        [Test]
        public void SilentControllerTimesOut()
        {
            using (var sim = new Simulator("--silence-rate", "1"))
            using (var controller = new Controller(sim.Port))
            {
                AssertFails(GpioResult.Timeout, "GPIO_Input", () => controller.Input(0));
                AssertFails(GpioResult.Timeout, "GPIO_BitTest", () => controller.BitTest(0, 0));
                AssertFails(GpioResult.Timeout, "GPIO_GetVersion", () => controller.Version());
            }
        }

        [Test]
        public void StatusFEIsDeviceFE()
        {
            using (var sim = new Simulator("--status", "I=0xFE", "--status", "T=0xFE", "--status", "V=0xFE"))
            using (var controller = new Controller(sim.Port))
            {
                AssertFails(GpioResult.DeviceFE, "GPIO_Input", () => controller.Input(1));
                AssertFails(GpioResult.DeviceFE, "GPIO_BitTest", () => controller.BitTest(1, 0));
                AssertFails(GpioResult.DeviceFE, "GPIO_GetVersion", () => controller.Version());
                controller.Output(1, 0x42);  // commands without a status override still succeed
            }
        }

        [Test]
        public void MissingPortOrBitIsDeviceFFAndTheSessionCarriesOn()
        {
            using (var controller = new Controller(Sim.Port))
            {
                AssertFails(GpioResult.DeviceFF, "GPIO_BitSet", () => controller.BitSet(0, 8));
                AssertFails(GpioResult.DeviceFF, "GPIO_Output", () => controller.Output(4, 1));
                controller.Output(0, 0x11);
                ClassicAssert.AreEqual(0x11, controller.Input(0));
            }
        }
    }
}
