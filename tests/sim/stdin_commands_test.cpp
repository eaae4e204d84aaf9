// gpio-sim's commands on standard input, read and carried out on a model.
#include <gtest/gtest.h>

#include "stdin_commands.h"

namespace gpio_sim {
namespace {

// The model's reply to a request payload, decoded as the simulator does.
Bytes Ask(ControllerModel &model, const Bytes &payload) { return model.Handle(gpio_tools::DecodeRequest(payload)); }

StdinCommand Parsed(const std::string &line)
{
    StdinCommand command;
    std::string error;
    EXPECT_TRUE(ParseStdinCommand(line, command, error)) << line << ": " << error;
    return command;
}

std::string Refusal(const std::string &line)
{
    StdinCommand command;
    std::string error;
    EXPECT_FALSE(ParseStdinCommand(line, command, error)) << line;
    EXPECT_EQ(StdinCommand::Kind::kNothing, command.kind) << line;
    return error;
}

TEST(SimStdin, ReadsSetAndReleaseInDecimalOrHex)
{
    const StdinCommand set = Parsed("set 1 0x0F");
    EXPECT_EQ(StdinCommand::Kind::kSet, set.kind);
    EXPECT_EQ(1, set.port);
    EXPECT_EQ(0x0F, set.value);
    EXPECT_EQ(0xFF, set.mask);
    const StdinCommand masked = Parsed("  set 3 255 0X30 \r");
    EXPECT_EQ(3, masked.port);
    EXPECT_EQ(0xFF, masked.value);
    EXPECT_EQ(0x30, masked.mask);
    EXPECT_EQ(StdinCommand::Kind::kRelease, Parsed("release 0x02").kind);
    EXPECT_EQ(StdinCommand::Kind::kNothing, Parsed("").kind);
    EXPECT_EQ(StdinCommand::Kind::kNothing, Parsed("   # a comment").kind);
}

TEST(SimStdin, RefusesWhatTheDeviceHasNotOrNoByteCanHold)
{
    EXPECT_NE(std::string::npos, Refusal("set 4 1").find("not one of 0-3"));
    EXPECT_NE(std::string::npos, Refusal("set 1 256").find("bytes"));
    EXPECT_NE(std::string::npos, Refusal("set 1 0x1FF 1").find("bytes"));
    EXPECT_NE(std::string::npos, Refusal("set 1 -1").find("bytes"));
    EXPECT_NE(std::string::npos, Refusal("set 1 1 0xZZ").find("bytes"));
    for (const char *line : {"set 1", "set 1 2 3 4", "release", "release 1 2", "SET 1 2", "toggle 1 2"}) {
        EXPECT_NE(std::string::npos, Refusal(line).find("want 'set PORT VALUE [MASK]'")) << line;
    }
    // Control characters of the line never reach the message.
    EXPECT_EQ(std::string::npos, Refusal("bad\x1b]0;title\x07").find('\x1b'));
}

TEST(SimStdin, SetDrivesWhatInputReadsUntilReleased)
{
    ControllerModel model;
    model.SetLatch(1, 0x01);
    EXPECT_EQ("port 1 reads 0x0F (pins 0xFF driven)", ApplyStdinCommand(Parsed("set 1 0x0F"), model));
    EXPECT_EQ((Bytes{0x00, 0x0F}), Ask(model, {'I', 1}));
    // An Output changes the latch, not the driven pins.
    Ask(model, {'O', 1, 0xA0});
    EXPECT_EQ((Bytes{0x00, 0x0F}), Ask(model, {'I', 1}));
    // Only the masked pins are driven; the others read the latch.
    EXPECT_EQ("port 1 reads 0xA5 (pins 0x0F driven)", ApplyStdinCommand(Parsed("set 1 5 0x0F"), model));
    EXPECT_EQ("port 1 reads its latch 0xA0", ApplyStdinCommand(Parsed("release 1"), model));
    EXPECT_EQ((Bytes{0x00, 0xA0}), Ask(model, {'I', 1}));
    EXPECT_EQ(0x00, model.ReadPort(0));
}

}  // namespace
}  // namespace gpio_sim
