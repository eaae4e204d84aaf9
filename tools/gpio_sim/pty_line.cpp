#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace gpio_sim {
namespace {

void SleepUnlessWoken(int wakeFd, int ms)
{
    pollfd entry{wakeFd, POLLIN, 0};
    poll(&entry, 1, ms);
}

}  // namespace

PtyLine::PtyLine()
{
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
}

PtyLine::~PtyLine()
{
    for (int fd : wake_) {
        close(fd);
    }
}

void PtyLine::Wake()
{
    const char stop = 1;
    while (write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
}

std::size_t PtyLine::Read(std::uint8_t *buffer, std::size_t size, int waitMs)
{
    const int master = pty_.Master();
    pollfd entries[2] = {{wake_[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(entries, master >= 0 ? 2 : 1, waitMs) < 0 && errno != EINTR) {
        SleepUnlessWoken(wake_[0], waitMs);
        return 0;
    }
    if ((entries[0].revents & POLLIN) != 0) {
        return 0;
    }
    if ((entries[1].revents & POLLIN) != 0) {
        const ssize_t n = read(master, buffer, size);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // EIO: nobody has the slave open. Wait for someone.
            SleepUnlessWoken(wake_[0], waitMs);
        }
    } else if ((entries[1].revents & (POLLHUP | POLLERR)) != 0) {
        // A master without any slave opener reports a hang-up at once on
        // every poll; pause instead of spinning.
        SleepUnlessWoken(wake_[0], waitMs);
    }
    return 0;
}

}  // namespace gpio_sim
