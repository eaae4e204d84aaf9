// The simulated controller's command handling, without any line.
#include <gtest/gtest.h>

#include "controller_model.h"

namespace gpio_sim {
namespace {

using namespace gpio_tools;

// The model's reply to a request payload, decoded as the simulator does.
Bytes Ask(ControllerModel &model, const Bytes &payload) { return model.Handle(DecodeRequest(payload)); }

TEST(SimModel, OutputAndBitCommandsChangeTheLatchThatInputReadsBack)
{
    ControllerModel model;
    EXPECT_EQ((Bytes{0x00}), Ask(model, {'O', 2, 0xA5}));
    EXPECT_EQ((Bytes{0x00, 0xA5}), Ask(model, {'I', 2}));
    EXPECT_EQ((Bytes{0x00}), Ask(model, {'B', 'S', 2, 1}));
    EXPECT_EQ((Bytes{0x00}), Ask(model, {'B', 'C', 2, 7}));
    EXPECT_EQ(0x27, model.Latch(2));
    EXPECT_EQ((Bytes{0x00, 'H'}), Ask(model, {'T', 2, 1}));
    EXPECT_EQ((Bytes{0x00, 'L'}), Ask(model, {'T', 2, 7}));
    // Ports are independent.
    EXPECT_EQ((Bytes{0x00, 0x00}), Ask(model, {'I', 3}));
}

TEST(SimModel, DrivenPinsOverrideTheLatchForInputAndBitTestOnly)
{
    ControllerModel model;
    model.SetLatch(1, 0x0F);
    model.SetInputPins(1, 0x81, 0x80);  // bit 7 driven high, bit 0 driven low
    EXPECT_EQ((Bytes{0x00, 0x8E}), Ask(model, {'I', 1}));
    EXPECT_EQ((Bytes{0x00, 'L'}), Ask(model, {'T', 1, 0}));
    EXPECT_EQ((Bytes{0x00, 'H'}), Ask(model, {'T', 1, 7}));
    EXPECT_EQ(0x0F, model.Latch(1));
    model.SetInputPins(1, 0, 0);
    EXPECT_EQ((Bytes{0x00, 0x0F}), Ask(model, {'I', 1}));
}

TEST(SimModel, VersionRepliesWithTheTextAfterTheStatus)
{
    ControllerModel model("GPIO-TEST 2");
    const Bytes reply = Ask(model, {'V'});
    EXPECT_EQ(0x00, reply[0]);
    EXPECT_EQ("GPIO-TEST 2", std::string(reply.begin() + 1, reply.end()));
}

TEST(SimModel, ErrorsAnswerWithTheStatusAloneAndChangeNothing)
{
    const struct {
        Bytes request;
        std::uint8_t status;
    } cases[] = {
        {{}, kStatusMalformed},
        {{'B'}, kStatusMalformed},
        {{'I'}, kStatusMalformed},
        {{'I', 0, 0}, kStatusMalformed},
        {{'O', 0}, kStatusMalformed},
        {{'B', 'S', 0}, kStatusMalformed},
        {{'V', 0}, kStatusMalformed},
        {{'X'}, kStatusUnknownCommand},
        {{'B', 'X', 0, 0}, kStatusUnknownCommand},
        {{'i', 0}, kStatusUnknownCommand},
        {{'I', 4}, kStatusOutOfRange},
        {{'O', 0xFF, 1}, kStatusOutOfRange},
        {{'T', 0, 8}, kStatusOutOfRange},
        {{'B', 'S', 4, 0}, kStatusOutOfRange},
        {{'B', 'C', 0, 8}, kStatusOutOfRange},
    };
    ControllerModel model;
    model.SetLatch(0, 0x5A);
    for (const auto &c : cases) {
        EXPECT_EQ(Bytes{c.status}, Ask(model, c.request)) << DescribeRequest(DecodeRequest(c.request));
    }
    EXPECT_EQ(0x5A, model.Latch(0));
}

}  // namespace
}  // namespace gpio_sim
