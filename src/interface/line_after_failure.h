// The line after a failed exchange: a reply frame carries no request
// number, so a reply that comes after its call gave up (a time-out), or a
// good frame that follows a damaged one, would be taken as the answer to
// whatever request is sent next on that line. After such a failure the
// line is first let fall silent, discarding what still arrives, before
// anything else uses it: the next exchange on the port, the close that
// hands the port to a later open or to the next process, and the close of
// a discovery probe. Healthy exchanges and opens never wait.
#ifndef GPIOLINK_INTERFACE_LINE_AFTER_FAILURE_H
#define GPIOLINK_INTERFACE_LINE_AFTER_FAILURE_H

#include <cstdint>

#include "link/serial_services.h"

namespace gpiolink {

// Waits until nothing has arrived on `port` for kSilenceTimeoutMs, counted
// from `lastHeard` (the tick of the failure), purging whatever arrives
// meanwhile. Gives up after kReceiveLimitMs on a line that never falls
// silent, and at once on a port that refuses the purge.
void AwaitSilence(const SerialServices &os, PortHandle port, std::uint32_t lastHeard);

// Notes that the exchange on the open interface's `port` failed at tick
// `at` with a time-out or a damaged reply. `identity` names the device
// (SerialServices::identifyPort), so that the note follows the device to
// a handle of a later open.
void NoteFailedExchange(PortHandle port, std::uint64_t identity, std::uint32_t at);

// Called when the interface opens `port`: a failure noted on the same
// device through another handle, left open without a close, now applies
// to this handle; a note on another device that happened to have this
// handle value no longer applies.
void FollowOpenedPort(PortHandle port, std::uint64_t identity);

// Before an exchange on `port` and before it is closed: if the last
// failure was noted on it, waits for silence (AwaitSilence) and clears the
// note. Otherwise returns at once.
void SettleAfterFailure(const SerialServices &os, PortHandle port);

}  // namespace gpiolink

#endif  // GPIOLINK_INTERFACE_LINE_AFTER_FAILURE_H
