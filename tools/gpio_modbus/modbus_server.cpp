#include "modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "number.h"

namespace gpio_modbus {
namespace {

// How long libmodbus may wait for the rest of a request it reads. The loop
// calls modbus_receive only once the whole request, as its MBAP length
// says, is in the socket's buffer (Buffered), so libmodbus finds every byte
// at once; only a request whose length field is shorter than its function
// needs leaves libmodbus waiting, and then for this long at most, after
// which that client is closed. A client that sends part of a request and
// stalls is never read, so it costs the others nothing; it is dropped once
// idle. (modbus_receive on its own would wait for a stalled frame's next
// byte for the byte time-out each time: a byte dribbled in every so often
// would hold the whole loop.)
constexpr std::uint32_t kByteTimeoutUs = 20000;

// The MBAP header: transaction id, protocol id, length.
constexpr std::size_t kMbapLength = 6;

std::string PeerText(const sockaddr_storage &peer)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&peer);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof(text));
        return std::string(text) + ":" + std::to_string(ntohs(v6->sin6_port));
    }
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
}

std::string HexByte(int value)
{
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

}  // namespace

std::string ParseAddressRange(const std::string &text, AddressRange &range)
{
    AddressRange parsed;
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), parsed.bytes.data()) == 1) {
        parsed.family = AF_INET;
        parsed.prefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), parsed.bytes.data()) == 1) {
        parsed.family = AF_INET6;
        parsed.prefix = 128;
    } else {
        return "'" + text + "' is not an IPv4 or IPv6 address, or such an address/prefix";
    }
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        const gpio_tools::ParsedUnsigned prefix = gpio_tools::ParseUnsigned(digits, 0, parsed.prefix);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || !prefix) {
            return "'" + text + "': the prefix wants 0 to " + std::to_string(parsed.prefix);
        }
        parsed.prefix = static_cast<int>(prefix.value);
    }
    range = parsed;
    return {};
}

bool Contains(const AddressRange &range, const sockaddr_storage &peer)
{
    const std::uint8_t *bytes = nullptr;
    int family = peer.ss_family;
    if (family == AF_INET) {
        bytes = reinterpret_cast<const std::uint8_t *>(&reinterpret_cast<const sockaddr_in *>(&peer)->sin_addr);
    } else if (family == AF_INET6) {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_addr;
        bytes = v6.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            family = AF_INET;
            bytes += 12;
        }
    }
    if (bytes == nullptr || family != range.family) {
        return false;
    }
    for (int bit = 0; bit < range.prefix; ++bit) {
        const int shift = 7 - bit % 8;
        if (((bytes[bit / 8] >> shift) & 1) != ((range.bytes[static_cast<std::size_t>(bit / 8)] >> shift) & 1)) {
            return false;
        }
    }
    return true;
}

Server::Server(ServerSettings settings, MapSettings map, SharedState &state, Submit submit, Note note)
    : settings_(std::move(settings)), handler_(std::move(map)), state_(state), submit_(std::move(submit)),
      note_(std::move(note))
{
}

Server::~Server()
{
    for (const auto &[fd, client] : clients_) {
        close(fd);
    }
    for (const int fd : {listen_, epoll_, wake_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (context_ != nullptr) {
        modbus_free(context_);
    }
}

bool Server::Listen(std::string &problem)
{
    const std::string where = settings_.host + " port " + std::to_string(settings_.port);
    const std::string service = std::to_string(settings_.port);
    context_ = modbus_new_tcp_pi(settings_.host.c_str(), service.c_str());
    if (context_ == nullptr) {
        problem = "cannot listen on " + where + ": " + modbus_strerror(errno);
        return false;
    }
    modbus_set_byte_timeout(context_, 0, kByteTimeoutUs);
    // Zero would have modbus_receive wait for a request forever.
    modbus_set_indication_timeout(context_, 0, kByteTimeoutUs);
    listen_ = modbus_tcp_pi_listen(context_, 64);
    if (listen_ < 0) {
        problem = "cannot listen on " + where + ": " + modbus_strerror(errno);
        return false;
    }
    fcntl(listen_, F_SETFL, fcntl(listen_, F_GETFL) | O_NONBLOCK);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0) {
        problem = std::string("cannot set up the loop: ") + std::strerror(errno);
        return false;
    }
    for (const int fd : {listen_, wake_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    return true;
}

int Server::BoundPort() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (listen_ < 0 || getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return -1;
    }
    return address.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port)
                                         : ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
}

// One more for the eventfd that the loop waits on; a count already there
// (the write could only fail at its maximum) wakes the loop as well.
void Server::WakeLoop()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof(one));
}

void Server::Stop()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    WakeLoop();
}

void Server::Completed(std::uint64_t ticket, int exception)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    done_.emplace_back(ticket, exception);
    WakeLoop();
}

void Server::Reconfigure(ServerSettings settings, MapSettings map)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    reconfigure_.emplace(std::move(settings), std::move(map));
    WakeLoop();
}

bool Server::Allowed(const sockaddr_storage &peer) const
{
    return settings_.allow.empty() || std::any_of(settings_.allow.begin(), settings_.allow.end(),
                                                  [&peer](const AddressRange &range) { return Contains(range, peer); });
}

void Server::Accept(Clock::time_point now)
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        // Non-blocking: a reply to a client that stopped reading fails
        // (and closes that client) instead of holding the loop.
        const int fd = accept4(listen_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const std::string who = PeerText(peer);
        // Said before the close, as every drop is: whoever sees the
        // connection closed finds it said.
        if (!Allowed(peer)) {
            note_(Level::kWarning, "client-refused", "refused " + who + ": not in the allow list");
            close(fd);
            continue;
        }
        if (static_cast<int>(clients_.size()) >= settings_.maxClients) {
            note_(Level::kWarning, "client-refused",
                  "refused " + who + ": " + std::to_string(settings_.maxClients) + " clients already (max_clients)");
            close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // Edge-triggered: a client whose partial request sits in its buffer
        // wakes the loop again only when more arrives.
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        event.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
        Client &client = clients_[fd];
        client.fd = fd;
        client.peer = who;
        client.heard = now;
        note_(Level::kInfo, "client-connected", who + " connected");
        // Bytes may have come with the connection, before the edge was armed.
        Serve(client, false, now);
    }
}

Server::Frame Server::Buffered(int fd, std::size_t &length) const
{
    std::uint8_t header[kMbapLength];
    const ssize_t got = recv(fd, header, sizeof(header), MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) {
        return Frame::kClosed;
    }
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Frame::kNone : Frame::kClosed;
    }
    if (static_cast<std::size_t>(got) < kMbapLength) {
        return Frame::kPartial;
    }
    const unsigned protocol = (header[2] << 8) | header[3];
    length = kMbapLength + ((header[4] << 8) | header[5]);
    // A unit id and a function code at least, and no more than an ADU holds.
    if (protocol != 0 || length < kMbapLength + 2 || length > MODBUS_TCP_MAX_ADU_LENGTH) {
        return Frame::kBad;
    }
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0) {
        return Frame::kClosed;
    }
    return static_cast<std::size_t>(available) >= length ? Frame::kComplete : Frame::kPartial;
}

void Server::Serve(Client &client, bool closing, Clock::time_point now)
{
    const int fd = client.fd;
    while (!client.parked) {
        std::size_t length = 0;
        switch (Buffered(fd, length)) {
        case Frame::kNone:
            if (closing) {
                Drop(fd, Level::kInfo, "client-disconnected", "closed the connection");
            }
            return;
        case Frame::kPartial:
            if (closing) {
                Drop(fd, Level::kWarning, "client-dropped", "closed the connection in the middle of a request");
            }
            return;
        case Frame::kClosed:
            Drop(fd, Level::kInfo, "client-disconnected", "closed the connection");
            return;
        case Frame::kBad:
            Drop(fd, Level::kWarning, "client-dropped", "sent a malformed request (MBAP header): closed");
            return;
        case Frame::kComplete:
            break;
        }
        std::uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
        modbus_set_socket(context_, fd);
        int received = modbus_receive(context_, adu);
        if (received > static_cast<int>(kHeaderLength) && static_cast<std::size_t>(received) < length &&
            !Served(adu[kHeaderLength])) {
            // A function libmodbus does not know the fields of: the MBAP
            // length delimits it, and it is answered 0x01.
            std::uint8_t rest[MODBUS_TCP_MAX_ADU_LENGTH];
            const std::size_t left = length - static_cast<std::size_t>(received);
            if (recv(fd, rest, left, MSG_DONTWAIT) == static_cast<ssize_t>(left)) {
                received = static_cast<int>(length);
            }
        }
        if (received < 0 || static_cast<std::size_t>(received) != length) {
            const std::string why = received < 0 ? modbus_strerror(errno) : "its length field does not fit its function";
            Drop(fd, Level::kWarning, "client-dropped", "sent a malformed request (" + why + "): closed");
            return;
        }
        client.heard = now;
        const Answer answer = handler_.Decide(adu, length, state_.Copy(), now);
        if (answer.kind == Answer::Kind::kWrite) {
            client.parked = true;
            client.ticket = nextTicket_++;
            client.request.assign(adu, adu + length);
            client.pending = answer;
            parked_[client.ticket] = fd;
            submit_(client.ticket, answer.plan);
            return;
        }
        if (SendAnswer(context_, adu, received, answer) < 0) {
            Drop(fd, Level::kWarning, "client-dropped", "cannot be answered (" + std::string(modbus_strerror(errno)) +
                                                            "): closed");
            return;
        }
    }
}

void Server::Finish(std::uint64_t ticket, int exception, Clock::time_point now)
{
    const auto parked = parked_.find(ticket);
    if (parked == parked_.end()) {
        return;  // its client left meanwhile; the write was carried out all the same
    }
    Client &client = clients_.at(parked->second);
    parked_.erase(parked);
    client.parked = false;
    client.heard = now;
    Answer answer = client.pending;
    if (exception != 0) {
        note_(Level::kWarning, "write-failed",
              "function " + std::to_string(answer.function) + " at address " + std::to_string(answer.address) +
                  " from " + client.peer + ": answered exception " + HexByte(exception));
        answer.kind = Answer::Kind::kException;
        answer.exception = exception;
    }
    modbus_set_socket(context_, client.fd);
    if (SendAnswer(context_, client.request.data(), static_cast<int>(client.request.size()), answer) < 0) {
        Drop(client.fd, Level::kWarning, "client-dropped",
             "cannot be answered (" + std::string(modbus_strerror(errno)) + "): closed");
        return;
    }
    Serve(client, false, now);
}

void Server::Drop(int fd, Level level, const std::string &event, const std::string &why)
{
    const auto found = clients_.find(fd);
    if (found == clients_.end()) {
        return;
    }
    if (found->second.parked) {
        parked_.erase(found->second.ticket);
    }
    note_(level, event, found->second.peer + " " + why);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    clients_.erase(found);
}

void Server::DropIdle(Clock::time_point now)
{
    std::vector<int> idle;
    for (const auto &[fd, client] : clients_) {
        if (!client.parked && now - client.heard >= settings_.idleTimeout) {
            idle.push_back(fd);
        }
    }
    for (const int fd : idle) {
        Drop(fd, Level::kInfo, "client-dropped",
             "sent no request for " + std::to_string(settings_.idleTimeout.count()) + " ms (idle_timeout_ms): closed");
    }
}

int Server::WaitMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> first;
    for (const auto &[fd, client] : clients_) {
        if (!client.parked) {
            first = std::min(first.value_or(Clock::time_point::max()), client.heard + settings_.idleTimeout);
        }
    }
    if (!first) {
        return -1;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*first - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

void Server::TakeWakeUps(Clock::time_point now)
{
    // The eventfd's count only says that something came: the queues hold it.
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = read(wake_, &count, sizeof(count));
    std::vector<std::pair<std::uint64_t, int>> done;
    std::optional<std::pair<ServerSettings, MapSettings>> reconfigure;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done.swap(done_);
        reconfigure.swap(reconfigure_);
    }
    if (reconfigure) {
        settings_.allow = reconfigure->first.allow;
        settings_.maxClients = reconfigure->first.maxClients;
        settings_.idleTimeout = reconfigure->first.idleTimeout;
        handler_ = RequestHandler(std::move(reconfigure->second));
        std::vector<int> refused;
        for (const auto &[fd, client] : clients_) {
            sockaddr_storage peer{};
            socklen_t length = sizeof(peer);
            if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 && !Allowed(peer)) {
                refused.push_back(fd);
            }
        }
        for (const int fd : refused) {
            Drop(fd, Level::kWarning, "client-dropped", "is no longer in the allow list: closed");
        }
    }
    for (const auto &[ticket, exception] : done) {
        Finish(ticket, exception, now);
    }
}

bool Server::Run()
{
    std::array<epoll_event, 64> events{};
    for (;;) {
        const int count = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), WaitMs(Clock::now()));
        if (count < 0 && errno != EINTR) {
            note_(Level::kError, "loop-failed", std::string("epoll_wait: ") + std::strerror(errno));
            return false;
        }
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (fd == wake_) {
                TakeWakeUps(now);
            } else if (fd == listen_) {
                Accept(now);
            } else if (const auto found = clients_.find(fd); found != clients_.end()) {
                const bool closing = (what & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
                if (found->second.parked) {
                    if (closing) {
                        Drop(fd, Level::kInfo, "client-disconnected", "closed the connection before its write's reply");
                    }
                    continue;
                }
                Serve(found->second, closing, now);
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return true;
            }
        }
        DropIdle(Clock::now());
    }
}

}  // namespace gpio_modbus
