#include "real_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pty_port.h"

namespace gpio_tap {

std::string PortPath(const std::string &name) { return name.compare(0, 1, "/") == 0 ? name : "/dev/" + name; }

int OpenRealPort(const std::string &path, std::string &error)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    if (isatty(fd) != 1) {
        error = path + ": not a serial port";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + ": in use by another program";
    } else if (!gpio_tools::SetRaw38400(fd)) {
        error = path + ": cannot set 38400 8N1: " + std::strerror(errno);
    } else {
        // The application's own modem lines cannot pass through a pty, so
        // the controller gets the ones the library would give it. A pty has
        // none, and refuses these quietly.
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &dtr);
        ioctl(fd, TIOCMBIC, &rts);
        tcflush(fd, TCIOFLUSH);
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace gpio_tap
