using System;
using System.Threading.Tasks;
using Microsoft.Testing.Platform.Builder;
using NUnit.VisualStudio.TestAdapter.TestingPlatformAdapter;

namespace Gpiolink.Tests
{
    /// <summary>
    /// Runs the tests (the test platform's options, such as --filter and
    /// --list-tests), or with --scan alone, what a user's program meets
    /// first: Controller.Scan, with the exception's message on stderr when it
    /// throws.
    /// </summary>
    public static class Program
    {
        public static async Task<int> Main(string[] args)
        {
            if (args.Length == 1 && args[0] == "--scan")
            {
                try
                {
                    Console.WriteLine(Controller.Scan() ?? "no controller");
                    return 0;
                }
                catch (Exception error)
                {
                    Console.Error.WriteLine(error.GetType().FullName + ": " + error.Message);
                    return 2;
                }
            }
            ITestApplicationBuilder builder = await TestApplication.CreateBuilderAsync(args);
            TestingPlatformBuilderHook.AddExtensions(builder, args);
            using (ITestApplication application = await builder.BuildAsync())
            {
                return await application.RunAsync();
            }
        }
    }
}
