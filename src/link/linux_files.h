// Reading the kernel's own folders and files (/sys, /proc) without the
// heap: a folder is read with getdents64 into a buffer on the stack, a file
// into the caller's buffer. Every system call goes through SYSTEM_CALL.
#ifndef GPIOLINK_LINK_LINUX_FILES_H
#define GPIOLINK_LINK_LINUX_FILES_H

#include <cstddef>

namespace gpiolink {

// Calls visit(name) for every entry of the open folder `directory`, "."
// and ".." included, until visit returns false. False when the folder
// could not be read to its end (a visit that stopped is no failure).
template <typename Visit>
bool ForEachDirectoryEntry(int directory, Visit visit);

// Reads at most size - 1 bytes of `path` (relative to the open folder
// `directory`, or absolute) into `text` and ends them with a zero. The
// count read, or -1 when the file could not be opened or read.
long ReadSmallFile(int directory, const char *path, char *text, std::size_t size);

// ---- implementation -----------------------------------------------------

// Linux's directory entry as getdents64 returns it.
struct DirectoryEntry {
    unsigned long long inode;
    long long offset;
    unsigned short length;
    unsigned char type;  // cppcheck-suppress unusedStructMember ; part of the kernel's layout
    char name[1];
};

// One getdents64 call into `buffer`: the count of bytes, 0 at the end,
// negative on failure.
long ReadDirectoryEntries(int directory, char *buffer, std::size_t size);

template <typename Visit>
bool ForEachDirectoryEntry(int directory, Visit visit)
{
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = ReadDirectoryEntries(directory, buffer, sizeof(buffer));
        if (got <= 0) {
            return got == 0;
        }
        for (long at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const DirectoryEntry *>(buffer + at);
            at += entry->length;
            if (!visit(static_cast<const char *>(entry->name))) {
                return true;
            }
        }
    }
}

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_LINUX_FILES_H
