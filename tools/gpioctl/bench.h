// gpioctl bench: the rate and latency of input exchanges.
#ifndef GPIOCTL_BENCH_H
#define GPIOCTL_BENCH_H

#include "gpiolink.h"
#include "report.h"

namespace gpioctl {

// Times `count` input exchanges on port 0 and reports their rate and
// latency; on a terminal it shows its progress on stderr, and Ctrl-C stops
// it with the figures so far (`stopped`). Returns the last result.
int Bench(HANDLE handle, unsigned count, Report &report, bool &stopped);

}  // namespace gpioctl

#endif  // GPIOCTL_BENCH_H
