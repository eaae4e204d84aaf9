#include "port_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "text_output.h"

namespace gpio_tools {
namespace {

// The target of the symbolic link `name` in `folder`; false if it is none.
bool ReadLinkAt(int folder, const std::string &name, std::string &target)
{
    char buffer[4096];
    const ssize_t n = readlinkat(folder, name.c_str(), buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return false;
    }
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

// Puts a new link `name` -> `target` in `folder` in place of the old one in
// one step: made under a free name beside it, then renamed over it.
bool ReplaceLinkAt(int folder, const std::string &name, const std::string &target)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string fresh =
            name + ".gpio-link-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        if (symlinkat(target.c_str(), folder, fresh.c_str()) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        if (renameat(folder, fresh.c_str(), folder, name.c_str()) != 0) {
            const int error = errno;
            unlinkat(folder, fresh.c_str(), 0);
            errno = error;
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

}  // namespace

bool IsPtyLinkTarget(const std::string &target)
{
    const std::string prefix = "/dev/pts/";
    return target.size() > prefix.size() && target.compare(0, prefix.size(), prefix) == 0 &&
           target.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

PortLink::~PortLink() { Remove(); }

bool PortLink::Create(const char *program, const std::string &link, const std::string &target)
{
    Remove();
    const std::size_t slash = link.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    const std::string name = slash == std::string::npos ? link : link.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        std::fprintf(stderr, "%s: %s names a folder; give --link the name of a link to create\n", program,
                     SafeText(link).c_str());
        return false;
    }
    // The folder's path is followed once, here; from now on only names in
    // this folder are looked at or changed.
    const int opened = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    bool made = false;
    if (opened < 0) {
        // Reported below as a link that could not be created.
    } else if (fstatat(opened, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        made = errno == ENOENT && symlinkat(target.c_str(), opened, name.c_str()) == 0;
    } else {
        std::string existing;
        if (!S_ISLNK(info.st_mode) || !ReadLinkAt(opened, name, existing)) {
            std::fprintf(stderr, "%s: %s exists and is not a link; give --link a free name\n", program,
                         SafeText(link).c_str());
            close(opened);
            return false;
        }
        if (!IsPtyLinkTarget(existing)) {
            std::fprintf(stderr,
                         "%s: %s is a link to %s, not to a pseudo-terminal: it is left alone; "
                         "remove it yourself or give --link a free name\n",
                         program, SafeText(link).c_str(), SafeText(existing).c_str());
            close(opened);
            return false;
        }
        made = ReplaceLinkAt(opened, name, target);
    }
    if (!made) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, SafeText(link).c_str(), std::strerror(errno));
        if (opened >= 0) {
            close(opened);
        }
        return false;
    }
    folder_ = opened;
    name_ = name;
    target_ = target;
    return true;
}

void PortLink::Remove()
{
    if (folder_ < 0) {
        return;
    }
    std::string existing;
    if (ReadLinkAt(folder_, name_, existing) && existing == target_) {
        unlinkat(folder_, name_.c_str(), 0);
    }
    close(folder_);
    folder_ = -1;
}

void AnnouncePort(const std::string &port, const std::string &path, const std::string &link, bool json)
{
    if (json) {
        Json announced = {{"port", JsonText(port)}, {"path", JsonText(path)}};
        if (!link.empty()) {
            announced["link"] = JsonText(link);
        }
        std::printf("%s\n", JsonLine(announced).c_str());
    } else {
        std::printf("port: %s\npath: %s\n", port.c_str(), path.c_str());
        if (!link.empty()) {
            std::printf("link: %s\n", SafeText(link).c_str());
        }
    }
    std::fflush(stdout);
}

}  // namespace gpio_tools
