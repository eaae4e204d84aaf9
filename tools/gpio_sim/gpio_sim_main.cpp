// gpio-sim: plays the digital I/O controller on a pseudo-terminal until
// SIGINT or SIGTERM. Prints the port to open first, for scripts to read.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "port_link.h"
#include "pty_simulator.h"
#include "stdin_commands.h"

namespace {

void PrintHelp(std::FILE *out)
{
    std::fprintf(out,
                 "Usage: gpio-sim [options]\n"
                 "\n"
                 "Simulates the digital I/O controller on a pseudo-terminal and serves\n"
                 "requests until SIGINT or SIGTERM. The first lines on stdout are\n"
                 "  port: pts/N        the name to open (relative to /dev/)\n"
                 "  path: /dev/pts/N   the full path of the port\n"
                 "  link: PATH         only with --link\n"
                 "\n"
                 "Options:\n"
                 "  --version-text TEXT  text of the version reply (default \"GPIO-SIM 1.0\";\n"
                 "                       discovery needs it to start with \"GPIO-\")\n"
                 "  --delay MS           wait MS milliseconds before every reply\n"
                 "  --pace               write replies at the pace of 38400 baud, one byte\n"
                 "                       about every 260 us\n"
                 "  --trace              print every frame, both directions, to stderr\n"
                 "  --magic-ports        let the port numbers below provoke faults\n"
                 "  --link PATH          create the symbolic link PATH to the port (an\n"
                 "                       existing link is replaced) and remove it on exit\n"
                 "  --help               this text\n"
                 "\n"
                 "Lines on standard input change the ports from outside while it serves,\n"
                 "as a wire or a switch would (numbers in decimal or 0x hex):\n"
                 "  set PORT VALUE [MASK]  drive the pins of PORT in MASK (default 0xFF) to\n"
                 "                         VALUE: the next Input of PORT reads VALUE there\n"
                 "  release PORT           stop driving PORT: it reads its latch again\n"
                 "Each is confirmed on stderr, e.g. \"gpio-sim: port 1 reads 0x0F (pins 0xFF\n"
                 "driven)\".\n"
                 "\n"
                 "Faults on the line, for testing an application against a bad\n"
                 "connection (P is a probability from 0.0 to 1.0):\n"
                 "  --drop-rate P        leave out each reply byte with probability P\n"
                 "  --corrupt-rate P     flip one random bit of each reply byte with\n"
                 "                       probability P\n"
                 "  --delay-rate P       hold back a reply with probability P, by a\n"
                 "                       random 1 to MS ms on top of --delay\n"
                 "  --delay-max MS       the longest such delay, 1-60000 (default 80)\n"
                 "  --silence-rate P     send no reply at all with probability P\n"
                 "  --seed N             seed of the random faults, 0-4294967295\n"
                 "                       (default 1); the same seed and the same requests\n"
                 "                       give the same faults\n"
                 "  --status CMD=0xNN    answer every request of command CMD (I, O, T, BS,\n"
                 "                       BC or V) with the status byte NN alone, after\n"
                 "                       carrying it out; repeatable, e.g.\n"
                 "                       --status I=0xFF --status V=0xFE\n"
                 "The device still carries out every valid request; faults only touch\n"
                 "its reply on the way back. Magic ports take priority: their replies get\n"
                 "neither --status nor random faults. A --status reply goes through the\n"
                 "faults like any other. With --trace, faulted replies are marked \"[N bytes dropped]\",\n"
                 "\"[N bytes corrupted]\", \"[delayed N ms]\" or \"[silenced]\". On exit\n"
                 "a line on stderr counts the requests and the faulted replies.\n"
                 "\n"
                 "Device: ports 0-3 of 8 bits, bits 0-7. Input reads the output latch, or\n"
                 "the level a set line drives.\n"
                 "Commands: I port | O port value | T port bit | BS port bit |\n"
                 "          BC port bit | V.\n"
                 "\n"
                 "Reply status bytes:\n"
                 "  0x00  success\n"
                 "  0xFD  malformed request (empty or wrong length for its command)\n"
                 "  0xFE  unknown command\n"
                 "  0xFF  port or bit number out of range\n"
                 "A request with a bad CRC, or whose second address byte is not 0x40,\n"
                 "gets no reply.\n"
                 "\n"
                 "Magic ports (with --magic-ports): a request whose port operand is one of\n"
                 "these is carried out on port 0, and its reply is shaped as listed:\n");
    const std::string table = gpio_sim::MagicPortsHelp();
    std::size_t at = 0;
    while (at < table.size()) {
        const std::size_t end = table.find('\n', at);
        std::fprintf(out, "  %s\n", table.substr(at, end - at).c_str());
        at = end + 1;
    }
}

bool ParseMilliseconds(const char *text, unsigned &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed > 60000 || text[0] == '-') {
        return false;
    }
    value = static_cast<unsigned>(parsed);
    return true;
}

bool ParseRate(const char *text, double &value)
{
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    // Written this way round so that NaN fails too.
    if (errno != 0 || end == text || *end != '\0' || !(parsed >= 0.0 && parsed <= 1.0)) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseSeed(const char *text, std::uint32_t &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed > 0xFFFFFFFFULL || text[0] == '-') {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

// "I=0xFF" or "BS=253": a command name and a status byte, hex with 0x or
// decimal.
bool ParseStatusOverride(const std::string &text, gpio_sim::SimOptions &options)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    const std::string command = text.substr(0, equals);
    const std::string number = text.substr(equals + 1);
    if (gpio_sim::CommandNamed(command) == gpio_sim::Command::kUnknown || number.empty() || number[0] == '-') {
        return false;
    }
    const bool hex = number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X');
    char *end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(number.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == number.c_str() || *end != '\0' || parsed > 0xFF) {
        return false;
    }
    options.statusOverride[command] = static_cast<std::uint8_t>(parsed);
    return true;
}

void PrintStats(const gpio_sim::PtySimulator::Stats &stats)
{
    std::fprintf(stderr,
                 "gpio-sim: %llu requests (%llu ignored), %llu replies intact, %llu faulted: "
                 "%llu silenced, %llu with dropped bytes (%llu bytes), %llu with corrupted bytes "
                 "(%llu bytes), %llu delayed\n",
                 static_cast<unsigned long long>(stats.requests), static_cast<unsigned long long>(stats.ignored),
                 static_cast<unsigned long long>(stats.intact), static_cast<unsigned long long>(stats.faulted),
                 static_cast<unsigned long long>(stats.silenced),
                 static_cast<unsigned long long>(stats.withDroppedBytes),
                 static_cast<unsigned long long>(stats.droppedBytes),
                 static_cast<unsigned long long>(stats.withCorruptedBytes),
                 static_cast<unsigned long long>(stats.corruptedBytes),
                 static_cast<unsigned long long>(stats.delayed));
}

}  // namespace

int main(int argc, char **argv)
{
    gpio_sim::SimOptions options;
    // The program runs until stopped; a history of every frame would only grow.
    options.keepHistory = false;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            PrintHelp(stdout);
            return 0;
        } else if (arg == "--version-text" && hasValue) {
            options.versionText = argv[++i];
        } else if (arg == "--delay" && hasValue) {
            if (!ParseMilliseconds(argv[++i], options.replyDelayMs)) {
                std::fprintf(stderr, "gpio-sim: --delay wants milliseconds (0-60000), not %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--pace") {
            options.pace38400 = true;
        } else if (arg == "--trace") {
            options.trace = stderr;
        } else if (arg == "--magic-ports") {
            options.magicPorts = true;
        } else if (arg == "--link" && hasValue) {
            link = argv[++i];
        } else if ((arg == "--drop-rate" || arg == "--corrupt-rate" || arg == "--delay-rate" ||
                    arg == "--silence-rate") &&
                   hasValue) {
            double &rate = arg == "--drop-rate"      ? options.dropRate
                           : arg == "--corrupt-rate" ? options.corruptRate
                           : arg == "--delay-rate"   ? options.delayRate
                                                     : options.silenceRate;
            if (!ParseRate(argv[++i], rate)) {
                std::fprintf(stderr, "gpio-sim: %s wants a probability from 0.0 to 1.0, not %s\n", arg.c_str(),
                             argv[i]);
                return 2;
            }
        } else if (arg == "--delay-max" && hasValue) {
            if (!ParseMilliseconds(argv[++i], options.delayMaxMs) || options.delayMaxMs == 0) {
                std::fprintf(stderr, "gpio-sim: --delay-max wants milliseconds (1-60000), not %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--seed" && hasValue) {
            if (!ParseSeed(argv[++i], options.seed)) {
                std::fprintf(stderr, "gpio-sim: --seed wants a number from 0 to 4294967295, not %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--status" && hasValue) {
            if (!ParseStatusOverride(argv[++i], options)) {
                std::fprintf(stderr,
                             "gpio-sim: --status wants CMD=0xNN with CMD one of I, O, T, BS, BC, V and a "
                             "byte 0x00-0xFF, not %s\n",
                             argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "gpio-sim: bad option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }

    // Block the stop signals before the serving thread starts, so it
    // inherits the mask and only sigwait() below ever takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        gpio_sim::PtySimulator simulator(options);
        const std::string path = simulator.SlavePath();
        if (!link.empty() && !gpio_sim::MakeLink("gpio-sim", link, path)) {
            return 1;
        }
        std::printf("port: %s\npath: %s\n", simulator.PortName().c_str(), path.c_str());
        if (!link.empty()) {
            std::printf("link: %s\n", link.c_str());
        }
        std::fflush(stdout);

        // Serves `set PORT VALUE` lines of stdin until a stop signal.
        gpio_sim::ServeStdinUntilSignal(simulator.Model(), stopSignals, stderr);
        if (!link.empty()) {
            gpio_sim::RemoveLink(link, path);
        }
        PrintStats(simulator.GetStats());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "gpio-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
