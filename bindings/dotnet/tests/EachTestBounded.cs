using System;
using System.Diagnostics;
using System.Reflection;
using System.Threading;
using NUnit.Framework;
using NUnit.Framework.Interfaces;

[assembly: Gpiolink.Tests.EachTestBounded]

namespace Gpiolink.Tests
{
    /// <summary>
    /// A bound on every test: each test's start is printed with the time, and
    /// a test still running a minute later, or a minute without a test
    /// starting or ending (a fixture's set-up or tear-down), ends the whole
    /// run at once, naming where it stood. A blocked call cannot be cancelled
    /// from outside, so the process ends rather than wait; the script that
    /// runs the tests then stops the simulators it started.
    /// </summary>
    [AttributeUsage(AttributeTargets.Assembly)]
    public sealed class EachTestBoundedAttribute : Attribute, ITestAction
    {
        private static readonly TimeSpan Bound = TimeSpan.FromSeconds(60);
        private static readonly object Guard = new object();
        private static readonly Timer Watchdog = new Timer(_ => Expire());
        private static string where = "the first test's fixture set-up";
        private static TimeSpan allowed = Bound;

        public ActionTargets Targets => ActionTargets.Test;

        /// <summary>Gives the running test more time, for a run made longer on purpose.</summary>
        public static void Extend(TimeSpan more)
        {
            lock (Guard)
            {
                allowed += more;
                Watchdog.Change(allowed, Timeout.InfiniteTimeSpan);
            }
        }

        public void BeforeTest(ITest test)
        {
            TestContext.Progress.WriteLine("{0:HH:mm:ss.fff} started {1}", DateTime.Now, test.Name);
            Arm(test.Name);
        }

        public void AfterTest(ITest test)
        {
            Arm("the fixture set-up or tear-down after " + test.Name);
        }

        private static void Arm(string now)
        {
            lock (Guard)
            {
                where = now;
                allowed = Bound;
                Watchdog.Change(allowed, Timeout.InfiniteTimeSpan);
            }
        }

        private static void Expire()
        {
            // Whether a thread holds the binding's lock around library calls
            // tells a call that never returned from a wait elsewhere.
            object callLock = typeof(Controller).GetField("CallLock", BindingFlags.NonPublic | BindingFlags.Static)
                ?.GetValue(null);
            bool free = callLock != null && Monitor.TryEnter(callLock, 0);
            if (free)
            {
                Monitor.Exit(callLock);
            }
            lock (Guard)
            {
                Console.Error.WriteLine("{0:HH:mm:ss.fff} {1}: no end after {2} s (the binding's call lock {3}); " +
                                        "the run ends here", DateTime.Now, where, allowed.TotalSeconds,
                                        free ? "is free" : "is held");
            }
            Console.Error.Flush();
            Console.Out.Flush();
            Process.GetCurrentProcess().Kill();
        }
    }
}
