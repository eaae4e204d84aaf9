// The trace line of gpio-sim and gpio-tap: the time since the start, the
// direction, the wire bytes in hex and what they mean,
//      12.345 ms  host->sim  02 00 40 49 02 1F 2A 03  input port 2
// or the same as one JSON object per line for machines:
//   {"ms":12.345,"dir":"host->sim","event":"request","hex":"02 00 ...",
//    "meaning":"input port 2"}
#ifndef GPIO_SIM_TRACE_FORMAT_H
#define GPIO_SIM_TRACE_FORMAT_H

#include <cstdio>
#include <string>

#include "wire_codec.h"

namespace gpio_sim {

struct TraceEntry {
    double ms = 0.0;        // since the start of the trace
    std::string direction;  // nine characters wide, e.g. "host->sim"
    Bytes bytes;            // may be empty (a silence, a dropped reply)
    std::string event;      // a word for machines; left out of the JSON when empty
    std::string meaning;
};

// "02 00 40", upper case, one space apart.
std::string HexBytes(const Bytes &bytes);

// A JSON string literal of `text`, control characters and bytes outside
// ASCII escaped so that any version text makes valid JSON.
std::string JsonString(const std::string &text);

// One line without its newline.
std::string TraceText(const TraceEntry &entry);
std::string TraceJson(const TraceEntry &entry);

// Writes a line of either kind to `out` and flushes it, so a reader of a
// pipe sees every frame as it happens.
void WriteTrace(std::FILE *out, const TraceEntry &entry, bool json);

}  // namespace gpio_sim

#endif  // GPIO_SIM_TRACE_FORMAT_H
