// gpio-modbus's configuration: every key, the defaults, the listen address,
// and each mistake refused at its own line. The [[port]] tables are read by
// the reader gpio-mqtt shares, whose mistakes its tests go through.
#include <gtest/gtest.h>

#include <string>

#include "modbus_config.h"

namespace gpio_modbus {
namespace {

TEST(ModbusConfig, ReadsEveryKeyAndFillsTheDefaults)
{
    const ConfigResult result = ParseConfig("serial_port = \"ttyUSB0\"\n"
                                            "listen = \"[::]:1502\"\n"
                                            "allow = [\"192.168.10.0/24\", \"::1\"]\n"
                                            "unit_id = 17\n"
                                            "max_clients = 4\n"
                                            "idle_timeout_ms = 2500\n"
                                            "max_poll_age_ms = 700\n"
                                            "check_interval_ms = 0\n"
                                            "[[port]]\nnumber = 0\ndirection = \"output\"\n"
                                            "[[port]]\nnumber = 2\ndirection = \"both\"\npoll_interval_ms = 250\n",
                                            "modbus.toml");
    ASSERT_TRUE(result.ok) << result.error;
    const Config &config = result.config;
    EXPECT_EQ("ttyUSB0", config.serialPort);
    EXPECT_EQ("::", config.server.host);
    EXPECT_EQ(1502, config.server.port);
    EXPECT_EQ(2U, config.server.allow.size());
    EXPECT_EQ(4, config.server.maxClients);
    EXPECT_EQ(2500, config.server.idleTimeout.count());
    const MapSettings map = config.Map();
    EXPECT_EQ(17, map.unitId);
    EXPECT_EQ(700, map.maxPollAge.count());
    EXPECT_EQ(0, map.checkInterval.count());
    ASSERT_EQ(2U, map.ports.size());
    EXPECT_TRUE(map.ports[0].writable && !map.ports[0].polled);
    EXPECT_TRUE(map.ports[1].writable && map.ports[1].polled);
    EXPECT_EQ("Port 2", config.ports[1].name);

    const ConfigResult defaults = ParseConfig("[[port]]\nnumber = 1\ndirection = \"input\"\n", "m.toml", "ttyS1");
    ASSERT_TRUE(defaults.ok) << defaults.error;
    EXPECT_EQ("ttyS1", defaults.config.serialPort);
    EXPECT_EQ("127.0.0.1", defaults.config.server.host);
    EXPECT_EQ(502, defaults.config.server.port);
    EXPECT_TRUE(defaults.config.server.allow.empty());
    EXPECT_EQ(16, defaults.config.server.maxClients);
    EXPECT_EQ(60000, defaults.config.server.idleTimeout.count());
    EXPECT_EQ(1, defaults.config.unitId);
    EXPECT_EQ(1000, defaults.config.maxPollAge.count());
    EXPECT_EQ(5000, defaults.config.checkInterval.count());
}

// The commented example is good as it stands.
TEST(ModbusConfig, ReadsTheExample)
{
    const ConfigResult example = LoadConfig(GPIO_MODBUS_EXAMPLE_CONFIG);
    ASSERT_TRUE(example.ok) << example.error;
    EXPECT_EQ("127.0.0.1", example.config.server.host);
    EXPECT_EQ(2U, example.config.ports.size());
}

TEST(ModbusConfig, ReadsListenAddresses)
{
    const struct {
        const char *text;
        const char *host;
        int port;
    } good[] = {{"127.0.0.1", "127.0.0.1", 502}, {"0.0.0.0:1502", "0.0.0.0", 1502}, {"[::1]", "::1", 502},
                {"[fe80::1]:65535", "fe80::1", 65535}};
    for (const auto &c : good) {
        std::string host;
        int port = 0;
        EXPECT_EQ("", ParseListen(c.text, host, port)) << c.text;
        EXPECT_EQ(c.host, host) << c.text;
        EXPECT_EQ(c.port, port) << c.text;
    }
    for (const char *bad : {"", "localhost:502", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:5o2",
                            "::1", "[::1", "[::1]502", "10.0.0.0/8"}) {
        std::string host = "kept";
        int port = 7;
        EXPECT_NE("", ParseListen(bad, host, port)) << bad;
        EXPECT_EQ("kept", host) << bad;
    }
}

TEST(ModbusConfig, RefusesEachMistakeAtItsLine)
{
    const std::string head = "serial_port = \"x\"\n";                      // line 1
    const std::string port = "[[port]]\nnumber = 1\ndirection = \"input\"\n";  // a table after the keys
    const struct {
        std::string text;
        const char *error;
    } cases[] = {
        {head + "unit = 3\n" + port, "c.toml:2: unknown key 'unit'; one of allow, check_interval_ms"},
        {head + "listen = \"localhost\"\n" + port, "c.toml:2: listen 'localhost' wants an IP address and a port"},
        {head + "listen = 502\n" + port, "c.toml:2: listen wants a string"},
        {head + "allow = \"10.0.0.0/8\"\n" + port, "c.toml:2: allow wants a list of addresses"},
        {head + "allow = [\"10.0.0.0/8\",\n \"10.0.0.0/33\"]\n" + port, "c.toml:3: allow: '10.0.0.0/33': the prefix"},
        {head + "allow = [\"plant\"]\n" + port, "c.toml:2: allow: 'plant' is not an IPv4 or IPv6 address"},
        {head + "allow = [1]\n" + port, "c.toml:2: allow wants a string"},
        {head + "unit_id = 0\n" + port, "c.toml:2: unit_id wants a whole number from 1 to 247"},
        {head + "unit_id = 255\n" + port, "c.toml:2: unit_id wants a whole number from 1 to 247"},
        {head + "max_clients = 0\n" + port, "c.toml:2: max_clients wants a whole number from 1 to 1024"},
        {head + "idle_timeout_ms = 10\n" + port, "c.toml:2: idle_timeout_ms wants a whole number from 100"},
        {head + "max_poll_age_ms = 5\n" + port, "c.toml:2: max_poll_age_ms wants a whole number from 10"},
        {head + "check_interval_ms = 50\n" + port, "c.toml:2: check_interval_ms wants 0 (no check) or 100"},
        {head + "max_poll_age_ms = 100\n" + port,
         "c.toml:2: max_poll_age_ms (100) must be longer than port 1's poll_interval_ms (100)"},
        {head + "[[port]]\nnumber = 1\ndirection = \"input\"\npoll_interval_ms = 1000\n",
         "c.toml:1: max_poll_age_ms (1000) must be longer than port 1's poll_interval_ms (1000)"},
        {head + port + "[[port]]\nnumber = 1\ndirection = \"output\"\n", "c.toml:6: port 1 is given twice"},
        {head + "[[port]]\nnumber = 1\ndirection = \"input\"\nstart = \"off\"\n", "c.toml:5: unknown key 'start' in [[port]]"},
        {head, "c.toml:1: no port given"},
        {port, "c.toml:1: no serial_port given"},
        {head + "serial_port = \"y\"\n", "c.toml:2: "},
    };
    for (const auto &c : cases) {
        const ConfigResult result = ParseConfig(c.text, "c.toml");
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_EQ(0U, result.error.rfind(c.error, 0)) << c.text << "\n  gives: " << result.error;
    }
    EXPECT_EQ("/nonexistent/m.toml: cannot read the configuration file", LoadConfig("/nonexistent/m.toml").error);
}

}  // namespace
}  // namespace gpio_modbus
