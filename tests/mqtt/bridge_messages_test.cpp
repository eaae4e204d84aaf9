// What gpio-mqtt publishes: the port's state, the replies, the errors
// (made safe) and the discovery entities, one per bit with the component
// its direction calls for.
#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "bridge_messages.h"
#include "gpiolink.h"

namespace gpio_mqtt {
namespace {

TEST(BridgeMessages, PortStateKeepsItsDocumentedOrder)
{
    EXPECT_EQ("{\"value\":165,\"hex\":\"0xA5\",\"bits\":\"10100101\"}", PortStatePayload(0xA5));
    EXPECT_EQ("{\"value\":1,\"hex\":\"0x01\",\"bits\":\"00000001\"}", PortStatePayload(1));
    EXPECT_STREQ("ON", BitPayload(0x80, 7));
    EXPECT_STREQ("OFF", BitPayload(0x7F, 7));
}

TEST(BridgeMessages, RepliesCarryTheResultAndWhatWasRead)
{
    Command input{Origin::kRequestTopic, Operation::kInput, 1, 0, 0};
    EXPECT_EQ("{\"result\":0,\"name\":\"GPIO_RESULT_OK\",\"port\":1,\"value\":165}",
              ReplyPayload(input, {GPIO_RESULT_OK, 165, ""}));
    EXPECT_EQ("{\"result\":4,\"name\":\"GPIO_RESULT_TIMEOUT\",\"port\":1}",
              ReplyPayload(input, {GPIO_RESULT_TIMEOUT, std::nullopt, ""}));
    Command test{Origin::kRequestTopic, Operation::kBitTest, 2, 5, 0};
    EXPECT_EQ("{\"result\":8,\"name\":\"GPIO_RESULT_BIT_LOW\",\"port\":2,\"bit\":5,\"level\":\"low\"}",
              ReplyPayload(test, {GPIO_RESULT_BIT_LOW, std::nullopt, ""}));
    Command version{Origin::kRequestTopic, Operation::kVersion, 0, 0, 0};
    EXPECT_EQ("{\"result\":0,\"name\":\"GPIO_RESULT_OK\",\"version\":\"X\\\\x1b[2J\"}",
              ReplyPayload(version, {GPIO_RESULT_OK, std::nullopt, "X\x1b[2J"}));
}

TEST(BridgeMessages, ErrorsAreSafeAndCut)
{
    const auto error = nlohmann::json::parse(
        ErrorPayload("gpiolink/x/port/0/set", std::string("\xff\x1b") + std::string(400, 'a'), "bad", 3));
    EXPECT_EQ("\\xff\\x1b" + std::string(254, 'a'), error["payload"]);
    EXPECT_EQ(402U, error["payload_bytes"]);
    EXPECT_EQ("GPIO_RESULT_IO_ERROR", error["name"]);
    EXPECT_FALSE(nlohmann::json::parse(ErrorPayload("t", "p", "r", std::nullopt)).contains("result"));
}

TEST(BridgeMessages, DiscoveryHasOneEntityPerBit)
{
    Config config;
    config.id = "bench.1";
    for (const auto &[number, direction, name] : {std::tuple{0, Direction::kOutput, "Relays"},
                                                  {1, Direction::kInput, "Switches"}, {2, Direction::kBoth, "Lines"}}) {
        PortConfig port;
        port.number = number;
        port.direction = direction;
        port.name = name;
        config.ports.push_back(port);
    }
    const auto entities = DiscoveryEntities(config, "GPIO-SIM 1.0");
    ASSERT_EQ(24U, entities.size());
    const auto sw = nlohmann::json::parse(entities.at("homeassistant/switch/gpiolink_bench_1/p2b7/config"));
    EXPECT_EQ("gpiolink/bench.1/port/2/bit/7/set", sw["command_topic"]);
    EXPECT_EQ("gpiolink_bench_1_p2b7", sw["unique_id"]);
    EXPECT_EQ("GPIO-SIM 1.0", sw["device"]["sw_version"]);
    const auto sensor = nlohmann::json::parse(entities.at("homeassistant/binary_sensor/gpiolink_bench_1/p1b0/config"));
    EXPECT_EQ("gpiolink/bench.1/port/1/bit/0", sensor["state_topic"]);
    EXPECT_EQ("gpiolink/bench.1/availability", sensor["availability_topic"]);
    EXPECT_FALSE(sensor.contains("command_topic"));
    EXPECT_EQ("homeassistant/+/gpiolink_bench_1/+/config", DiscoveryFilter(config));
    EXPECT_EQ("gpiolink bench.1", sensor["device"]["name"]);

    // A signal takes its bit's place: named, with its class, under the
    // controller's name; a pulse output is a button.
    config.name = "Boiler room";
    SignalConfig door;
    door.bit = 0;
    door.name = "Door closed";
    door.slug = "door-closed";
    door.deviceClass = "door";
    config.ports[1].signals = {door};
    SignalConfig horn;
    horn.bit = 7;
    horn.name = "Horn";
    horn.slug = "horn";
    horn.pulse = std::chrono::milliseconds(500);
    config.ports[2].signals = {horn};
    const auto named = DiscoveryEntities(config, "GPIO-SIM 1.0");
    ASSERT_EQ(24U, named.size());
    EXPECT_EQ(0U, named.count("homeassistant/binary_sensor/gpiolink_bench_1/p1b0/config"));
    const auto signal = nlohmann::json::parse(named.at("homeassistant/binary_sensor/gpiolink_bench_1/signal-door-closed/config"));
    EXPECT_EQ("Door closed", signal["name"]);
    EXPECT_EQ("door", signal["device_class"]);
    EXPECT_EQ("gpiolink/bench.1/signal/door-closed", signal["state_topic"]);
    EXPECT_EQ("Boiler room", signal["device"]["name"]);
    const auto button = nlohmann::json::parse(named.at("homeassistant/button/gpiolink_bench_1/signal-horn/config"));
    EXPECT_EQ("gpiolink/bench.1/signal/horn/set", button["command_topic"]);
    EXPECT_EQ("PULSE", button["payload_press"]);
    config.discovery = false;
    EXPECT_TRUE(DiscoveryEntities(config, "").empty());
}

}  // namespace
}  // namespace gpio_mqtt
