// gpioctl watch without a terminal or a line: polling order, what a poll
// changes, the toggle keys and the text shown.
#include <gtest/gtest.h>

#include "gpiolink.h"
#include "watch_model.h"

namespace gpioctl {
namespace {

std::string FixedClock(double seconds) { return "t=" + std::to_string(static_cast<int>(seconds)); }

TEST(WatchModel, PollsInTurnAndLeavesAFailingPortToItsRetry)
{
    WatchModel model({0, 1, 2});
    EXPECT_EQ(0U, model.Next(0.0));
    model.Record(0, GPIO_RESULT_OK, 0, 0.02);
    EXPECT_EQ(1U, model.Next(0.02));
    model.Record(1, GPIO_RESULT_TIMEOUT, 0, 0.14);
    EXPECT_EQ(2U, model.Next(0.14));
    model.Record(2, GPIO_RESULT_OK, 0, 0.16);
    // Port 1 is silent: the others go on until its retry is due.
    EXPECT_EQ(0U, model.Next(0.16));
    EXPECT_EQ(2U, model.Next(0.18));
    EXPECT_EQ(0U, model.Next(0.20));
    EXPECT_EQ(1U, model.Next(0.14 + WatchModel::kFailingRetryS));

    EXPECT_DOUBLE_EQ(0.0, model.WaitBefore(0.2));

    // When every port fails, the polls wait for the first retry, and the
    // port polled longest ago goes first.
    WatchModel silent({5, 6});
    silent.Record(0, GPIO_RESULT_TIMEOUT, 0, 1.0);
    silent.Record(1, GPIO_RESULT_TIMEOUT, 0, 0.75);
    EXPECT_NEAR(0.15, silent.WaitBefore(1.1), 1e-9);
    EXPECT_DOUBLE_EQ(0.0, silent.WaitBefore(1.3));
    EXPECT_EQ(1U, silent.Next(1.1));
}

TEST(WatchModel, ReportsFirstReadsChangesFailuresAndRecoveries)
{
    WatchModel model({3});
    EXPECT_EQ(PollChange::kValue, model.Record(0, GPIO_RESULT_OK, 0x0F, 1.0));
    EXPECT_EQ(0, model.Ports()[0].changed);
    EXPECT_EQ(PollChange::kNone, model.Record(0, GPIO_RESULT_OK, 0x0F, 1.1));
    EXPECT_EQ(PollChange::kValue, model.Record(0, GPIO_RESULT_OK, 0x3C, 1.2));
    EXPECT_EQ(0x33, model.Ports()[0].changed);
    EXPECT_DOUBLE_EQ(1.2, model.Ports()[0].changedAt);
    // A failure is told once per kind; the count goes on.
    EXPECT_EQ(PollChange::kFailing, model.Record(0, GPIO_RESULT_TIMEOUT, 0, 1.3));
    EXPECT_EQ(PollChange::kNone, model.Record(0, GPIO_RESULT_TIMEOUT, 0, 1.4));
    EXPECT_EQ(PollChange::kFailing, model.Record(0, GPIO_RESULT_IO_ERROR, 0, 1.5));
    EXPECT_EQ(3UL, model.Ports()[0].failures);
    EXPECT_EQ(0x3C, model.Ports()[0].value);
    EXPECT_EQ(PollChange::kRecovered, model.Record(0, GPIO_RESULT_OK, 0x3C, 1.6));
    // Seven polls 0.1 s apart: ten a second.
    EXPECT_NEAR(10.0, model.PollRate(), 1e-9);
}

TEST(WatchModel, KeysNameAWatchedPortThenABit)
{
    WatchModel model({0, 1, 12});
    ToggleKeys keys(model);
    EXPECT_FALSE(keys.Take('0').ready);
    EXPECT_EQ("toggle: port 0, bit 0-7?", keys.Prompt());
    const ToggleKeys::Toggle toggle = keys.Take('3');
    EXPECT_TRUE(toggle.ready);
    EXPECT_EQ(0U, toggle.port);
    EXPECT_EQ(3U, toggle.bit);
    EXPECT_EQ("", keys.Prompt());

    // "1" may begin 12: a further 2 goes to the port number, a space ends it.
    keys.Take('1');
    EXPECT_EQ("toggle: port 1...", keys.Prompt());
    keys.Take('2');
    EXPECT_EQ(12U, keys.Take('5').port);
    keys.Take('1');
    keys.Take(' ');
    const ToggleKeys::Toggle one = keys.Take('2');
    EXPECT_TRUE(one.ready);
    EXPECT_EQ(1U, one.port);
    EXPECT_EQ(2U, one.bit);
    // A digit that no watched port goes on with is the bit.
    keys.Take('1');
    const ToggleKeys::Toggle five = keys.Take('5');
    EXPECT_TRUE(five.ready);
    EXPECT_EQ(1U, five.port);
    EXPECT_EQ(5U, five.bit);

    // No bit 8; an unwatched port or any other key starts over.
    keys.Take('0');
    EXPECT_FALSE(keys.Take('8').ready);
    EXPECT_EQ("", keys.Prompt());
    keys.Take('7');
    EXPECT_EQ("", keys.Prompt());
    keys.Take('0');
    keys.Take('x');
    EXPECT_FALSE(keys.Take('1').ready);
}

TEST(WatchModel, ScreenHighlightsFreshChangesAndShowsFailures)
{
    WatchModel model({1, 240});
    model.Record(0, GPIO_RESULT_OK, 0x00, 1.0);
    model.Record(0, GPIO_RESULT_OK, 0x81, 2.0);
    model.Record(1, GPIO_RESULT_TIMEOUT, 0, 2.1);
    const ScreenText text{"pts/4", "GPIO-SIM 1.0", "", "output port 1 value 0x80 (bit 0 toggled): GPIO_RESULT_OK"};
    const std::string fresh = RenderScreen(model, text, 2.5, FixedClock);
    EXPECT_NE(std::string::npos, fresh.find("gpioctl watch: port pts/4, version \"GPIO-SIM 1.0\", 1.8 polls/s"));
    EXPECT_NE(std::string::npos,
              fresh.find("   1  \x1b[7m1\x1b[0m 0 0 0 0 0 0 \x1b[7m1\x1b[0m  0x81   t=2                0  ok"));
    EXPECT_NE(std::string::npos, fresh.find(" 240  . . . . . . . .  --     -                  1  GPIO_RESULT_TIMEOUT"));
    EXPECT_NE(std::string::npos, fresh.find(text.message));
    // Two seconds on, the highlight is gone; a prompt takes the message's place.
    const std::string later = RenderScreen(model, {"pts/4", "", "toggle: port 1...", text.message}, 4.5, FixedClock);
    EXPECT_NE(std::string::npos, later.find("   1  1 0 0 0 0 0 0 1  0x81"));
    EXPECT_NE(std::string::npos, later.find("toggle: port 1..."));
    EXPECT_EQ(std::string::npos, later.find(text.message));
}

TEST(WatchModel, PortsThatDoNotFitTheTerminalAreCountedNotScrolled)
{
    WatchModel model({0, 1, 2, 3, 4});
    ScreenText text{"pts/4", "", "", ""};
    text.rows = 10;  // room for two ports and the line that counts the rest
    const std::string screen = RenderScreen(model, text, 0.0, FixedClock);
    EXPECT_NE(std::string::npos, screen.find("   1  . ."));
    EXPECT_EQ(std::string::npos, screen.find("   2  . ."));
    EXPECT_NE(std::string::npos, screen.find("3 more ports do not fit: make the window taller"));
    std::size_t lines = 0;
    for (std::size_t at = screen.find("\r\n"); at != std::string::npos; at = screen.find("\r\n", at + 1)) {
        ++lines;
    }
    EXPECT_LT(lines, 10u);  // the cursor's last line break stays on the screen too
    text.rows = 12;         // now all five fit
    EXPECT_EQ(std::string::npos, RenderScreen(model, text, 0.0, FixedClock).find("more ports"));
}

TEST(WatchModel, ChangeLinesAsTextAndJson)
{
    WatchModel model({2});
    model.Record(0, GPIO_RESULT_OK, 0x00, 0.0);
    model.Record(0, GPIO_RESULT_OK, 0x3C, 0.5);
    const PortView &view = model.Ports()[0];
    EXPECT_EQ("500.0 ms  port 2  0x3C  00111100  changed 0x3C", ChangeLine(view, PollChange::kValue, 500.0, false));
    EXPECT_EQ("{\"ms\":500.0,\"port\":2,\"value\":60,\"bits\":\"00111100\",\"changed\":60}",
              ChangeLine(view, PollChange::kValue, 500.0, true));
    model.Record(0, GPIO_RESULT_TIMEOUT, 0, 0.6);
    EXPECT_EQ("{\"ms\":600.0,\"port\":2,\"result\":4,\"name\":\"GPIO_RESULT_TIMEOUT\",\"failures\":1}",
              ChangeLine(view, PollChange::kFailing, 600.0, true));
    EXPECT_NE(std::string::npos, ChangeLine(view, PollChange::kFailing, 600.0, false).find("(1 failed polls)"));
    model.Record(0, GPIO_RESULT_OK, 0x3C, 0.7);
    EXPECT_EQ("{\"ms\":700.0,\"port\":2,\"value\":60,\"bits\":\"00111100\",\"changed\":0,\"recovered\":true}",
              ChangeLine(view, PollChange::kRecovered, 700.0, true));
}

}  // namespace
}  // namespace gpioctl
