// gpio-mqtt's configuration: every key read, the defaults, the credentials
// file beside it, and each mistake refused at its own line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bridge_config.h"

namespace gpio_mqtt {
namespace {

// A new folder of this process for a test's files.
std::filesystem::path Scratch(const std::string &name)
{
    std::filesystem::path folder = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    return folder;
}

const char kMinimal[] = "broker = \"mqtt://localhost\"\nserial_port = \"/dev/serial/by-id/usb-x\"\n"
                        "[[port]]\nnumber = 1\ndirection = \"input\"\n";

TEST(BridgeConfig, ReadsEveryKeyAndTheCredentialsBesideIt)
{
    const std::filesystem::path folder = Scratch("gpio-mqtt-config-test");
    std::ofstream(folder / "secret.toml") << "username = \"bridge\"\npassword = \"p4ss\"\n";
    std::filesystem::permissions(folder / "secret.toml", std::filesystem::perms::owner_read);
    std::ofstream(folder / "ca.pem") << "a CA\n";
    const ConfigResult result = ParseConfig("broker = \"mqtts://[::1]:8884\"\n"
                                            "credentials = \"secret.toml\"\n"
                                            "ca_file = \"ca.pem\"\n"
                                            "prefix = \"plant/hall\"\n"
                                            "id = \"bench-1\"\n"
                                            "serial_port = \"ttyUSB0\"\n"
                                            "max_command_age = 2.5\n"
                                            "reply_prefix = \"plant/replies/\"\n"
                                            "check_interval_ms = 0\n"
                                            "online_lifetime = 9\n"
                                            "discovery = false\n"
                                            "discovery_prefix = \"ha\"\n"
                                            "[[port]]\nnumber = 0\ndirection = \"output\"\nname = \"Relays\"\n"
                                            "[[port]]\nnumber = 2\ndirection = \"both\"\npoll_interval_ms = 250\n",
                                            (folder / "mqtt.toml").string());
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(result.ok) << result.error;
    const Config &config = result.config;
    EXPECT_TRUE(config.broker.tls);
    EXPECT_EQ("::1", config.broker.host);
    EXPECT_EQ(8884, config.broker.port);
    EXPECT_EQ("bridge", config.username);
    EXPECT_EQ("p4ss", config.password);
    EXPECT_EQ((folder / "ca.pem").string(), config.caFile);
    EXPECT_EQ("plant/hall/bench-1", config.Base());
    EXPECT_EQ("ttyUSB0", config.serialPort);
    EXPECT_EQ(2500, config.maxCommandAge.count());
    EXPECT_EQ("plant/replies/", config.replyPrefix);
    EXPECT_EQ(0, config.checkInterval.count());
    EXPECT_EQ(9, config.onlineLifetime.count());
    EXPECT_FALSE(config.discovery);
    EXPECT_EQ("ha", config.discoveryPrefix);
    ASSERT_EQ(2U, config.ports.size());
    EXPECT_EQ("Relays", config.ports[0].name);
    EXPECT_FALSE(config.ports[0].Polled());
    EXPECT_TRUE(config.ports[1].Polled() && config.ports[1].Writable());
    EXPECT_EQ(250, config.ports[1].pollInterval.count());
    EXPECT_EQ("Port 2", config.Port(2)->name);
    EXPECT_EQ(nullptr, config.Port(1));
}

// A service of systemd's gets its secrets in CREDENTIALS_DIRECTORY: a
// relative credentials path is taken from there, an absolute one as it is.
TEST(BridgeConfig, TakesTheCredentialsFromSystemdsFolder)
{
    const std::filesystem::path folder = Scratch("gpio-mqtt-service-credentials-test");
    std::filesystem::create_directories(folder / "service");
    std::ofstream(folder / "service" / "mqtt.credentials") << "username = \"service\"\n";
    std::ofstream(folder / "mqtt.credentials") << "username = \"beside\"\n";
    // Readable by the service only: a credentials file others may read is refused.
    for (const auto &file : {folder / "service" / "mqtt.credentials", folder / "mqtt.credentials"}) {
        std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    const std::string head = "broker = \"mqtt://h\"\nserial_port = \"x\"\n[[port]]\nnumber = 1\ndirection = \"input\"\n";
    const std::string config = (folder / "mqtt.toml").string();
    const ConfigResult beside = ParseConfig("credentials = \"mqtt.credentials\"\n" + head, config);
    setenv("CREDENTIALS_DIRECTORY", (folder / "service").c_str(), 1);
    const ConfigResult relative = ParseConfig("credentials = \"mqtt.credentials\"\n" + head, config);
    const ConfigResult absolute =
        ParseConfig("credentials = \"" + (folder / "mqtt.credentials").string() + "\"\n" + head, config);
    unsetenv("CREDENTIALS_DIRECTORY");
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(beside.ok && relative.ok && absolute.ok) << beside.error << relative.error << absolute.error;
    EXPECT_EQ("beside", beside.config.username);
    EXPECT_EQ("service", relative.config.username);
    EXPECT_EQ("beside", absolute.config.username);
}

TEST(BridgeConfig, FillsTheDefaults)
{
    const ConfigResult result = ParseConfig(kMinimal, "mqtt.toml");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(result.config.broker.tls);
    EXPECT_EQ(1883, result.config.broker.port);
    EXPECT_EQ("gpiolink/serial_by-id_usb-x", result.config.Base());
    EXPECT_EQ(5000, result.config.maxCommandAge.count());
    EXPECT_EQ("replies/", result.config.replyPrefix);
    EXPECT_EQ(5000, result.config.checkInterval.count());
    EXPECT_EQ(60, result.config.onlineLifetime.count());
    EXPECT_TRUE(result.config.discovery);
    EXPECT_EQ("homeassistant", result.config.discoveryPrefix);
    EXPECT_EQ(100, result.config.ports[0].pollInterval.count());
    EXPECT_TRUE(result.config.username.empty());
}

TEST(BridgeConfig, RefusesEachMistakeAtItsLine)
{
    const std::string head = "broker = \"mqtt://h\"\nserial_port = \"x\"\n";  // lines 1 and 2
    const std::string port = "[[port]]\nnumber = 1\ndirection = \"input\"\n";
    const std::string output = "[[port]]\nnumber = 0\ndirection = \"output\"\n";  // lines 3 to 5
    const std::string input = "[[port]]\nnumber = 0\ndirection = \"input\"\n";
    const struct {
        std::string text;
        const char *error;
    } cases[] = {
        {head + "[[port]]\nnumber = 1\ndirection = \"input\"\nnumbr = 2\n", "c.toml:6: unknown key 'numbr' in [[port]]"},
        {head + port + "[[port]]\nnumber = 1\ndirection = \"output\"\n", "c.toml:7: port 1 is given twice"},
        {head + "[[port]]\nnumber = 256\ndirection = \"input\"\n", "c.toml:4: number wants a whole number from 0 to 255"},
        {head + "[[port]]\nnumber = \"1\"\ndirection = \"input\"\n", "c.toml:4: number wants a whole number"},
        {head + "[[port]]\ndirection = \"input\"\n", "c.toml:3: [[port]] needs number"},
        {head + "[[port]]\nnumber = 0\ndirection = \"output\"\npoll_interval_ms = 50\n",
         "c.toml:6: poll_interval_ms is for input and both-way ports"},
        {head + "[[port]]\nnumber = 0\ndirection = \"input\"\npoll_interval_ms = 5\n",
         "c.toml:6: poll_interval_ms wants a whole number from 10 to 60000"},
        {head + "port = 3\n", "c.toml:3: port wants tables"},
        {head + "id = \"a/b\"\n" + port, "c.toml:3: id 'a/b' cannot be part of a topic"},
        {head + "id = \"a b\"\n" + port, "c.toml:3: id 'a b' cannot be part of a topic"},
        {head + "prefix = \"a//b\"\n" + port, "c.toml:3: prefix 'a//b' cannot be part of a topic"},
        {head + "prefix = \"/a\"\n" + port, "c.toml:3: prefix '/a' cannot be part of a topic"},
        {head + "max_command_age = 0\n" + port, "c.toml:3: max_command_age wants seconds from 0.1 to 3600"},
        {head + "discovery = \"yes\"\n" + port, "c.toml:3: discovery wants true or false"},
        {head + "reply_prefix = \"replies/#\"\n" + port, "c.toml:3: reply_prefix 'replies/#' cannot be part"},
        {head + "reply_prefix = \"/\"\n" + port, "c.toml:3: reply_prefix '' cannot be part of a topic"},
        {head + "check_interval_ms = 50\n" + port, "c.toml:3: check_interval_ms wants 0 (no check) or 100"},
        {head + "online_lifetime = 2\n" + port, "c.toml:3: online_lifetime wants a whole number from 3"},
        {head + "ca_file = \"/ca.pem\"\n" + port, "c.toml:3: ca_file is for a broker reached over TLS"},
        {head + "credentials = \"/nonexistent/secret\"\n" + port,
         "c.toml:3: cannot read the credentials file /nonexistent/secret"},
        {"broker = \"mqtts://h\"\nserial_port = \"x\"\nca_file = \"/nonexistent/ca.pem\"\n" + port,
         "c.toml:3: cannot read the ca_file /nonexistent/ca.pem"},
        {head, "c.toml:1: no port given"},
        {"serial_port = \"x\"\n" + port, "c.toml:1: no broker given"},
        {"broker = \"mqtt://h\"\n" + port, "c.toml:1: no serial_port given"},
        {"broker = \"mqtt://h\"\nserial_port = \n", "c.toml:2: "},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"Pump\"\n[[port.bit]]\nbit = 2\nname = \"pump\"\n",
         "c.toml:1: the signals 'Pump' and 'pump' both make the topic signal/pump"},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"A\"\n[[port.bit]]\nbit = 1\nname = \"B\"\n",
         "c.toml:9: bit 1 of port 0 is given twice"},
        {head + output + "[[port.bit]]\nbit = 8\nname = \"A\"\n", "c.toml:7: bit wants a whole number from 0 to 7"},
        {head + output + "[[port.bit]]\nbit = 1\n", "c.toml:6: [[port.bit]] needs name"},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"--\"\n", "c.toml:6: name '--' has no letter or digit"},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"A\"\npulse_ms = 5\n", "c.toml:9: pulse_ms wants"},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"A\"\npulse_ms = 50\nstart = \"on\"\n",
         "c.toml:10: a pulse output always starts off"},
        {head + input + "[[port.bit]]\nbit = 1\nname = \"A\"\npulse_ms = 50\n",
         "c.toml:9: pulse_ms is for the bits of output and both-way ports"},
        {head + input + "start = \"off\"\n", "c.toml:6: start is for output and both-way ports"},
        {head + output + "start = \"later\"\n", "c.toml:6: start wants \"keep\", \"off\", \"on\" or \"restore\""},
        {head + output + "[[port.bit]]\nbit = 1\nname = \"A\"\ndevice_class = \"Door\"\n",
         "c.toml:9: device_class wants Home Assistant's word"},
        {head + "name = \"a\\u001bb\"\n" + output, "c.toml:3: name wants 1 to 64 characters, no control"},
    };
    for (const auto &c : cases) {
        const ConfigResult result = ParseConfig(c.text, "c.toml");
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_EQ(0U, result.error.rfind(c.error, 0)) << c.text << "\n  gives: " << result.error;
    }
}

// The password is the service's alone: a credentials file that every user
// may read or change is refused, one its group may read is taken.
TEST(BridgeConfig, TakesCredentialsOnlyFromAFileOthersCannotRead)
{
    namespace fs = std::filesystem;
    const fs::path folder = Scratch("gpio-mqtt-credentials-test");
    const fs::path secret = folder / "secret.toml";
    std::ofstream(secret) << "username = \"bridge\"\npassword = \"p4ss\"\n";
    const std::string text = "broker = \"mqtt://h\"\nserial_port = \"x\"\ncredentials = \"" + secret.string() +
                             "\"\n[[port]]\nnumber = 1\ndirection = \"input\"\n";
    const struct {
        const char *error;  // "" when taken
        fs::perms perms;
    } cases[] = {
        {"", fs::perms::owner_read | fs::perms::owner_write},
        {"", fs::perms::owner_read | fs::perms::group_read},
        {"(mode 0404): make it readable by the service only", fs::perms::owner_read | fs::perms::others_read},
        {"(mode 0402)", fs::perms::owner_read | fs::perms::others_write},
    };
    for (const auto &c : cases) {
        fs::permissions(secret, c.perms);
        const ConfigResult result = ParseConfig(text, "c.toml");
        if (*c.error == '\0') {
            EXPECT_TRUE(result.ok) << result.error;
            EXPECT_EQ("p4ss", result.config.password);
        } else {
            EXPECT_FALSE(result.ok);
            EXPECT_NE(std::string::npos, result.error.find(c.error)) << result.error;
            EXPECT_EQ(0U, result.error.rfind("c.toml:3: the credentials file ", 0)) << result.error;
        }
    }
    fs::remove_all(folder);
}

TEST(BridgeConfig, ReadsBrokerAddresses)
{
    const struct {
        const char *url;
        const char *host;
        int port;
        bool tls;
    } good[] = {{"mqtt://broker", "broker", 1883, false},
                {"mqtts://broker.example/", "broker.example", 8883, true},
                {"mqtt://127.0.0.1:1884", "127.0.0.1", 1884, false},
                {"mqtt://[fe80::1]", "fe80::1", 1883, false},
                {"mqtts://[::1]:65535", "::1", 65535, true}};
    for (const auto &c : good) {
        BrokerAddress address;
        EXPECT_EQ("", ParseBrokerUrl(c.url, address)) << c.url;
        EXPECT_EQ((BrokerAddress{c.tls, c.host, c.port}), address) << c.url;
        // Written back as a URL, it reads as the same address.
        BrokerAddress again;
        EXPECT_EQ("", ParseBrokerUrl(BrokerUrl(address), again)) << BrokerUrl(address);
        EXPECT_EQ(address, again) << BrokerUrl(address);
    }
    for (const char *bad : {"broker:1883", "tcp://h", "mqtt://", "mqtt://h:", "mqtt://h:0", "mqtt://h:65536",
                            "mqtt://h:1x", "mqtt://user@h", "mqtt://h/path", "mqtt://[::1", "mqtt://[::1]x"}) {
        BrokerAddress address;
        EXPECT_NE("", ParseBrokerUrl(bad, address)) << bad;
    }
}

// --port: the port of the command line stands for serial_port, and the id
// is made of it unless the file gives one.
TEST(BridgeConfig, TakesThePortOfTheCommandLine)
{
    const std::string port = "[[port]]\nnumber = 1\ndirection = \"input\"\n";
    ConfigResult result = ParseConfig("broker = \"mqtt://h\"\nserial_port = \"/dev/ttyUSB0\"\n" + port, "c.toml", "ttyACM1");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ("ttyACM1", result.config.serialPort);
    EXPECT_EQ("gpiolink/ttyACM1", result.config.Base());

    result = ParseConfig("broker = \"mqtt://h\"\nid = \"press\"\n" + port, "c.toml", "/dev/serial/by-id/usb-x");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ("/dev/serial/by-id/usb-x", result.config.serialPort);
    EXPECT_EQ("gpiolink/press", result.config.Base());

    result = ParseConfig("broker = \"mqtt://h\"\n" + port, "c.toml");
    EXPECT_EQ("c.toml:1: no serial_port given (serial_port = \"ttyUSB0\", or --port)", result.error);
}

TEST(BridgeConfig, ReadsSignalsWithTheirRules)
{
    const ConfigResult result = ParseConfig("broker = \"mqtt://h\"\nserial_port = \"x\"\nname = \"Boiler room\"\n"
                                            "[[port]]\nnumber = 0\ndirection = \"output\"\nstart = \"on\"\n"
                                            "[[port.bit]]\nbit = 5\nname = \"Horn\"\npulse_ms = 500\n"
                                            "[[port.bit]]\nbit = 0\nname = \"Pump 1 (north)\"\ninverted = true\n"
                                            "[[port.bit]]\nbit = 1\nname = \"Valve\"\nstart = \"restore\"\n"
                                            "[[port]]\nnumber = 1\ndirection = \"input\"\n"
                                            "[[port.bit]]\nbit = 2\nname = \"Door closed\"\ndevice_class = \"door\"\n",
                                            "c.toml");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ("Boiler room", result.config.name);
    const std::vector<SignalConfig> &outputs = result.config.ports[0].signals;
    ASSERT_EQ(3U, outputs.size());
    EXPECT_EQ("pump-1-north", outputs[0].slug);
    EXPECT_TRUE(outputs[0].inverted);
    EXPECT_EQ(StartRule::kOn, outputs[0].start) << "the port's rule";
    EXPECT_EQ(StartRule::kRestore, outputs[1].start) << "the bit's own rule";
    EXPECT_EQ(500, outputs[2].pulse.count());
    EXPECT_EQ(StartRule::kOff, outputs[2].start) << "a pulse rests off";
    EXPECT_EQ("door", result.config.ports[1].signals[0].deviceClass);
    // Inversion: the signal's level and the bit that gives it.
    EXPECT_TRUE(outputs[0].On(0x00));
    EXPECT_FALSE(outputs[0].On(0x01));
    EXPECT_FALSE(outputs[0].BitFor(true));
    EXPECT_TRUE(outputs[1].On(0x02));
    EXPECT_EQ("pump-1-north", Slug("  Pump 1 (north) "));
    EXPECT_EQ("", Slug("--"));
}

TEST(BridgeConfig, MakesAnIdOfThePortName)
{
    EXPECT_EQ("ttyUSB0", DefaultId("ttyUSB0"));
    EXPECT_EQ("ttyUSB0", DefaultId("/dev/ttyUSB0"));
    EXPECT_EQ("pts_3", DefaultId("pts/3"));
    EXPECT_EQ("_tmp_a_b_c_d", DefaultId("/tmp/a+b#c d"));
}

}  // namespace
}  // namespace gpio_mqtt
