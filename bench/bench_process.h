// What the benchmarks of the tools need of the processes they start: a
// program in the background, a free port on 127.0.0.1, and the CPU time
// and memory of a process as /proc tells them.
#ifndef GPIOLINK_BENCH_BENCH_PROCESS_H
#define GPIOLINK_BENCH_BENCH_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace gpiolink_bench {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to);

// Sleeps before the next sample for `least` and a random part of `interval`,
// so that samples fall at every phase of a poll of that interval.
void SampleGap(std::mt19937 &random, std::chrono::milliseconds least, std::chrono::milliseconds interval);

// A program run in the background, its output to a file; stopped with
// SIGTERM (SIGKILL after 5 s) when it goes out of scope.
class Child {
public:
    Child(const std::vector<std::string> &arguments, const std::filesystem::path &log);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A TCP port of 127.0.0.1 that was free a moment ago.
int FreePort();
// Whether something accepts connections on that port of 127.0.0.1.
bool Listening(int port);

// CPU seconds (user + system) of a process, from /proc/PID/stat.
double CpuSeconds(pid_t pid);
// A line of /proc/PID/status in MB, such as VmRSS or VmHWM.
double StatusMb(pid_t pid, const std::string &key);

}  // namespace gpiolink_bench

#endif  // GPIOLINK_BENCH_BENCH_PROCESS_H
