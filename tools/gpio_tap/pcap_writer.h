// gpio-tap's capture for Wireshark: a classic pcap file of link type
// DLT_USER0 (147), one record per frame or run of noise as a reader of the
// wire sees it (still stuffed, exactly as sent). Each record starts with a
// direction byte, then the wire bytes:
//   0x00  from the application to the controller
//   0x01  from the controller to the application
// tools/wireshark/gpiolink.lua decodes it.
#ifndef GPIO_TAP_PCAP_WRITER_H
#define GPIO_TAP_PCAP_WRITER_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "frame_stream.h"
#include "tap_decoder.h"

namespace gpio_tap {

class PcapWriter {
public:
    static constexpr std::uint32_t kLinkTypeUser0 = 147;
    static constexpr std::uint8_t kFromApplication = 0x00;
    static constexpr std::uint8_t kFromDevice = 0x01;

    // Writes the file header to `out`, which stays the caller's. Record
    // times are `startUs` (microseconds since the Unix epoch) plus the
    // times given to Take.
    PcapWriter(std::FILE *out, std::int64_t startUs);

    // Bytes that `from` sent, read at `us` microseconds since the start:
    // each frame they complete is a record at that time, and so is the
    // noise among them (as gpio-tap's trace reports it).
    void Take(std::int64_t us, Side from, const Bytes &bytes);

    // False once a write has failed (a full disk); later records are lost.
    bool Ok() const { return ok_; }

private:
    void Record(std::int64_t us, Side from, const Bytes &raw);
    void Put(const void *data, std::size_t size);

    std::FILE *out_;
    std::int64_t startUs_;
    gpio_tools::FrameStream fromApplication_;
    gpio_tools::FrameStream fromDevice_;
    bool ok_ = true;
};

// The pcap file of --pcap: opened, written, and closed with its outcome.
class PcapFile {
public:
    PcapFile() = default;
    ~PcapFile();
    PcapFile(const PcapFile &) = delete;
    PcapFile &operator=(const PcapFile &) = delete;

    // Creates `path` (replacing it) and writes the header; false with a
    // message on stderr if it cannot.
    bool Open(const std::string &path, std::int64_t startUs);
    // The writer while open, else null.
    PcapWriter *Writer() { return writer_ ? &*writer_ : nullptr; }
    // Closes the file; false with a message on stderr if a write failed.
    bool Close();

    // Now, in microseconds since the Unix epoch: the start of a live run.
    static std::int64_t WallClockUs();

private:
    std::string path_;
    std::FILE *file_ = nullptr;
    std::optional<PcapWriter> writer_;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_PCAP_WRITER_H
