// Small helpers that several test files share.
#ifndef GPIOLINK_TESTS_TEST_HELPERS_H
#define GPIOLINK_TESTS_TEST_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace gpiolink::testing {

using Bytes = std::vector<std::uint8_t>;

// The parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);

// A caller's buffer of `room` bytes between guard bytes, all filled with
// `fill`: shows whether a call wrote outside the room it was given.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t room = 0, std::uint8_t fill = 0xAA);

    // Refills everything and gives the call `room` bytes.
    void Reset(std::size_t room);
    std::uint8_t *Data() { return bytes_.data() + kGuard; }
    char *Text() { return reinterpret_cast<char *>(Data()); }
    // The first `count` bytes of the room.
    Bytes Contents(std::size_t count) const;
    // True when nothing outside the room was written.
    bool GuardsIntact() const { return Untouched(0, kGuard) && Untouched(kGuard + room_, bytes_.size()); }
    // True when nothing before the room, nor the room's bytes from `from`
    // on, was written.
    bool UntouchedFrom(std::size_t from) const
    {
        return Untouched(0, kGuard) && Untouched(kGuard + from, bytes_.size());
    }

    static constexpr std::size_t kGuard = 16;

private:
    bool Untouched(std::size_t from, std::size_t to) const;

    std::uint8_t fill_;
    std::size_t room_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// A new empty folder /tmp/<prefix>-XXXXXX for a test's files; "" if none
// could be made.
std::string MakeScratchFolder(const std::string &prefix);

// Removes a folder and everything in it (test scratch folders).
void RemoveTree(const std::string &path);

// A new folder under the system's temporary folder, removed with
// everything in it at the end of its scope.
class ScratchFolder {
public:
    ScratchFolder() : path_(MakeScratchFolder("gpiolink-test")) {}
    ~ScratchFolder() { RemoveTree(path_); }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace gpiolink::testing

#endif  // GPIOLINK_TESTS_TEST_HELPERS_H
