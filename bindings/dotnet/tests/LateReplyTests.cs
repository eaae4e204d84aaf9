using System;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    /// <summary>
    /// A Controller per call, as applications use them: a reply 150 ms late,
    /// or a damaged reply with the good one 40 ms behind (magic port 251,
    /// which answers with port 0's value), must never answer the next using
    /// block's call. Ports 0-3 hold 0xA0-0xA3. GPIOLINK_LATE_CALLS=200 is
    /// the long run.
    /// </summary>
    [TestFixture]
    public class LateReplyTests
    {
        [TestCase(true, TestName = "NoLateReplyReachesTheNextUsingBlock")]
        [TestCase(false, TestName = "NoGoodFrameAfterADamagedOneReachesTheNextUsingBlock")]
        public void NoReplyReachesTheNextUsingBlock(bool late)
        {
            using (var sim = late ? new Simulator("--delay", "150") : new Simulator("--magic-ports"))
            {
                using (var controller = new Controller(sim.Port))
                {
                    for (byte n = 0; n < 4; n++)
                    {
                        Attempt(() => controller.Output(n, (byte)(0xA0 + n)), GpioResult.Timeout);
                    }
                }
                string setting = Environment.GetEnvironmentVariable("GPIOLINK_LATE_CALLS");
                int calls = string.IsNullOrEmpty(setting) ? 24 : int.Parse(setting);
                int successes = 0, wrong = 0;
                for (int i = 0; i < calls; i++)
                {
                    byte n = (byte)(late ? i % 4 : 1 + i / 2 % 3);
                    using (var controller = new Controller(sim.Port))
                    {
                        if (!late && i % 2 == 0)
                        {
                            var failed = Assert.Throws<GpioException>(() => controller.Input(251));
                            ClassicAssert.AreEqual(GpioResult.IoError, failed.Code);
                            continue;
                        }
                        byte value = 0;
                        if (Attempt(() => value = controller.Input(n), GpioResult.Timeout))
                        {
                            successes++;
                            wrong += value != 0xA0 + n ? 1 : 0;
                        }
                    }
                }
                TestContext.Progress.WriteLine("late replies, {0}, a using block a call: {1} calls, {2} successes, {3} wrong values with success",
                    late ? "late" : "damaged", calls, successes, wrong);
                ClassicAssert.AreEqual(0, wrong, "calls that gave another port's value with success");
            }
        }

        // Runs the call; true when it succeeded, false when it failed with `allowed`.
        private static bool Attempt(Action call, GpioResult allowed)
        {
            try
            {
                call();
                return true;
            }
            catch (GpioException error)
            {
                ClassicAssert.AreEqual(allowed, error.Code);
                return false;
            }
        }
    }
}
