#include "test_helpers.h"

#include <filesystem>
#include <random>

namespace gpiolink::testing {

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

GuardedBuffer::GuardedBuffer(std::size_t room, std::uint8_t fill) : fill_(fill) { Reset(room); }

void GuardedBuffer::Reset(std::size_t room)
{
    room_ = room;
    bytes_.assign(room + 2 * kGuard, fill_);
}

Bytes GuardedBuffer::Contents(std::size_t count) const
{
    const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(kGuard);
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(count));
}

bool GuardedBuffer::Untouched(std::size_t from, std::size_t to) const
{
    for (std::size_t i = from; i < to && i < bytes_.size(); ++i) {
        if (bytes_[i] != fill_) {
            return false;
        }
    }
    return true;
}

std::string MakeScratchFolder(const std::string &prefix)
{
    // A name no other folder has: the first that this process creates.
    static unsigned made = 0;
    std::random_device seed;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path folder =
            base / (prefix + "-" + std::to_string(seed()) + "-" + std::to_string(++made));
        std::error_code failed;
        if (std::filesystem::create_directory(folder, failed)) {
            return folder.string();
        }
    }
    return std::string();
}

void RemoveTree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}


}  // namespace gpiolink::testing
