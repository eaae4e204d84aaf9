// The Modbus TCP side: one thread that listens, accepts and serves every
// client with libmodbus, in one epoll loop over the listening socket, the
// clients and a wake-up eventfd.
//
// Reads are answered at once from a copy of the shared state. A write is
// handed to the controller's thread and its client is parked (not read
// further) until the result comes back through Completed(), which wakes
// the loop; every other client keeps being served meanwhile.
//
// Limits: clients from outside the allow list are closed at accept, and so
// is every client beyond max_clients; a client that sends no whole request
// for idle_timeout is dropped (a parked one waits for its reply instead);
// a malformed or oversized request closes that client alone.
#ifndef GPIO_MODBUS_MODBUS_SERVER_H
#define GPIO_MODBUS_MODBUS_SERVER_H

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <modbus/modbus.h>

#include "controller_thread.h"
#include "modbus_map.h"

namespace gpio_modbus {

// A client address or a network: 192.168.1.0/24, 10.1.2.3, fd00::/8, ::1.
struct AddressRange {
    int family = AF_INET;
    std::array<std::uint8_t, 16> bytes{};
    int prefix = 32;
};

// Reads "ADDRESS" or "ADDRESS/PREFIX"; "" and fills `range`, or says what
// is wrong.
std::string ParseAddressRange(const std::string &text, AddressRange &range);

// Whether the peer's address lies in the range; an IPv4 client that a
// dual-stack socket shows as ::ffff:a.b.c.d counts as a.b.c.d.
bool Contains(const AddressRange &range, const sockaddr_storage &peer);

struct ServerSettings {
    std::string host = "127.0.0.1";
    int port = 502;                        // 0: any free port (tests)
    std::vector<AddressRange> allow;       // empty: every client that reaches the address
    int maxClients = 16;
    std::chrono::milliseconds idleTimeout{60000};
};

enum class Level { kInfo, kWarning, kError };

class Server {
public:
    // What the server tells its program: a level, an event name and a line.
    using Note = std::function<void(Level, const std::string &event, const std::string &message)>;
    // Hands a write to the controller's thread.
    using Submit = std::function<void(std::uint64_t ticket, WritePlan plan)>;

    Server(ServerSettings settings, MapSettings map, SharedState &state, Submit submit, Note note);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds and listens; false with `problem` said when it cannot.
    bool Listen(std::string &problem);
    // The port listened on (the one chosen, for port 0).
    int BoundPort() const;

    // Serves until Stop(): true; false if the loop failed (said as
    // "loop-failed").
    bool Run();

    // From any thread.
    void Stop();
    void Completed(std::uint64_t ticket, int exception);
    // The limits, the allow list and the map, taken by the loop between two
    // requests; clients no longer allowed are closed.
    void Reconfigure(ServerSettings settings, MapSettings map);

private:
    struct Client {
        int fd = -1;
        std::string peer;
        Clock::time_point heard{};  // the last whole request, or the connect
        bool parked = false;
        std::uint64_t ticket = 0;
        std::vector<std::uint8_t> request;  // the parked write's ADU
        Answer pending;
    };
    enum class Frame { kNone, kPartial, kComplete, kClosed, kBad };

    void Accept(Clock::time_point now);
    bool Allowed(const sockaddr_storage &peer) const;
    Frame Buffered(int fd, std::size_t &length) const;
    // Serves the client's whole requests until none is left or it parks.
    void Serve(Client &client, bool closing, Clock::time_point now);
    void Finish(std::uint64_t ticket, int exception, Clock::time_point now);
    void Drop(int fd, Level level, const std::string &event, const std::string &why);
    void DropIdle(Clock::time_point now);
    int WaitMs(Clock::time_point now) const;
    void WakeLoop();
    void TakeWakeUps(Clock::time_point now);

    ServerSettings settings_;
    RequestHandler handler_;
    SharedState &state_;
    Submit submit_;
    Note note_;

    modbus_t *context_ = nullptr;
    int listen_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    std::map<int, Client> clients_;
    std::map<std::uint64_t, int> parked_;  // ticket to client
    std::uint64_t nextTicket_ = 1;

    std::mutex mutex_;  // guards what other threads hand over
    bool stop_ = false;
    std::vector<std::pair<std::uint64_t, int>> done_;
    std::optional<std::pair<ServerSettings, MapSettings>> reconfigure_;
};

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_MODBUS_SERVER_H
