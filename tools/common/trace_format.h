// The trace line of gpio-sim, gpio-tap and gpioctl --trace: the time since
// the start, the direction, the wire bytes in hex and what they mean,
//      12.345 ms  host->dev  02 00 40 49 02 1F 2A 03  input port 2
// or the same as one JSON object per line for machines:
//   {"ms":12.345,"dir":"host->dev","event":"request","hex":"02 00 ...",
//    "meaning":"input port 2"}
// The directions are the same in every tool: host->dev for what the
// application sends, dev->host for what the controller (real or simulated)
// sends, and "note" for what the tool itself observes (a silence).
#ifndef GPIO_TOOLS_TRACE_FORMAT_H
#define GPIO_TOOLS_TRACE_FORMAT_H

#include <cstdio>
#include <string>

#include "text_output.h"
#include "wire_codec.h"

namespace gpio_tools {

// The directions, nine characters wide so that the columns line up.
constexpr const char *kHostToDevice = "host->dev";
constexpr const char *kDeviceToHost = "dev->host";
constexpr const char *kNote = "note     ";

struct TraceEntry {
    double ms = 0.0;        // since the start of the trace
    std::string direction;  // one of the three above
    Bytes bytes;            // may be empty (a silence, a dropped reply)
    std::string event;      // a word for machines; left out of the JSON when empty
    std::string meaning;
};

// "02 00 40", upper case, one space apart.
std::string HexBytes(const Bytes &bytes);

// One line without its newline.
std::string TraceText(const TraceEntry &entry);
std::string TraceJson(const TraceEntry &entry);

// Writes a line of either kind to `out` and flushes it, so a reader of a
// pipe sees every frame as it happens.
void WriteTrace(std::FILE *out, const TraceEntry &entry, bool json);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_TRACE_FORMAT_H
