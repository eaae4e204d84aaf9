#include "interface/line_after_failure.h"

#include "link/frame_receiver.h"

namespace gpiolink {
namespace {

// The last failed exchange of the open interface: one is enough, since
// every exchange on the port settles the one before it.
struct FailedExchange {
    bool pending = false;
    PortHandle port = nullptr;
    std::uint64_t identity = 0;  // 0: the device could not be named
    std::uint32_t at = 0;
};

FailedExchange g_failed;

}  // namespace

void AwaitSilence(const SerialServices &os, PortHandle port, std::uint32_t lastHeard)
{
    const std::uint32_t start = os.tickMilliseconds();
    for (std::uint32_t now = start; static_cast<std::uint32_t>(now - lastHeard) < kSilenceTimeoutMs;
         now = os.tickMilliseconds()) {
        if (static_cast<std::uint32_t>(now - start) >= kReceiveLimitMs) {
            return;
        }
        const bool heard = os.countWaitingBytes(port) != 0;
        // A port that refuses the purge is not usable: the exchange's own
        // purge then ends the call at once.
        if (!os.purgeReceiveQueue(port)) {
            return;
        }
        if (heard) {
            lastHeard = now;
        }
        const std::uint32_t left = kSilenceTimeoutMs - static_cast<std::uint32_t>(now - lastHeard);
        os.waitForInput(port, left < kPollIntervalMs ? left : kPollIntervalMs);
    }
}

void NoteFailedExchange(PortHandle port, std::uint64_t identity, std::uint32_t at)
{
    g_failed = {true, port, identity, at};
}

void FollowOpenedPort(PortHandle port, std::uint64_t identity)
{
    if (!g_failed.pending) {
        return;
    }
    if (identity != 0 && identity == g_failed.identity) {
        g_failed.port = port;
    } else if (g_failed.port == port) {
        g_failed.pending = false;
    }
}

void SettleAfterFailure(const SerialServices &os, PortHandle port)
{
    if (!g_failed.pending || g_failed.port != port) {
        return;
    }
    g_failed.pending = false;
    AwaitSilence(os, port, g_failed.at);
}

}  // namespace gpiolink
