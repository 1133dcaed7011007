#pragma once
// CPU time and wake-ups of the calling process and of each of its threads, read from /proc.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace bench {

struct ThreadSample {
  std::string Name;
  uint64_t CpuTicks = 0;  // utime + stime in clock ticks
  uint64_t Switches = 0;  // voluntary + involuntary context switches (about one per wake-up)
};

struct ProcessSample {
  int64_t At = 0;         // CLOCK_MONOTONIC, ns
  uint64_t CpuTicks = 0;  // /proc/self/stat utime + stime
  int64_t CpuNs = 0;      // CLOCK_PROCESS_CPUTIME_ID
  std::map<pid_t, ThreadSample> Threads;
};

ProcessSample SampleProcess();

// Prints the process's CPU over the interval as a share of one core (from /proc/self/stat and
// from the process CPU clock), and the wake-ups of each thread that lived through it.
// Returns the share in percent from /proc/self/stat.
double ReportCpu(const std::string& label, const ProcessSample& before, const ProcessSample& after,
                 double goalPercent, double goalWakeups);

}  // namespace bench
