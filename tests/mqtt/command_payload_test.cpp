// The reader of commands from the broker: what it takes, exactly, and
// that whatever it refuses says why. The refusals that reach no controller
// are tested end to end too (test_gpio_mqtt.py), with their error topic.
#include <gtest/gtest.h>

#include <string>

#include "command_payload.h"

namespace gpio_mqtt {
namespace {

// Port 0 output, 1 input, 2 both ways, 255 output.
PortTable Ports()
{
    PortTable ports{};
    ports[0] = {true, true};
    ports[1] = {true, false};
    ports[2] = {true, true};
    ports[255] = {true, true};
    return ports;
}

TEST(CommandPayload, TakesEachFormOfEachTopic)
{
    struct Case {
        const char *topic;
        std::string payload;
        Origin origin;
        Operation operation;
        int port, bit, value;
    };
    const Case cases[] = {
        {"port/0/set", "165", Origin::kPortSetTopic, Operation::kOutput, 0, 0, 165},
        {"port/0/set", "0xA5", Origin::kPortSetTopic, Operation::kOutput, 0, 0, 165},
        {"port/2/set", "0Xff", Origin::kPortSetTopic, Operation::kOutput, 2, 0, 255},
        {"port/255/set", " 0\n", Origin::kPortSetTopic, Operation::kOutput, 255, 0, 0},
        {"port/0/set", "{\"value\":165}", Origin::kPortSetTopic, Operation::kOutput, 0, 0, 165},
        {"port/0/set", " {\"value\" : 7}\r\n", Origin::kPortSetTopic, Operation::kOutput, 0, 0, 7},
        {"port/0/bit/7/set", "ON", Origin::kBitSetTopic, Operation::kBitSet, 0, 7, 0},
        {"port/2/bit/0/set", "OFF\n", Origin::kBitSetTopic, Operation::kBitReset, 2, 0, 0},
        {"port/0/bit/3/set", "TOGGLE", Origin::kBitSetTopic, Operation::kBitToggle, 0, 3, 0},
        {"request", "{\"op\":\"input\",\"port\":1}", Origin::kRequestTopic, Operation::kInput, 1, 0, 0},
        {"request", "{\"op\":\"bit-test\",\"port\":1,\"bit\":6}", Origin::kRequestTopic, Operation::kBitTest, 1, 6, 0},
        {"request", "{\"value\":200,\"op\":\"output\",\"port\":2}", Origin::kRequestTopic, Operation::kOutput, 2, 0, 200},
        {"request", "{\"op\":\"bit-set\",\"port\":255,\"bit\":0}", Origin::kRequestTopic, Operation::kBitSet, 255, 0, 0},
        {"request", "{\"op\":\"bit-reset\",\"port\":0,\"bit\":1}", Origin::kRequestTopic, Operation::kBitReset, 0, 1, 0},
        {"request", "{\"op\":\"version\"}", Origin::kRequestTopic, Operation::kVersion, 0, 0, 0},
    };
    for (const Case &c : cases) {
        const ParsedCommand parsed = ParseCommand(c.topic, c.payload, Ports());
        ASSERT_TRUE(parsed.ok) << c.topic << " " << c.payload << ": " << parsed.reason;
        EXPECT_EQ(c.origin, parsed.command.origin) << c.topic << " " << c.payload;
        EXPECT_EQ(c.operation, parsed.command.operation) << c.topic << " " << c.payload;
        EXPECT_EQ(c.port, parsed.command.port) << c.topic << " " << c.payload;
        EXPECT_EQ(c.bit, parsed.command.bit) << c.topic << " " << c.payload;
        EXPECT_EQ(c.value, parsed.command.value) << c.topic << " " << c.payload;
    }
}

TEST(CommandPayload, RefusesWithAReason)
{
    const struct {
        const char *topic;
        std::string payload;
        const char *reason;
    } cases[] = {
        {"port/0/set", "0x100", "not a number from 0 to 255"},
        {"port/0/set", "99999999999999999999", "not a number from 0 to 255"},
        {"port/0/set", "0x", "not a number"},
        {"port/0/set", "+5", "not a number"},
        {"port/0/set", "{\"value\":18446744073709551615}", "not a number from 0 to 255"},
        {"port/0/set", "{\"value\":-1}", "not a number from 0 to 255"},
        {"port/0/set", "{\"value\":1e2}", "not a whole number"},
        {"port/0/set", "{\"value\":1e999}", "not valid JSON"},
        {"request", "1e2221", "not valid JSON"},
        {"port/0/set", "{\"value\":true}", "not a whole number"},
        {"port/0/set", "{}", "no \"value\" given"},
        {"port/0/set", std::string("1\0", 2), "not a number"},
        {"port/00/set", "1", "not a configured port"},
        {"port/0x1/set", "1", "not a configured port"},
        {"port/256/set", "1", "not a configured port"},
        {"port/1/set", "1", "is an input port"},
        {"port/1/bit/0/set", "ON", "is an input port"},
        {"port/0/bit/07/set", "ON", "not one of 0-7"},
        {"port/0/bit/-1/set", "ON", "not one of 0-7"},
        {"port/0/bit//set", "ON", "not one of 0-7"},
        {"port/0/bit/0/set", "On", "not ON, OFF or TOGGLE"},
        {"port/0", "1", "takes no commands"},
        {"request/x", "{}", "takes no commands"},
        {"request", "{\"op\":5}", "no \"op\" given"},
        {"request", "{\"op\":\"Input\",\"port\":1}", "unknown op"},
        {"request", "{\"op\":\"bit-toggle\",\"port\":0,\"bit\":1}", "unknown op"},
        {"request", "{\"op\":\"input\"}", "no \"port\" given"},
        {"request", "{\"op\":\"input\",\"port\":\"1\"}", "not a whole number"},
        {"request", "{\"op\":\"input\",\"port\":1,\"bit\":1}", "takes no \"bit\""},
        {"request", "{\"op\":\"output\",\"port\":0}", "no \"value\" given"},
        {"request", "{\"op\":\"input\",\"port\":1}{}", "not valid JSON"},
        {"request", "\"input\"", "not a JSON object"},
        {"request", "{\"op\":\"version\",\"op\":\"input\"}", "key op is given twice"},
        {"port/0/set", "{\"value\":1,\"value\":7}", "key value is given twice"},
        {"request", "{\"op\":\"version\",\"x\":{\"a\":1,\"a\":2}}", "key a is given twice"},
        {"port/0/set", "{\"value\":-0}", "not a number from 0 to 255"},
        {"port/0/set", "-0", "not a number from 0 to 255"},
        {"request", "{\"op\":\"input\",\"port\":-0}", "not a configured port"},
        {"port/0/bit/0x7/set", "ON", "not one of 0-7"},
        {"request", "{\"op\":\"version\",\"extra\":{\"deep\":[1,2,3]}}", "unknown key"},
        {"request", "\xC0\xAF", "not valid UTF-8"},
        {"request", "{\"op\":\"version\"}" + std::string(1010, ' '), "over the limit of 1024"},
    };
    for (const auto &c : cases) {
        const ParsedCommand parsed = ParseCommand(c.topic, c.payload, Ports());
        EXPECT_FALSE(parsed.ok) << c.topic << " " << c.payload;
        EXPECT_NE(std::string::npos, parsed.reason.find(c.reason)) << c.topic << " " << c.payload << ": "
                                                                   << parsed.reason;
    }
}

TEST(CommandPayload, TakesAPayloadOfExactlyTheLimit)
{
    const std::string payload = "{\"op\":\"version\"}" + std::string(kMaxPayload - 16, ' ');
    ASSERT_EQ(kMaxPayload, payload.size());
    EXPECT_TRUE(ParseCommand("request", payload, Ports()).ok);
}

TEST(CommandPayload, ShowsNoRawControlOrLongTextInAReason)
{
    const ParsedCommand parsed = ParseCommand("port/0/bit/0/set", "\x1b]0;owned\x07" + std::string(500, 'x'), Ports());
    ASSERT_FALSE(parsed.ok);
    EXPECT_EQ(std::string::npos, parsed.reason.find('\x1b'));
    EXPECT_LT(parsed.reason.size(), 120U) << parsed.reason;
}

}  // namespace
}  // namespace gpio_mqtt
