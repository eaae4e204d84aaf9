// gpio-tap: sits between an application and the real controller, relays
// every byte both ways and traces every frame. Or replays a capture.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "capture_file.h"
#include "pcap_writer.h"
#include "port_link.h"
#include "pty_port.h"
#include "real_port.h"
#include "tap_decoder.h"
#include "tap_relay.h"

namespace {

// Exit statuses.
constexpr int kStopped = 0;
constexpr int kCannotStart = 1;
constexpr int kBadOptions = 2;
constexpr int kPortGone = 3;

void PrintHelp()
{
    std::printf(
        "Usage: gpio-tap [options] PORT\n"
        "       gpio-tap --replay FILE [--json] [--pcap FILE]\n"
        "\n"
        "Opens the controller's serial port PORT (ttyUSB0, or a path such as\n"
        "/dev/ttyUSB0) at 38400 baud 8N1, makes a pseudo-terminal for the\n"
        "application, relays every byte both ways and prints every frame, until\n"
        "SIGINT or SIGTERM. The first lines on stdout are\n"
        "  port: pts/N        the name the application opens (relative to /dev/)\n"
        "  path: /dev/pts/N   the full path of that port\n"
        "  link: PATH         only with --link\n"
        "then one trace line per frame: the time since the start, the direction\n"
        "(host->dev, dev->host, or tap for what the tap notices), the bytes in\n"
        "hex and what they mean. Flagged in capitals: BAD CRC, FOREIGN FRAME\n"
        "(addresses other than a request's 00 40 or a reply's 00 00), BROKEN\n"
        "FRAME, NOISE (bytes outside frames) and SILENCE (a request without a\n"
        "byte of reply within 100 ms).\n"
        "\n"
        "Options:\n"
        "  --link PATH      create the symbolic link PATH to the application's port\n"
        "                   (an existing link is replaced) and remove it on exit\n"
        "  --json           one JSON object per line instead, the port lines too:\n"
        "                   {\"ms\":..,\"dir\":..,\"event\":..,\"hex\":..,\"meaning\":..}\n"
        "                   with event request, reply, bad-crc, foreign, broken,\n"
        "                   noise or silence\n"
        "  --capture FILE   also write every byte read, with its time, to FILE\n"
        "  --replay FILE    print the trace of a capture instead; it is the trace\n"
        "                   the live run printed\n"
        "  --pcap FILE      also write every frame and run of noise, with its time\n"
        "                   and direction, as a pcap file for Wireshark (link type\n"
        "                   147, USER0; see share/gpiolink/wireshark/gpiolink.lua);\n"
        "                   with --replay, times count from the Unix epoch\n"
        "  --help           this text\n"
        "\n"
        "When the application closes the port, the tap waits for the next open.\n"
        "Exit status: 0 stopped by a signal, 1 could not start, 2 bad options,\n"
        "3 the controller's port went away (unplugged).\n");
}

gpio_tap::TapDecoder::Sink PrintTo(std::FILE *out, bool json)
{
    return [out, json](const gpio_sim::TraceEntry &entry) { gpio_sim::WriteTrace(out, entry, json); };
}

int Replay(const std::string &path, bool json, const std::string &pcapPath)
{
    gpio_tap::PcapFile pcap;
    if (!pcapPath.empty() && !pcap.Open(pcapPath, 0)) {
        return kCannotStart;
    }
    std::FILE *in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        std::perror(("gpio-tap: " + path).c_str());
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
        std::fprintf(stderr, "gpio-tap: %s: %s\n", path.c_str(), reader.Error().c_str());
        return kCannotStart;
    }
    return kStopped;
}

void Announce(const gpio_sim::PtyPort &pty, const std::string &link, bool json)
{
    if (json) {
        using gpio_sim::JsonString;
        std::printf("{\"port\":%s,\"path\":%s", JsonString(pty.PortName()).c_str(),
                    JsonString(pty.SlavePath()).c_str());
        if (!link.empty()) {
            std::printf(",\"link\":%s", JsonString(link).c_str());
        }
        std::printf("}\n");
    } else {
        std::printf("port: %s\npath: %s\n", pty.PortName().c_str(), pty.SlavePath().c_str());
        if (!link.empty()) {
            std::printf("link: %s\n", link.c_str());
        }
    }
    std::fflush(stdout);
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

    const std::string path = gpio_tap::PortPath(port);
    std::string error;
    const int realFd = gpio_tap::OpenRealPort(path, error);
    if (realFd < 0) {
        std::fprintf(stderr, "gpio-tap: %s\n", error.c_str());
        return kCannotStart;
    }
    std::FILE *capture = nullptr;
    if (!capturePath.empty() && (capture = std::fopen(capturePath.c_str(), "w")) == nullptr) {
        std::perror(("gpio-tap: " + capturePath).c_str());
        close(realFd);
        return kCannotStart;
    }

    gpio_tap::PcapFile pcap;
    if (!pcapPath.empty() && !pcap.Open(pcapPath, gpio_tap::PcapFile::WallClockUs())) {
        if (capture != nullptr) {
            std::fclose(capture);
        }
        close(realFd);
        return kCannotStart;
    }

    int status = kStopped;
    try {
        gpio_sim::PtyPort pty;
        if (!link.empty() && !gpio_sim::MakeLink("gpio-tap", link, pty.SlavePath())) {
            status = kCannotStart;
        } else {
            Announce(pty, link, json);
            gpio_tap::TapDecoder decoder(PrintTo(stdout, json));
            std::optional<gpio_tap::CaptureWriter> writer;
            if (capture != nullptr) {
                writer.emplace(capture);
            }
            gpio_tap::TapRelay relay(realFd, pty, decoder, writer ? &*writer : nullptr, pcap.Writer());
            if (relay.Run(stopFd) == gpio_tap::TapRelay::End::kPortGone) {
                std::fprintf(stderr, "gpio-tap: %s went away (unplugged?); stopping\n", path.c_str());
                status = kPortGone;
            }
            if (!link.empty()) {
                gpio_sim::RemoveLink(link, pty.SlavePath());
            }
        }
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "gpio-tap: %s\n", failure.what());
        status = kCannotStart;
    }
    if (capture != nullptr) {
        std::fclose(capture);
    }
    if (!pcap.Close() && status == kStopped) {
        status = kCannotStart;
    }
    close(realFd);
    close(stopFd);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string port;
    std::string link;
    std::string capture;
    std::string replay;
    std::string pcap;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kStopped;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--link" && hasValue) {
            link = argv[++i];
        } else if (arg == "--capture" && hasValue) {
            capture = argv[++i];
        } else if (arg == "--pcap" && hasValue) {
            pcap = argv[++i];
        } else if (arg == "--replay" && hasValue) {
            replay = argv[++i];
        } else if (arg.compare(0, 1, "-") != 0 && port.empty()) {
            port = arg;
        } else {
            std::fprintf(stderr, "gpio-tap: bad option %s (see --help)\n", arg.c_str());
            return kBadOptions;
        }
    }
    if (!replay.empty()) {
        if (!port.empty() || !link.empty() || !capture.empty()) {
            std::fprintf(stderr, "gpio-tap: --replay takes no port, --link or --capture\n");
            return kBadOptions;
        }
        return Replay(replay, json, pcap);
    }
    if (port.empty()) {
        std::fprintf(stderr, "gpio-tap: which port? (see --help)\n");
        return kBadOptions;
    }
    return Relay(port, link, capture, json, pcap);
}
