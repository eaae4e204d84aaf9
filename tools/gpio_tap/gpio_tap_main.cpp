// gpio-tap: sits between an application and the real controller, relays
// every byte both ways and traces every frame. Or replays a capture.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture_file.h"
#include "command_line.h"
#include "library_port.h"
#include "pcap_writer.h"
#include "port_link.h"
#include "pty_port.h"
#include "real_port.h"
#include "tap_decoder.h"
#include "tap_relay.h"
#include "text_output.h"

namespace {

// Exit statuses; a usage error is gpio_tools::kUsageError (64).
constexpr int kStopped = 0;
constexpr int kCannotStart = 1;
constexpr int kPortGone = 3;

struct Arguments {
    std::string port;
    std::string link;
    std::string capture;
    std::string replay;
    std::string pcap;
    bool json = false;
};

// The command line, as the help shows it.
void Declare(gpio_tools::CommandLine &line, Arguments &args)
{
    line.Operands("[PORT]");
    line.Option("--port", "NAME", "the controller's serial port: ttyUSB0, or a path such as\n/dev/ttyUSB0 (or give it as PORT)",
                &args.port);
    line.Option("--link", "PATH",
                "create the symbolic link PATH to the application's port and\n"
                "remove it on exit; an existing link is replaced only if it\n"
                "points at a pseudo-terminal",
                &args.link);
    line.Flag("--json",
              "one JSON object per line instead of text, the port lines too:\n"
              "{\"ms\":..,\"dir\":..,\"event\":..,\"hex\":..,\"meaning\":..}\n"
              "with event request, reply, bad-crc, foreign, broken, noise or\n"
              "silence; then port-gone and summary objects",
              &args.json);
    line.Option("--capture", "FILE", "also write every byte read, with its time, to FILE", &args.capture);
    line.Option("--replay", "FILE", "print the trace of a capture instead; it is the trace the\nlive run printed",
                &args.replay);
    line.Option("--pcap", "FILE",
                "also write every frame and run of noise, with its time and\n"
                "direction, as a pcap file for Wireshark (link type 147,\n"
                "USER0; see share/gpiolink/wireshark/gpiolink.lua); with\n"
                "--replay, times count from the Unix epoch",
                &args.pcap);
    line.Section("Output",
                 "The first lines on stdout are\n"
                 "  port: pts/N        the name the application opens (relative to /dev/)\n"
                 "  path: /dev/pts/N   the full path of that port\n"
                 "  link: PATH         only with --link\n"
                 "then one trace line per frame: the time since the start, the direction\n"
                 "(host->dev from the application, dev->host from the controller, note\n"
                 "for what the tap notices), the bytes in hex and what they mean. Flagged\n"
                 "in capitals: BAD CRC, FOREIGN FRAME (addresses other than a request's\n"
                 "00 40 or a reply's 00 00), BROKEN FRAME, NOISE (bytes outside frames)\n"
                 "and SILENCE (a request without a byte of reply within 100 ms). Text\n"
                 "from the line is shown escaped: a C0 control as \\x1b, a C1 control,\n"
                 "a line separator or a bidirectional control as \\u009b or \\u202e, a\n"
                 "byte that is not UTF-8 as \\xff, a backslash as \\\\.\n"
                 "When stopped, a summary counts the frames each way, bad CRCs and\n"
                 "silences (on stderr; under --json as an object on stdout).\n"
                 "When the application closes the port, the tap waits for the next open.");
    line.Section("Exit status",
                 "  0   stopped by SIGINT or SIGTERM, or a replay completed\n"
                 "  1   could not start, a capture or the output could not be written,\n"
                 "      or a replayed file is no capture\n"
                 "  3   the controller's port went away (unplugged)\n"
                 "  64  usage error");
}

gpio_tap::TapDecoder::Sink PrintTo(std::FILE *out, bool json)
{
    return [out, json](const gpio_tools::TraceEntry &entry) { gpio_tools::WriteTrace(out, entry, json); };
}

// The counts of a run, when it stops: a line on stderr, or an object on
// stdout under --json.
void PrintSummary(const gpio_tap::TapCounts &counts, bool json)
{
    const auto n = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    if (json) {
        gpio_tools::PrintJsonSummary({{"requests", counts.requests},
                                      {"replies", counts.replies},
                                      {"bad_crc", counts.badCrc},
                                      {"foreign", counts.foreign},
                                      {"broken", counts.broken},
                                      {"noise", counts.noise},
                                      {"silences", counts.silences}});
        return;
    }
    std::fprintf(stderr,
                 "gpio-tap: %llu frames from the application, %llu from the controller; %llu with a bad CRC, "
                 "%llu foreign, %llu broken, %llu runs of noise, %llu silences\n",
                 n(counts.requests), n(counts.replies), n(counts.badCrc), n(counts.foreign), n(counts.broken),
                 n(counts.noise), n(counts.silences));
}

// The controller's port hung up: said on stderr, and as an object on
// stdout under --json.
void PortGone(const std::string &path, bool json)
{
    if (json) {
        const gpio_tools::Json gone = {{"event", "port-gone"},
                                       {"path", gpio_tools::JsonText(path)},
                                       {"meaning", "the controller's port went away (unplugged?)"}};
        std::printf("%s\n", gpio_tools::JsonLine(gone).c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "gpio-tap: %s went away (unplugged?); stopping\n", gpio_tools::SafeText(path).c_str());
}

// Whether two paths name one file (the same device and inode, links
// followed); false when either does not exist.
bool SameFile(const std::string &one, const std::string &other)
{
    struct stat first {};
    struct stat second {};
    return stat(one.c_str(), &first) == 0 && stat(other.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

int Replay(const std::string &path, bool json, const std::string &pcapPath)
{
    // The capture first: a capture that cannot be read leaves the pcap
    // file as it was.
    std::FILE *in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        std::fprintf(stderr, "gpio-tap: %s: %s\n", gpio_tools::SafeText(path).c_str(), std::strerror(errno));
        return kCannotStart;
    }
    gpio_tap::PcapFile pcap;
    if (!pcapPath.empty() && !pcap.Open(pcapPath, 0)) {
        std::fclose(in);
        return kCannotStart;
    }
    gpio_tap::TapDecoder decoder(PrintTo(stdout, json));
    gpio_tap::CaptureReader reader(in);
    gpio_tap::CaptureRecord record;
    while (reader.Next(record)) {
        if (record.kind == gpio_tap::CaptureRecord::Kind::kEnd) {
            decoder.Tick(record.us);
        } else {
            decoder.Take(record.us, record.from, record.bytes);
            if (pcap.Writer() != nullptr) {
                pcap.Writer()->Take(record.us, record.from, record.bytes);
            }
        }
    }
    std::fclose(in);
    if (!pcap.Close()) {
        return kCannotStart;
    }
    if (!reader.Error().empty()) {
        std::fprintf(stderr, "gpio-tap: %s: %s\n", gpio_tools::SafeText(path).c_str(), reader.Error().c_str());
        return kCannotStart;
    }
    PrintSummary(decoder.Counts(), json);
    return kStopped;
}

int Relay(const std::string &port, const std::string &link, const std::string &capturePath, bool json,
          const std::string &pcapPath)
{
    // Taken by the signal descriptor below rather than by handlers.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::perror("gpio-tap: signalfd");
        return kCannotStart;
    }

    const std::string path = gpio_tools::LibraryPortPath(port);
    gpio_tap::RealPort real;
    std::string error;
    if (!real.Open(port, error)) {
        std::fprintf(stderr, "gpio-tap: the controller's port could not be opened: %s\n",
                     gpio_tools::SafeText(error).c_str());
        return kCannotStart;
    }
    std::FILE *capture = nullptr;
    if (!capturePath.empty() && (capture = std::fopen(capturePath.c_str(), "w")) == nullptr) {
        std::fprintf(stderr, "gpio-tap: %s: %s\n", gpio_tools::SafeText(capturePath).c_str(), std::strerror(errno));
        return kCannotStart;
    }
    gpio_tap::PcapFile pcap;
    if (!pcapPath.empty() && !pcap.Open(pcapPath, gpio_tap::PcapFile::WallClockUs())) {
        if (capture != nullptr) {
            std::fclose(capture);
        }
        return kCannotStart;
    }

    int status = kStopped;
    try {
        gpio_tools::PtyPort pty;
        gpio_tools::PortLink portLink;
        if (!link.empty() && !portLink.Create("gpio-tap", link, pty.SlavePath())) {
            status = kCannotStart;
        } else {
            gpio_tools::AnnouncePort(pty.PortName(), pty.SlavePath(), link, json);
            gpio_tap::TapDecoder decoder(PrintTo(stdout, json));
            std::optional<gpio_tap::CaptureWriter> writer;
            if (capture != nullptr) {
                writer.emplace(capture);
            }
            switch (gpio_tap::TapRelay(real.Descriptor(), pty, decoder, writer ? &*writer : nullptr, pcap.Writer()).Run(stopFd)) {
            case gpio_tap::TapRelay::End::kStopped:
                break;
            case gpio_tap::TapRelay::End::kPortGone:
                PortGone(path, json);
                status = kPortGone;
                break;
            case gpio_tap::TapRelay::End::kCaptureFailed:
                std::fprintf(stderr, "gpio-tap: cannot write the capture %s: %s; stopping\n",
                             gpio_tools::SafeText(capturePath).c_str(), std::strerror(errno));
                status = kCannotStart;
                break;
            }
            PrintSummary(decoder.Counts(), json);
            portLink.Remove();
        }
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "gpio-tap: %s\n", failure.what());
        status = kCannotStart;
    }
    if (capture != nullptr && std::fclose(capture) != 0 && status == kStopped) {
        std::fprintf(stderr, "gpio-tap: cannot write the capture %s: %s\n", gpio_tools::SafeText(capturePath).c_str(),
                     std::strerror(errno));
        status = kCannotStart;
    }
    if (!pcap.Close() && status == kStopped) {
        status = kCannotStart;
    }
    close(stopFd);
    return status;
}

// The program; main() checks its output when it ends.
int Main(int argc, char **argv)
{
    Arguments args;
    gpio_tools::CommandLine line("gpio-tap", "[OPTIONS] [--port] PORT\n--replay FILE [--json] [--pcap FILE]",
                                 "Opens the controller's serial port PORT as the library opens a port\n"
                                 "(exclusively, 38400 baud 8N1), makes a pseudo-terminal for the\n"
                                 "application, relays every byte both ways and prints every frame,\n"
                                 "until SIGINT or SIGTERM. Or prints the trace of a capture.");
    Declare(line, args);
    const int parsed = line.Parse(argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    const std::vector<std::string> &operands = line.OperandValues();
    if (!operands.empty() && !args.port.empty()) {
        return line.UsageError("the port is given twice: " + operands[0] + " and --port " + args.port);
    }
    if (!operands.empty()) {
        args.port = operands[0];
    }
    if (!args.replay.empty()) {
        if (!args.port.empty() || !args.link.empty() || !args.capture.empty()) {
            return line.UsageError("--replay takes no port, --link or --capture");
        }
        // Writing the pcap would empty the capture before it is read.
        if (!args.pcap.empty() && SameFile(args.replay, args.pcap)) {
            return line.UsageError("--pcap " + args.pcap + " is the capture that --replay reads; give the pcap " +
                                   "a file of its own");
        }
        return Replay(args.replay, args.json, args.pcap);
    }
    if (args.port.empty()) {
        return line.UsageError("no port given; name the controller's port, e.g. --port ttyUSB0");
    }
    return Relay(args.port, args.link, args.capture, args.json, args.pcap);
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpio-tap", Main(argc, argv)); }
