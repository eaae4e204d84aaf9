using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Gpiolink.Tests
{
    [TestFixture]
    public class ResultTablesTests
    {
        private static string Header()
        {
            return File.ReadAllText(Path.Combine(Simulator.Setting("GPIOLINK_SOURCE_DIR"), "include", "gpiolink.h"));
        }

        [Test]
        public void CodesMatchTheCHeader()
        {
            MatchCollection defines = Regex.Matches(Header(), @"#define (GPIO_RESULT_\w+) (\d+)");
            ClassicAssert.AreEqual(9, defines.Count);
            foreach (Match define in defines)
            {
                var result = (GpioResult)int.Parse(define.Groups[2].Value);
                ClassicAssert.AreEqual(define.Groups[1].Value, GpioResults.Name(result));
            }
        }

        [TestCase("name")]
        [TestCase("text")]
        public void NamesAndTextsMatchTheCHelpers(string helper)
        {
            string body = Regex.Match(Header(), @"gpiolink_result_" + helper + @"\(int result\)(.*?)\n}",
                                      RegexOptions.Singleline).Groups[1].Value;
            string[] strings = Regex.Matches(body, "\"([^\"]*)\"").Cast<Match>().Select(m => m.Groups[1].Value).ToArray();
            ClassicAssert.AreEqual(10, strings.Length);
            string[] ours = Enumerable.Range(-1, 11)
                .Select(code => helper == "name" ? GpioResults.Name((GpioResult)code) : GpioResults.Text((GpioResult)code))
                .ToArray();
            CollectionAssert.AreEqual(strings.Take(9), ours.Skip(1).Take(9));
            ClassicAssert.AreEqual(strings[9], ours[0]);
            ClassicAssert.AreEqual(strings[9], ours[10]);
        }
    }
}
