// gpio-modbus's server loop over real loopback TCP, with libmodbus's own
// client and raw sockets for what no client library sends, the
// controller's thread driving a fake controller.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "controller_thread.h"
#include "modbus_server.h"
#include "modbus_test_support.h"

namespace gpio_modbus {
namespace {

using namespace std::chrono_literals;

class ModbusServer : public ::testing::Test {
protected:
    void Start(ServerSettings settings)
    {
        settings.host = "127.0.0.1";
        settings.port = 0;
        MapSettings map;
        map.maxPollAge = 60s;  // the snapshot stays fresh for the whole test
        map.ports = {{0, true, false}, {1, false, true}, {5, true, false}};
        controller_.pins = {{0, 0x0F}, {1, 0xA5}, {5, 0x80}};
        for (const auto &[port, value] : controller_.pins) {
            state_.PortRead(port, value, Clock::now());
        }
        state_.SetOnline(true, "GL-IO 2.1");
        server_ = std::make_unique<Server>(
            settings, map, state_, [this](std::uint64_t ticket, WritePlan plan) { thread_.Submit(ticket, plan); },
            [this](Level, const std::string &event, const std::string &) {
                const std::lock_guard<std::mutex> lock(eventsMutex_);
                events_.push_back(event);
            });
        std::string problem;
        ASSERT_TRUE(server_->Listen(problem)) << problem;
        port_ = server_->BoundPort();
        thread_.Start([this](std::uint64_t ticket, int exception) { server_->Completed(ticket, exception); });
        loop_ = std::thread([this] { server_->Run(); });
    }

    void TearDown() override
    {
        controller_.OpenGate();
        thread_.Stop();
        if (server_) {
            server_->Stop();
            loop_.join();
        }
        for (modbus_t *client : clients_) {
            modbus_close(client);
            modbus_free(client);
        }
        for (const int fd : sockets_) {
            close(fd);
        }
    }

    // libmodbus's client, connected.
    modbus_t *Client(int unit = 1, std::chrono::milliseconds timeout = 3000ms)
    {
        modbus_t *client = modbus_new_tcp("127.0.0.1", port_);
        clients_.push_back(client);
        modbus_set_slave(client, unit);
        const auto ms = timeout.count();
        modbus_set_response_timeout(client, static_cast<std::uint32_t>(ms / 1000),
                                    static_cast<std::uint32_t>(ms % 1000) * 1000);
        EXPECT_EQ(0, modbus_connect(client)) << modbus_strerror(errno);
        return client;
    }

    int Raw()
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockets_.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
        return fd;
    }

    static void Send(int fd, const std::vector<std::uint8_t> &bytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }

    // What the server sent before closing the connection within `wait`;
    // nullopt when it is still open then.
    static std::optional<std::vector<std::uint8_t>> ClosedWithin(int fd, std::chrono::milliseconds wait)
    {
        std::vector<std::uint8_t> got;
        const auto end = Clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd entry{fd, POLLIN, 0};
            if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) != 1) {
                return std::nullopt;
            }
            std::uint8_t buffer[300];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return got;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
    }

    bool Saw(const std::string &event)
    {
        const std::lock_guard<std::mutex> lock(eventsMutex_);
        return std::count(events_.begin(), events_.end(), event) > 0;
    }

    SharedState state_;
    FakeController controller_{&state_};
    ControllerThread thread_{controller_, state_};
    std::unique_ptr<Server> server_;
    std::thread loop_;
    int port_ = 0;
    std::vector<modbus_t *> clients_;
    std::vector<int> sockets_;
    std::mutex eventsMutex_;
    std::vector<std::string> events_;
};

// Every function through libmodbus's client and back; a write answered
// only once read back, its client parked while another is served.
TEST_F(ModbusServer, ServesEachFunctionAndOtherClientsWhileAWriteWaits)
{
    Start({});
    modbus_t *reader = Client();
    std::uint8_t bits[8] = {};
    ASSERT_EQ(8, modbus_read_bits(reader, 0, 8, bits));
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 1, 1, 0, 0, 0, 0}), std::vector<std::uint8_t>(bits, bits + 8));
    ASSERT_EQ(8, modbus_read_input_bits(reader, 8, 8, bits));
    EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 1, 0, 0, 1, 0, 1}), std::vector<std::uint8_t>(bits, bits + 8));
    std::uint16_t registers[21] = {};
    ASSERT_EQ(1, modbus_read_registers(reader, 5, 1, registers));
    EXPECT_EQ(0x80, registers[0]);
    ASSERT_EQ(21, modbus_read_input_registers(reader, kBridgeBlock, 21, registers));
    EXPECT_EQ(1, registers[0]);
    EXPECT_EQ(0x0001, registers[1]);  // the fake's 0x12345 failed exchanges
    EXPECT_EQ(0x2345, registers[2]);
    EXPECT_EQ(0x474C, registers[kVersionRegister - kBridgeBlock]);

    ASSERT_EQ(1, modbus_write_bit(reader, 4, 1));
    ASSERT_EQ(1, modbus_read_registers(reader, 0, 1, registers));
    EXPECT_EQ(0x1F, registers[0]);
    const std::uint8_t coils[3] = {0, 1, 0};
    ASSERT_EQ(3, modbus_write_bits(reader, 1, 3, coils));
    ASSERT_EQ(1, modbus_read_registers(reader, 0, 1, registers));
    EXPECT_EQ(0x15, registers[0]);
    EXPECT_EQ(-1, modbus_write_register(reader, 0, 0x155));
    EXPECT_EQ(EMBXILVAL, errno);
    EXPECT_EQ(-1, modbus_read_registers(reader, 1, 1, registers));
    EXPECT_EQ(EMBXILADD, errno);

    // A write the controller holds: its client waits, the reader does not.
    controller_.CloseGate();
    modbus_t *writer = Client();
    std::atomic<int> written{0};
    std::thread write([&] { written = modbus_write_register(writer, 5, 0x42); });
    const auto deadline = Clock::now() + 3s;
    while (!controller_.Waiting() && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(controller_.Waiting());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(1, modbus_read_registers(reader, 5, 1, registers)) << modbus_strerror(errno);
    }
    EXPECT_EQ(0, written.load());
    controller_.OpenGate();
    write.join();
    EXPECT_EQ(1, written.load());
    ASSERT_EQ(1, modbus_read_registers(reader, 5, 1, registers));
    EXPECT_EQ(0x42, registers[0]);

    // The controller's error status, and no answer from it.
    controller_.writeResult = GPIO_RESULT_DEVICE_FF;
    EXPECT_EQ(-1, modbus_write_register(writer, 5, 1));
    EXPECT_EQ(EMBXSFAIL, errno);
    controller_.writeResult = GPIO_RESULT_TIMEOUT;
    EXPECT_EQ(-1, modbus_write_bit(writer, 40, 1));
    EXPECT_EQ(EMBXGTAR, errno);
    EXPECT_TRUE(Saw("write-failed"));

    // Another unit's request is left unanswered; the connection stays.
    modbus_t *stranger = Client(2, 300ms);
    EXPECT_EQ(-1, modbus_read_registers(stranger, 0, 1, registers));
    EXPECT_EQ(ETIMEDOUT, errno);
    modbus_set_slave(stranger, kUnitNotUsed);
    EXPECT_EQ(1, modbus_read_registers(stranger, 0, 1, registers)) << modbus_strerror(errno);
}

// A malformed or oversized request closes that client alone; a function
// libmodbus does not know is answered 0x01.
TEST_F(ModbusServer, ClosesTheClientOfAMalformedRequestAlone)
{
    Start({});
    modbus_t *client = Client();
    const int wrongProtocol = Raw();
    Send(wrongProtocol, {0, 1, 0, 7, 0, 6, 1, 3, 0, 0, 0, 1});
    const int oversized = Raw();
    Send(oversized, {0, 1, 0, 0, 0x01, 0x00, 1, 16, 0, 0, 0, 100, 200});
    const int shortLength = Raw();
    Send(shortLength, {0, 1, 0, 0, 0, 3, 1, 3, 0});  // a read whose length leaves out its quantity
    const int identification = Raw();
    Send(identification, {0, 9, 0, 0, 0, 5, 1, 0x2B, 0x0E, 0x01, 0x00});
    for (const int fd : {wrongProtocol, oversized, shortLength}) {
        const auto sent = ClosedWithin(fd, 3000ms);
        ASSERT_TRUE(sent.has_value()) << fd;
        EXPECT_TRUE(sent->empty());
    }
    std::uint8_t reply[9] = {};
    ASSERT_EQ(9, recv(identification, reply, sizeof(reply), MSG_WAITALL));
    EXPECT_EQ(0xAB, reply[7]);
    EXPECT_EQ(0x01, reply[8]);
    EXPECT_EQ(0x09, reply[1]);  // its transaction id
    EXPECT_FALSE(ClosedWithin(identification, 50ms).has_value());
    std::uint16_t value = 0;
    EXPECT_EQ(1, modbus_read_registers(client, 0, 1, &value)) << modbus_strerror(errno);
    EXPECT_TRUE(Saw("client-dropped"));
}

// A silent client and one that stalls in the middle of a request are
// dropped once idle and block nobody meanwhile; clients beyond max_clients
// and outside the allow list are closed at once.
TEST_F(ModbusServer, DropsIdleClientsAndKeepsTheLimits)
{
    ServerSettings settings;
    settings.idleTimeout = 1000ms;
    settings.maxClients = 3;
    Start(settings);
    modbus_t *busy = Client();
    const int silent = Raw();
    const int stalled = Raw();
    Send(stalled, {0, 1, 0, 0, 0, 6, 1});
    const int fourth = Raw();
    const auto refused = ClosedWithin(fourth, 3000ms);
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(Saw("client-refused"));

    // The busy client is served all along, past the others' idle time.
    const auto start = Clock::now();
    std::uint16_t value = 0;
    while (Clock::now() - start < 1500ms) {
        ASSERT_EQ(1, modbus_read_registers(busy, 0, 1, &value)) << modbus_strerror(errno);
        std::this_thread::sleep_for(50ms);
    }
    for (const int fd : {silent, stalled}) {
        const auto closed = ClosedWithin(fd, 3000ms);
        ASSERT_TRUE(closed.has_value()) << fd;
        EXPECT_TRUE(closed->empty());
    }
    // Room again below max_clients.
    modbus_t *another = Client();
    EXPECT_EQ(1, modbus_read_registers(another, 0, 1, &value)) << modbus_strerror(errno);

    // An allow list without this address closes the clients it had.
    ServerSettings narrowed = settings;
    AddressRange plant;
    ASSERT_EQ("", ParseAddressRange("10.0.0.0/8", plant));
    narrowed.allow = {plant};
    MapSettings map;
    map.maxPollAge = 60s;
    map.ports = {{0, true, false}};
    server_->Reconfigure(narrowed, map);
    const int outsider = Raw();
    EXPECT_TRUE(ClosedWithin(outsider, 3000ms).has_value());
    EXPECT_EQ(-1, modbus_read_registers(busy, 0, 1, &value));
}

TEST(ModbusAllowList, MatchesAddressesAndNetworks)
{
    const auto peer = [](const char *text) {
        sockaddr_storage storage{};
        if (std::string(text).find(':') == std::string::npos) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
            v4->sin_family = AF_INET;
            inet_pton(AF_INET, text, &v4->sin_addr);
        } else {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            v6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, text, &v6->sin6_addr);
        }
        return storage;
    };
    const struct {
        const char *range;
        const char *peer;
        bool in;
    } cases[] = {
        {"192.168.10.0/24", "192.168.10.77", true},  {"192.168.10.0/24", "192.168.11.1", false},
        {"192.168.10.0/24", "::ffff:192.168.10.9", true}, {"10.1.2.3", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.4", false},              {"0.0.0.0/0", "203.0.113.5", true},
        {"fd00::/8", "fd12::1", true},                {"fd00::/8", "fe80::1", false},
        {"::1", "127.0.0.1", false},                  {"10.0.0.0/7", "11.255.0.1", true},
    };
    for (const auto &c : cases) {
        AddressRange range;
        ASSERT_EQ("", ParseAddressRange(c.range, range)) << c.range;
        EXPECT_EQ(c.in, Contains(range, peer(c.peer))) << c.range << " " << c.peer;
    }
}

}  // namespace
}  // namespace gpio_modbus
