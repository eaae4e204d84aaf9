#include "port_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text_output.h"

namespace gpio_tools {
namespace {

// The target of the symbolic link `link`; false if it is none.
bool ReadLink(const std::string &link, std::string &target)
{
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return false;
    }
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool IsPtyLinkTarget(const std::string &target)
{
    const std::string prefix = "/dev/pts/";
    return target.size() > prefix.size() && target.compare(0, prefix.size(), prefix) == 0 &&
           target.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

bool MakeLink(const char *program, const std::string &link, const std::string &target)
{
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        std::string existing;
        if (!S_ISLNK(info.st_mode) || !ReadLink(link, existing)) {
            std::fprintf(stderr, "%s: %s exists and is not a link; give --link a free name\n", program,
                         SafeText(link).c_str());
            return false;
        }
        if (!IsPtyLinkTarget(existing)) {
            std::fprintf(stderr,
                         "%s: %s is a link to %s, not to a pseudo-terminal: it is left alone; "
                         "remove it yourself or give --link a free name\n",
                         program, SafeText(link).c_str(), SafeText(existing).c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, SafeText(link).c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void RemoveLink(const std::string &link, const std::string &target)
{
    std::string existing;
    if (ReadLink(link, existing) && existing == target) {
        unlink(link.c_str());
    }
}

void AnnouncePort(const std::string &port, const std::string &path, const std::string &link, bool json)
{
    if (json) {
        std::printf("{\"port\":%s,\"path\":%s", JsonString(port).c_str(), JsonString(path).c_str());
        if (!link.empty()) {
            std::printf(",\"link\":%s", JsonString(link).c_str());
        }
        std::printf("}\n");
    } else {
        std::printf("port: %s\npath: %s\n", port.c_str(), path.c_str());
        if (!link.empty()) {
            std::printf("link: %s\n", SafeText(link).c_str());
        }
    }
    std::fflush(stdout);
}

}  // namespace gpio_tools
