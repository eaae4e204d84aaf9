#include "tap_relay.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gpio_tap {
namespace {

// The loop wakes at least this often when nothing happens.
constexpr int kIdleMs = 200;

constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

}  // namespace

TapRelay::TapRelay(int realFd, gpio_tools::PtyPort &pty, TapDecoder &decoder, CaptureWriter *capture,
                   PcapWriter *pcap)
    : realFd_(realFd), pty_(pty), decoder_(decoder), capture_(capture), pcap_(pcap), start_(Clock::now())
{
}

std::int64_t TapRelay::Now() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
}

TapRelay::End TapRelay::Run(int stopFd)
{
    End end = End::kStopped;
    for (;;) {
        int timeout = kIdleMs;
        if (decoder_.Deadline() >= 0) {
            // One millisecond past the deadline, so the tick finds it passed.
            const std::int64_t wait = (decoder_.Deadline() - Now()) / 1000 + 1;
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait, 0, kIdleMs));
        }
        pollfd entries[3] = {{stopFd, POLLIN, 0}, {realFd_, POLLIN, 0}, {pty_.Master(), POLLIN, 0}};
        if (poll(entries, 3, timeout) < 0 && errno != EINTR) {
            end = End::kPortGone;
            break;
        }
        if (entries[0].revents != 0) {
            break;
        }
        const bool realReadable = (entries[1].revents & POLLIN) != 0;
        if ((realReadable && !Pass(Side::kDevice)) || (!realReadable && (entries[1].revents & kGone) != 0)) {
            end = End::kPortGone;
            break;
        }
        if ((entries[2].revents & POLLIN) != 0) {
            Pass(Side::kApplication);
        } else if ((entries[2].revents & kGone) != 0) {
            // Nobody has the application side open (not while PtyPort holds
            // it, but a pause costs nothing and never spins).
            poll(entries, 1, kIdleMs);
        }
        decoder_.Tick(Now());
        if (capture_ != nullptr && !capture_->Ok()) {
            end = End::kCaptureFailed;
            break;
        }
    }
    const std::int64_t now = Now();
    decoder_.Tick(now);
    if (capture_ != nullptr) {
        CaptureRecord last;
        last.kind = CaptureRecord::Kind::kEnd;
        last.us = now;
        if (!capture_->Write(last)) {
            end = End::kCaptureFailed;
        }
    }
    return end;
}

bool TapRelay::Pass(Side from)
{
    const bool fromDevice = from == Side::kDevice;
    Bytes bytes(4096);
    const ssize_t n = read(fromDevice ? realFd_ : pty_.Master(), bytes.data(), bytes.size());
    if (n <= 0) {
        // End of file or an error other than a pause: on the real port that
        // is a hang-up (an unplugged adapter reads EIO).
        return !fromDevice || (n < 0 && (errno == EAGAIN || errno == EINTR));
    }
    const std::int64_t us = Now();
    bytes.resize(static_cast<std::size_t>(n));
    // Passed on first, traced after. A real port that takes no bytes is
    // reported by its read side; what the application sent is traced all
    // the same.
    if (fromDevice) {
        pty_.Write(bytes, false);
    } else {
        gpio_tools::WriteFully(realFd_, bytes, false);
    }
    Record(us, from, bytes);
    return true;
}

void TapRelay::Record(std::int64_t us, Side from, const Bytes &bytes)
{
    if (capture_ != nullptr) {
        CaptureRecord record;
        record.us = us;
        record.from = from;
        record.bytes = bytes;
        capture_->Write(record);
    }
    if (pcap_ != nullptr) {
        pcap_->Take(us, from, bytes);
    }
    decoder_.Take(us, from, bytes);
}

}  // namespace gpio_tap

