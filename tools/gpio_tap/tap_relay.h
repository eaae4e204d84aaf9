// The live relay of gpio-tap: bytes from the application's pty go to the
// real port and back, as soon as they are read and without pacing of its
// own; only then are they captured and decoded.
#ifndef GPIO_TAP_TAP_RELAY_H
#define GPIO_TAP_TAP_RELAY_H

#include <chrono>
#include <cstdint>

#include "capture_file.h"
#include "pcap_writer.h"
#include "pty_port.h"
#include "tap_decoder.h"

namespace gpio_tap {

class TapRelay {
public:
    enum class End {
        kStopped,   // `stopFd` became readable
        kPortGone,  // the real port hung up or failed
        kCaptureFailed,  // a write to the capture file failed
    };

    // `capture` and `pcap` may be null. The application side is the pty's slave, held
    // open by PtyPort: an application that closes it leaves the relay
    // running for the next one to open it.
    TapRelay(int realFd, gpio_tools::PtyPort &pty, TapDecoder &decoder, CaptureWriter *capture,
             PcapWriter *pcap = nullptr);

    // Relays until one of the ends; the last capture record is the end.
    End Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;

    std::int64_t Now() const;
    // Reads what `from` has to say and passes it on; false when the real
    // port has gone.
    bool Pass(Side from);
    void Record(std::int64_t us, Side from, const Bytes &bytes);

    int realFd_;
    gpio_tools::PtyPort &pty_;
    TapDecoder &decoder_;
    CaptureWriter *capture_;
    PcapWriter *pcap_;
    Clock::time_point start_;
};

}  // namespace gpio_tap

#endif  // GPIO_TAP_TAP_RELAY_H
