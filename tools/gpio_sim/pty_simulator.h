// The simulated controller on the far side of a pseudo-terminal (POSIX
// only). The host opens the slave side as its serial port; a background
// thread reads request frames from the master side, hands them to the
// ControllerModel and writes the reply frames back, shaped by scripted
// behaviours or magic port numbers so tests can provoke the faults a real
// line shows.
//
// Frames received: every complete STX...ETX frame is recorded (Requests()).
// A frame with a bad CRC, or whose second address byte is not 0x40, gets no
// reply and consumes no behaviour, as a real device would ignore it. Any
// other frame is carried out by the model, even when its reply is then
// withheld or corrupted: the device acted, the answer got lost.
//
// Replies go out in order, as from a device that answers one request at a
// time: a reply delayed by N ms holds back the replies to requests that
// arrive in the meantime.
//
// Magic ports (SimOptions::magicPorts): a request whose port operand is one
// of these numbers, and for which no behaviour is scripted, is carried out
// as if it named port 0 and its reply is then shaped like this:
//   0xF0  silence: no reply
//   0xF1  the reply with a corrupted CRC
//   0xF2  status 0xFD alone
//   0xF3  status 0xFE alone
//   0xF4  status 0xFF alone
//   0xF5  status 0x01 alone
//   0xF6  status 0x00 alone (too short for input or bit test)
//   0xF7  a foreign frame (address 00 40, the reply's payload), then the reply
//   0xF8  noise 41 03 FF, then the reply
//   0xF9  the reply 150 ms late (after the host has given up)
//   0xFA  the reply split in 3 bursts 30 ms apart
// The port operand is the byte after the command: payload[1] for I, O and T,
// payload[2] for BS and BC. Version requests have none.
#ifndef GPIO_SIM_PTY_SIMULATOR_H
#define GPIO_SIM_PTY_SIMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "controller_model.h"
#include "wire_codec.h"

namespace gpio_sim {

// How the simulator answers one request.
struct Behaviour {
    enum class Kind {
        kNormal,        // the model's reply
        kSilence,       // no reply at all
        kBadCrc,        // the reply with one CRC bit flipped
        kStatus,        // `status` alone, or with the model's data (keepData)
        kRawReply,      // exactly `bytes` on the wire
        kDelay,         // the reply after `delayMs`
        kSplit,         // the reply in `pieces` bursts, `delayMs` apart
        kNoise,         // `bytes`, then the reply
        kForeignFrame,  // a frame with address 00 `address1` carrying the
                        // reply's payload, then the reply
        kStale,         // the reply after `delayMs`, meant to land after
                        // the host's time-out as stale input
    };

    Kind kind = Kind::kNormal;
    unsigned delayMs = 0;
    unsigned pieces = 1;
    std::uint8_t status = 0;
    bool keepData = false;
    std::uint8_t address1 = 0x40;
    Bytes bytes;

    static Behaviour Normal();
    static Behaviour Silence();
    static Behaviour BadCrc();
    // The reply payload becomes `status` alone; with keepData, `status`
    // followed by the data the model would have sent.
    static Behaviour Status(std::uint8_t status, bool keepData = false);
    static Behaviour RawReply(Bytes wire);
    static Behaviour Delay(unsigned ms);
    static Behaviour Split(unsigned pieces, unsigned gapMs);
    static Behaviour Noise(Bytes noise = {0x41, 0x03, 0xFF});
    static Behaviour ForeignFrame(std::uint8_t address1 = 0x40);
    static Behaviour Stale(unsigned ms = 150);
};

// The behaviour of a magic port number, if it is one.
std::optional<Behaviour> MagicPortBehaviour(std::uint8_t port);

// The magic port table as text, one "0xF0  ..." line per port.
std::string MagicPortsHelp();

struct SimOptions {
    std::string versionText = "GPIO-SIM 1.0";
    unsigned replyDelayMs = 0;    // added before every reply
    bool pace38400 = false;       // write replies a byte per ~260 us
    bool magicPorts = false;      // see the table above
    std::FILE *trace = nullptr;   // one line per frame, both directions
};

class PtySimulator {
public:
    // Opens the pseudo-terminal, sets its slave side raw and starts
    // serving. Throws std::runtime_error when the system refuses a pty.
    explicit PtySimulator(SimOptions options = {});
    ~PtySimulator();

    PtySimulator(const PtySimulator &) = delete;
    PtySimulator &operator=(const PtySimulator &) = delete;

    // The port name relative to /dev/ ("pts/5") and the full slave path.
    std::string PortName() const;
    std::string SlavePath() const;

    ControllerModel &Model();

    // Queues a behaviour for the next request that gets an answer (FIFO);
    // requests with none queued are answered normally.
    void Script(Behaviour behaviour);

    // The wire bytes of every frame received, STX...ETX, still stuffed.
    std::vector<Bytes> Requests() const;
    // Replies()[i] holds every byte written so far in answer to Requests()[i]
    // (noise, foreign frames and all bursts); empty if nothing was sent.
    std::vector<Bytes> Replies() const;
    std::size_t RequestCount() const;
    // True once at least n frames have been received, false on time-out.
    bool WaitForRequests(std::size_t n, int timeoutMs);

    // Unplugs the controller: stops serving and closes the pty, so the host
    // sees a hung-up line. Pending replies are dropped.
    void HangUp();

private:
    using Clock = std::chrono::steady_clock;

    // A piece of output, due at a fixed time, in answer to one request.
    struct Chunk {
        Bytes bytes;
        Clock::time_point due;
        std::size_t request = 0;
        std::string note;
    };

    void Serve();
    void Take(std::uint8_t byte);
    void OnFrame(const Bytes &raw, const DecodedFrame &frame);
    void Schedule(std::size_t request, const Bytes &payload, const Bytes &reply, const Behaviour &behaviour);
    void SendDue();
    void WriteOut(const Bytes &bytes);
    void Trace(const char *direction, const Bytes &bytes, const std::string &meaning);
    void Stop();
    void CloseFds();

    SimOptions options_;
    ControllerModel model_;
    Clock::time_point start_;
    int master_ = -1;
    int slave_ = -1;      // held open so the line never hangs up between opens
    int wake_[2] = {-1, -1};  // a byte in this pipe stops the thread
    std::string slavePath_;

    // Serving thread only.
    FrameDecoder decoder_;
    Bytes raw_;
    bool inFrame_ = false;
    std::deque<Chunk> outgoing_;
    Clock::time_point busyUntil_;

    mutable std::mutex mutex_;
    std::condition_variable received_;
    std::deque<Behaviour> script_;
    std::vector<Bytes> requests_;
    std::vector<Bytes> replies_;

    std::thread thread_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_PTY_SIMULATOR_H
