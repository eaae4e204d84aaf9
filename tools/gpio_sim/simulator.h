// The simulated controller on the far side of a line (sim_line.h): a
// background thread reads request frames from the line, hands them to the
// ControllerModel and writes the reply frames back, shaped by scripted
// behaviours or magic port numbers so tests can provoke the faults a real
// line shows. PtySimulator (pty_simulator.h) serves a new pseudo-terminal.
//
// Frames received: every complete STX...ETX frame is recorded (Requests()).
// A frame with a bad CRC, or whose second address byte is not 0x40, gets no
// reply and consumes no behaviour, as a real device would ignore it. Any
// other frame is carried out by the model, even when its reply is then
// withheld or corrupted: the device acted, the answer got lost.
//
// What shapes a reply, first match wins:
//   1. a scripted behaviour (Script, behaviour.h), Normal included;
//   2. a magic port (magic_ports.h);
//   3. otherwise the model's reply, or the status override of its command
//      (SimOptions::statusOverride), goes out through the random line faults
//      (line_faults.h).
// So scripted and magic replies never suffer random faults, and a test can
// script Normal to get one clean reply from a faulty line. Faults only touch
// the bytes on the wire: the model has already carried out the request.
// Replies then go out in order (reply_schedule.h).
//
// Where each part lives: the line in sim_line.h and the counts in
// sim_stats.h (both here, in tools/gpio_sim); frames off the wire in
// frame_stream.h, requests decoded once in request.h and the trace line in
// trace_format.h (these three in tools/common).
#ifndef GPIO_SIM_SIMULATOR_H
#define GPIO_SIM_SIMULATOR_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "behaviour.h"
#include "controller_model.h"
#include "frame_stream.h"
#include "line_faults.h"
#include "magic_ports.h"
#include "reply_schedule.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_stats.h"
#include "wire_codec.h"

namespace gpio_sim {

using gpio_tools::DecodedFrame;
using gpio_tools::FrameStream;
using gpio_tools::WirePiece;

class Simulator {
public:
    using Stats = SimStats;

    // Starts serving `line`. Throws std::invalid_argument for options
    // CheckSimOptions refuses.
    Simulator(SimOptions options, std::unique_ptr<SimLine> line);
    // Stops serving, then closes the line.
    virtual ~Simulator();

    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

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
    // RequestTimes()[i] is when Requests()[i] was read off the line (the
    // steady clock, which every process on the machine shares). Empty when
    // SimOptions::keepHistory is off.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // Frames received and handled, with or without history.
    std::size_t RequestCount() const;
    // True once at least n frames have been received and handled as Stats
    // counts them, false on time-out.
    bool WaitForRequests(std::size_t n, int timeoutMs);

    Stats GetStats() const;

protected:
    // Stops serving; pending replies are dropped. Later calls do nothing.
    void Stop();

    // The line served.
    SimLine &Line() { return *line_; }

private:
    using Clock = std::chrono::steady_clock;

    void Serve();
    void OnFrame(const Bytes &raw, const DecodedFrame &frame);
    std::optional<Behaviour> NextBehaviour(Request &request, std::string &meaning);
    LineFaults SendThroughLine(std::size_t index, const Request &request, Bytes reply);
    void Count(Outcome outcome, const LineFaults &faults);
    void SendDue();
    void Trace(const char *direction, const Bytes &bytes, const std::string &meaning);

    SimOptions options_;
    ControllerModel model_;
    Clock::time_point start_;
    std::unique_ptr<SimLine> line_;
    std::atomic<bool> stopping_{false};

    // The status override of each command, indexed by Command.
    std::optional<std::uint8_t> overrides_[static_cast<int>(Command::kVersion) + 1];

    // Serving thread only.
    FrameStream stream_;
    ReplySchedule schedule_;
    RandomLineFaults lineFaults_;
    std::size_t sequence_ = 0;  // number of the next frame received

    mutable std::mutex mutex_;
    std::condition_variable received_;
    std::deque<Behaviour> script_;
    std::vector<Bytes> requests_;
    std::vector<Bytes> replies_;
    std::vector<Clock::time_point> requestTimes_;
    Stats stats_;

    std::thread thread_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_SIMULATOR_H
