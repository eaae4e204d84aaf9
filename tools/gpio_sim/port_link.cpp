#include "port_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gpio_sim {

bool MakeLink(const char *program, const std::string &link, const std::string &target)
{
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "%s: %s exists and is not a symbolic link\n", program, link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void RemoveLink(const std::string &link, const std::string &target)
{
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

}  // namespace gpio_sim
