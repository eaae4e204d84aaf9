using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
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
    /// <remarks>
    /// The library promises this only for replies that come within about
    /// 200 ms of their request. On a loaded machine the simulator itself can
    /// be held back past that, so it writes down when each piece of reply
    /// went out (--reply-times, on the monotonic clock that Stopwatch reads
    /// too), and a call that met another call's reply counts as a fault only
    /// when no earlier request's reply went out late while the call, or the
    /// one before it, ran.
    /// </remarks>
    [TestFixture]
    public class LateReplyTests
    {
        // A failed call returns 20 ms (its pause) after the failure, and the
        // line is kept from the next user until it has been silent for 100 ms
        // from the failure: a piece of reply must arrive within 80 ms of its
        // call's return. How long a piece takes from the simulator's write to
        // the library's port (the relay between the pair's ends, the library
        // noticing it) is measured on the calls that received their reply:
        // at most the time from the write to the call's return less the
        // pause. The slowest of the run, and at least 30 ms, is allowed for.
        private const double KeptAfterCallMs = 80;
        private const double PauseMs = 20;
        private const double LeastTransitMs = 30;

        private sealed class Call
        {
            public double Start;
            public double End;
            public bool Anomalous;  // another request's reply taken, or a result the call cannot give
            public bool Heard;      // ended on a reply of its own: success, or a damaged frame
            public string What;
        }

        [TestCase(true, TestName = "NoLateReplyReachesTheNextUsingBlock")]
        [TestCase(false, TestName = "NoGoodFrameAfterADamagedOneReachesTheNextUsingBlock")]
        public void NoReplyReachesTheNextUsingBlock(bool late)
        {
            string setting = Environment.GetEnvironmentVariable("GPIOLINK_LATE_CALLS");
            int count = string.IsNullOrEmpty(setting) ? 24 : int.Parse(setting, CultureInfo.InvariantCulture);
            EachTestBoundedAttribute.Extend(TimeSpan.FromSeconds(count));
            string times = Path.Combine(Path.GetTempPath(), "gpiolink-reply-times-" + Guid.NewGuid().ToString("N"));
            var calls = new List<Call>();
            try
            {
                using (var sim = late ? new Simulator("--delay", "150", "--reply-times", times)
                                      : new Simulator("--magic-ports", "--reply-times", times))
                {
                    using (var controller = new Controller(sim.Port))
                    {
                        for (byte n = 0; n < 4; n++)
                        {
                            // Under load a 150 ms late reply can still come in time.
                            calls.Add(Measure("output " + n, () => controller.Output(n, (byte)(0xA0 + n)),
                                              GpioResult.Ok, GpioResult.Timeout));
                        }
                    }
                    for (int i = 0; i < count; i++)
                    {
                        var n = (byte)(late ? i % 4 : 1 + i / 2 % 3);
                        using (var controller = new Controller(sim.Port))
                        {
                            if (!late && i % 2 == 0)
                            {
                                calls.Add(Measure("input 251", () => controller.Input(251), GpioResult.IoError));
                                continue;
                            }
                            byte value = 0;
                            Call call = Measure("input " + n, () => value = controller.Input(n), GpioResult.Ok,
                                                GpioResult.Timeout);
                            bool wrong = call.What.EndsWith(" ok", StringComparison.Ordinal) && value != 0xA0 + n;
                            call.Anomalous |= wrong;
                            call.Heard &= !wrong;
                            calls.Add(call);
                        }
                    }
                }
                Judge(calls, File.ReadAllLines(times), late ? "late" : "damaged");
            }
            finally
            {
                File.Delete(times);
            }
        }

        // Each call's request is the simulator's request of the same number:
        // one frame a call.
        private static void Judge(List<Call> calls, string[] replyTimes, string mode)
        {
            var pieces = new List<(int Request, double Received, double Sent)>();
            foreach (string line in replyTimes)
            {
                string[] fields = line.Split(' ');
                pieces.Add((int.Parse(fields[0], CultureInfo.InvariantCulture),
                            long.Parse(fields[1], CultureInfo.InvariantCulture) / 1000.0,
                            long.Parse(fields[2], CultureInfo.InvariantCulture) / 1000.0));
            }
            foreach (var piece in pieces)
            {
                ClassicAssert.Less(piece.Request, calls.Count, "a reply to a request that no call made");
                // A request cannot come before its call began: else the two
                // processes do not share the clock, and nothing can be judged.
                ClassicAssert.GreaterOrEqual(piece.Received, calls[piece.Request].Start - 1,
                                             "the simulator's clock is not this process's");
            }
            double transit = LeastTransitMs;
            foreach (var piece in pieces.Where(piece => calls[piece.Request].Heard))
            {
                transit = Math.Max(transit, calls[piece.Request].End - PauseMs - piece.Sent);
            }
            var late = pieces.Where(piece => piece.Sent + transit - calls[piece.Request].End > KeptAfterCallMs)
                .ToList();
            int judged = 0;
            var faults = new List<string>();
            for (int i = 0; i < calls.Count; i++)
            {
                double since = calls[Math.Max(0, i - 1)].Start;
                if (late.Any(piece => piece.Request < i && piece.Sent >= since && piece.Sent <= calls[i].End))
                {
                    continue;
                }
                judged++;
                if (calls[i].Anomalous)
                {
                    // What the line carried meanwhile, for the report.
                    double begun = calls[i].Start;
                    IEnumerable<string> seen = pieces
                        .Where(piece => piece.Sent >= since - 200 && piece.Sent <= calls[i].End)
                        .Select(piece => string.Format(CultureInfo.InvariantCulture,
                            "request {0} out at {1:F0} ms ({2:F0} ms after its call returned)", piece.Request,
                            piece.Sent - begun, piece.Sent - calls[piece.Request].End));
                    faults.Add(string.Format(CultureInfo.InvariantCulture, "call {0}: {1} after {2:F0} ms; {3}", i,
                                             calls[i].What, calls[i].End - begun, string.Join(", ", seen)));
                }
            }
            TestContext.Progress.WriteLine(
                "late replies, {0}, a using block a call: {1} calls, {2} judged, {3} faults; {4} of {5} reply " +
                "pieces late, with up to {6:F0} ms from the simulator to the library", mode, calls.Count, judged,
                faults.Count, late.Count, pieces.Count, transit);
            CollectionAssert.IsEmpty(faults, "calls that met another request's reply, with every reply in time");
            ClassicAssert.Less(0, judged, "every call met a reply that went out too late to judge it: the machine is too busy");
        }

        // Runs the call and notes when; anomalous when it ends with none of `expected`.
        private static Call Measure(string what, Action call, params GpioResult[] expected)
        {
            var measured = new Call { Start = Now() };
            GpioResult result = GpioResult.Ok;
            try
            {
                call();
            }
            catch (GpioException error)
            {
                result = error.Code;
            }
            measured.End = Now();
            measured.What = what + " " + (result == GpioResult.Ok ? "ok" : result.ToString());
            measured.Anomalous = !expected.Contains(result);
            measured.Heard = !measured.Anomalous && (result == GpioResult.Ok || result == GpioResult.IoError);
            return measured;
        }

        private static double Now()
        {
            return Stopwatch.GetTimestamp() * 1000.0 / Stopwatch.Frequency;
        }
    }
}
