// The raw capture of gpio-tap: every read from either side with its time,
// as text a user can attach to a bug report and gpio-tap can replay:
//   # gpio-tap capture 1
//   1234 A 02 00 40 56 ...     microseconds, A (from the application) or
//   1460 D 02 00 00 00 ...     D (from the device), the bytes in hex
//   98765 E                    the end of the run
// Lines starting with # are comments.
#ifndef GPIO_TAP_CAPTURE_FILE_H
#define GPIO_TAP_CAPTURE_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "tap_decoder.h"

namespace gpio_tap {

// One line of a capture.
struct CaptureRecord {
    enum class Kind { kBytes, kEnd };
    Kind kind = Kind::kBytes;
    std::int64_t us = 0;
    Side from = Side::kApplication;
    Bytes bytes;
};

class CaptureWriter {
public:
    // Writes the header; `out` stays the caller's.
    explicit CaptureWriter(std::FILE *out);
    // False once a write has failed (a full disk): the capture is then
    // incomplete, and the caller stops.
    bool Write(const CaptureRecord &record);
    bool Ok() const { return ok_; }

private:
    bool Flushed(int printed);

    std::FILE *out_;
    bool ok_ = true;
};

class CaptureReader {
public:
    explicit CaptureReader(std::FILE *in);

    // The next record: true with it in `record`, false at the end of the
    // file or at a line that is not a record (then Error() says which). A
    // file without a single record is no capture, and says so.
    bool Next(CaptureRecord &record);
    const std::string &Error() const { return error_; }

private:
    std::FILE *in_;
    unsigned line_ = 0;
    unsigned records_ = 0;
    std::string error_;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_CAPTURE_FILE_H
