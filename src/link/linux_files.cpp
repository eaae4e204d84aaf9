#include "link/linux_files.h"

#include <fcntl.h>

#include "link/system_calls_posix.h"

namespace gpiolink {

long ReadDirectoryEntries(int directory, char *buffer, std::size_t size)
{
    return SYSTEM_CALL(getdents64)(directory, buffer, size);
}

long ReadSmallFile(int directory, const char *path, char *text, std::size_t size)
{
    text[0] = '\0';
    const int descriptor = SYSTEM_CALL(openat)(directory, path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return -1;
    }
    const ssize_t got = SYSTEM_CALL(read)(descriptor, text, size - 1);
    SYSTEM_CALL(close)(descriptor);
    text[got > 0 ? got : 0] = '\0';
    return got;
}

}  // namespace gpiolink
