#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace gpio_tools {
namespace {

// Ten bits on the line (start, eight data, stop) at 38400 baud.
constexpr auto kByteTime = std::chrono::microseconds(260);

// How long a write waits for the slave's input queue to take bytes.
constexpr int kWriteWaitMs = 1000;

std::runtime_error SystemError(const char *what)
{
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

bool SetRaw38400(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

PtyPort::PtyPort()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        throw SystemError("posix_openpt");
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof(name)) != 0) {
        const auto error = SystemError("pty setup");
        Close();
        throw error;
    }
    slavePath_ = name;

    // Raw 8N1 on the slave before the host opens it: otherwise the line
    // discipline would echo requests back to the host and rewrite bytes.
    // This descriptor stays open (without a lock) so the line does not hang
    // up whenever the host closes its own.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        const auto error = SystemError("pty slave");
        Close();
        throw error;
    }
    if (!SetRaw38400(slave_)) {
        const auto error = SystemError("pty slave settings");
        Close();
        throw error;
    }

    // Non-blocking master: a host that never reads must not wedge a write.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
}

PtyPort::~PtyPort() { Close(); }

std::string PtyPort::PortName() const
{
    const std::string prefix = "/dev/";
    return slavePath_.compare(0, prefix.size(), prefix) == 0 ? slavePath_.substr(prefix.size()) : slavePath_;
}

bool WriteFully(int fd, const Bytes &bytes, bool pace)
{
    const std::size_t step = pace ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t written = write(fd, bytes.data() + at, std::min(step, bytes.size() - at));
        if (written > 0) {
            at += static_cast<std::size_t>(written);
            if (pace && at < bytes.size()) {
                std::this_thread::sleep_for(kByteTime);
            }
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        pollfd entry{fd, POLLOUT, 0};
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || poll(&entry, 1, kWriteWaitMs) <= 0 ||
            (entry.revents & POLLOUT) == 0) {
            return false;
        }
    }
    return true;
}

void PtyPort::Close()
{
    for (int *fd : {&master_, &slave_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace gpio_tools
