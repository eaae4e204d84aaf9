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
//
// What shapes a reply, first match wins:
//   1. a scripted behaviour (Script), Normal included;
//   2. a magic port;
//   3. otherwise the model's reply, or the status override of its command
//      (SimOptions::statusOverride), goes out through the random line faults
//      (SimOptions: drop, corrupt, delay and silence rates).
// So scripted and magic replies never suffer random faults, and a test can
// script Normal to get one clean reply from a faulty line. Faults only touch
// the bytes on the wire: the model has already carried out the request.
//
// The random faults, per reply:
//   silence   with silenceRate, no reply at all (and no further draws);
//   drop      each wire byte, STX and ETX included, is left out with
//             dropRate;
//   corrupt   each byte not dropped gets one random bit flipped with
//             corruptRate;
//   delay     with delayRate the reply waits 1..delayMaxMs ms more, drawn
//             uniformly, on top of replyDelayMs (and, as any delayed reply,
//             holds back the replies after it).
// The draws come from std::mt19937 seeded with SimOptions::seed and use its
// raw output only, so the same seed and the same requests give the same
// faults with any standard library.
#ifndef GPIO_SIM_PTY_SIMULATOR_H
#define GPIO_SIM_PTY_SIMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
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

    // Random line faults, probabilities from 0.0 to 1.0; see above.
    double dropRate = 0.0;        // per reply byte
    double corruptRate = 0.0;     // per reply byte
    double delayRate = 0.0;       // per reply
    unsigned delayMaxMs = 80;     // longest random delay, at least 1
    double silenceRate = 0.0;     // per reply
    std::uint32_t seed = 1;

    // Command name ("I", "O", "T", "BS", "BC" or "V") -> status byte. Every
    // request of that command is still carried out by the model, and then
    // answered with the status byte alone.
    std::map<std::string, std::uint8_t> statusOverride;

    // Whether Requests() and Replies() keep every frame. A long run turns
    // this off so memory stays flat; RequestCount() and GetStats() count
    // either way.
    bool keepHistory = true;
};

class PtySimulator {
public:
    // What became of the frames received so far. A frame is counted once
    // the model has carried it out and its reply is planned, just before
    // the reply is written, so a host holding a reply finds it counted; and
    //   requests == ignored + shaped + intact + faulted.
    // A status override reply counts as intact or faulted like any other.
    struct Stats {
        std::uint64_t requests = 0;  // complete frames received
        std::uint64_t ignored = 0;   // bad CRC or not addressed to us: no reply
        std::uint64_t shaped = 0;    // replies shaped by a scripted behaviour
                                     // other than Normal, or a magic port
        std::uint64_t intact = 0;    // replies sent as the device gave them
        std::uint64_t faulted = 0;   // replies hit by at least one random fault
        // Faulted replies by fault; one reply can count under several.
        std::uint64_t silenced = 0;
        std::uint64_t withDroppedBytes = 0;
        std::uint64_t withCorruptedBytes = 0;
        std::uint64_t delayed = 0;
        // Wire bytes dropped and corrupted, over all replies.
        std::uint64_t droppedBytes = 0;
        std::uint64_t corruptedBytes = 0;
    };

    // Opens the pseudo-terminal, sets its slave side raw and starts
    // serving. Throws std::invalid_argument for a rate outside 0.0-1.0, a
    // zero delayMaxMs with a delay rate, or an unknown statusOverride
    // command, and std::runtime_error when the system refuses a pty.
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
    // Empty when SimOptions::keepHistory is off.
    std::vector<Bytes> Requests() const;
    // Replies()[i] holds every byte written so far in answer to Requests()[i]
    // (noise, foreign frames and all bursts, after any random faults); empty
    // if nothing was sent. Empty when SimOptions::keepHistory is off.
    std::vector<Bytes> Replies() const;
    // Frames received and handled, with or without history.
    std::size_t RequestCount() const;
    // True once at least n frames have been received and handled as Stats
    // counts them, false on time-out.
    bool WaitForRequests(std::size_t n, int timeoutMs);

    Stats GetStats() const;

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

    // What became of one frame, for Stats.
    enum class Outcome { kIgnored, kShaped, kIntact, kFaulted };

    // What the random faults did to one reply.
    struct LineFaults {
        bool silenced = false;
        unsigned dropped = 0;    // wire bytes left out
        unsigned corrupted = 0;  // wire bytes with a bit flipped
        unsigned delayMs = 0;    // extra delay, 0 for none

        bool Any() const;
        std::string Marks() const;  // " [2 bytes dropped] [delayed 37 ms]"
    };

    void Serve();
    void Take(std::uint8_t byte);
    void OnFrame(const Bytes &raw, const DecodedFrame &frame);
    void Count(Outcome outcome, const LineFaults &faults);
    void Schedule(std::size_t request, const Bytes &payload, const Bytes &reply, const Behaviour &behaviour);
    LineFaults ScheduleThroughLine(std::size_t request, const Bytes &payload, const Bytes &reply,
                                   const std::string &note);
    void Queue(std::vector<Chunk> chunks, unsigned extraDelayMs, unsigned gapMs);
    bool Chance(double probability);
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

    // The status override of each command, indexed by Command.
    std::optional<std::uint8_t> overrides_[static_cast<int>(Command::kVersion) + 1];

    // Serving thread only.
    FrameDecoder decoder_;
    Bytes raw_;
    bool inFrame_ = false;
    std::deque<Chunk> outgoing_;
    Clock::time_point busyUntil_;
    std::mt19937 random_;
    std::size_t sequence_ = 0;  // number of the next frame received

    mutable std::mutex mutex_;
    std::condition_variable received_;
    std::deque<Behaviour> script_;
    std::vector<Bytes> requests_;
    std::vector<Bytes> replies_;
    Stats stats_;

    std::thread thread_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_PTY_SIMULATOR_H
