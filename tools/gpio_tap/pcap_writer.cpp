#include "pcap_writer.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace gpio_tap {
namespace {

// The classic pcap header, in this machine's byte order (readers detect it
// by the magic number): version 2.4, time zone 0, accuracy 0, snapshot
// length, link type.
struct FileHeader {
    std::uint32_t magic = 0xA1B2C3D4;
    std::uint16_t major = 2;
    std::uint16_t minor = 4;
    std::int32_t zone = 0;
    std::uint32_t accuracy = 0;
    std::uint32_t snapshot = 65535;
    std::uint32_t linkType = PcapWriter::kLinkTypeUser0;
};

struct RecordHeader {
    std::uint32_t seconds;
    std::uint32_t microseconds;
    std::uint32_t captured;
    std::uint32_t original;
};

}  // namespace

PcapWriter::PcapWriter(std::FILE *out, std::int64_t startUs) : out_(out), startUs_(startUs)
{
    const FileHeader header;
    Put(&header, sizeof(header));
    std::fflush(out_);
}

void PcapWriter::Take(std::int64_t us, Side from, const Bytes &bytes)
{
    gpio_tools::FrameStream &stream = from == Side::kApplication ? fromApplication_ : fromDevice_;
    gpio_tools::WirePiece piece;
    for (const std::uint8_t byte : bytes) {
        if (stream.Push(byte, piece)) {
            Record(us, from, piece.raw);
        }
    }
    if (stream.FlushNoise(piece)) {
        Record(us, from, piece.raw);
    }
    // Flushed per read, so a capture stopped by a signal keeps every record.
    if (std::fflush(out_) != 0) {
        ok_ = false;
    }
}

void PcapWriter::Record(std::int64_t us, Side from, const Bytes &raw)
{
    const std::int64_t at = startUs_ + us;
    const auto length = static_cast<std::uint32_t>(raw.size() + 1);
    const RecordHeader header{static_cast<std::uint32_t>(at / 1000000), static_cast<std::uint32_t>(at % 1000000),
                              length, length};
    const std::uint8_t direction = from == Side::kApplication ? kFromApplication : kFromDevice;
    Put(&header, sizeof(header));
    Put(&direction, 1);
    Put(raw.data(), raw.size());
}

void PcapWriter::Put(const void *data, std::size_t size)
{
    if (ok_ && size > 0 && std::fwrite(data, 1, size, out_) != size) {
        ok_ = false;
    }
}

PcapFile::~PcapFile() { Close(); }

bool PcapFile::Open(const std::string &path, std::int64_t startUs)
{
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        std::fprintf(stderr, "gpio-tap: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    writer_.emplace(file_, startUs);
    return true;
}

bool PcapFile::Close()
{
    if (file_ == nullptr) {
        return true;
    }
    const bool written = writer_->Ok();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    writer_.reset();
    if (!written || !closed) {
        std::fprintf(stderr, "gpio-tap: %s: could not write the capture; it is incomplete\n", path_.c_str());
    }
    return written && closed;
}

std::int64_t PcapFile::WallClockUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace gpio_tap
