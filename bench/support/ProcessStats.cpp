#include "bench/support/ProcessStats.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "bench/support/Bench.h"

namespace bench {

namespace {

// utime + stime of a stat line; the command name in parentheses may hold spaces.
uint64_t StatCpu(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string line;
  std::getline(in, line);
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::vector<std::string> f;
  std::string s;
  while (fields >> s) f.push_back(s);
  // After the name: state(3) ppid pgrp session tty_nr tpgid flags minflt cminflt majflt
  // cmajflt utime(14) stime(15); f[0] is field 3.
  if (f.size() < 13) return 0;
  return std::strtoull(f[11].c_str(), nullptr, 10) + std::strtoull(f[12].c_str(), nullptr, 10);
}

uint64_t Switches(const std::string& statusPath) {
  std::ifstream in(statusPath);
  std::string line;
  uint64_t n = 0;
  while (std::getline(in, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      n += std::strtoull(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
    }
  }
  return n;
}

}  // namespace

ProcessSample SampleProcess() {
  ProcessSample p;
  p.At = NowNs();
  p.CpuTicks = StatCpu("/proc/self/stat");
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  p.CpuNs = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string base = std::string("/proc/self/task/") + e->d_name;
      ThreadSample t;
      std::ifstream comm(base + "/comm");
      std::getline(comm, t.Name);
      t.CpuTicks = StatCpu(base + "/stat");
      t.Switches = Switches(base + "/status");
      p.Threads[static_cast<pid_t>(std::atoi(e->d_name))] = t;
    }
    closedir(d);
  }
  return p;
}

double ReportCpu(const std::string& label, const ProcessSample& before, const ProcessSample& after,
                 double goalPercent, double goalWakeups) {
  const double seconds = static_cast<double>(after.At - before.At) / 1e9;
  const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double statCpu = static_cast<double>(after.CpuTicks - before.CpuTicks) / hz;
  const double clockCpu = static_cast<double>(after.CpuNs - before.CpuNs) / 1e9;
  const double percent = 100.0 * statCpu / seconds;
  std::printf(
      "%s: %.1f ms CPU over %.2f s from /proc/self/stat = %.3f%% of one core (goal < %.1f%%);"
      " process CPU clock %.2f ms = %.4f%%\n",
      label.c_str(), statCpu * 1000, seconds, percent, goalPercent, clockCpu * 1000,
      100.0 * clockCpu / seconds);
  uint64_t total = 0;
  std::string perThread;
  for (const auto& [tid, a] : after.Threads) {
    auto b = before.Threads.find(tid);
    if (b == before.Threads.end()) continue;
    const uint64_t wakes = a.Switches - b->second.Switches;
    total += wakes;
    char s[96];
    std::snprintf(s, sizeof s, " %d:%.0f/s", tid, static_cast<double>(wakes) / seconds);
    perThread += s;
  }
  std::printf("  wake-ups %.1f/s in all (goal <= %.0f/s); per thread:%s\n",
              static_cast<double>(total) / seconds, goalWakeups, perThread.c_str());
  std::fflush(stdout);
  return percent;
}

}  // namespace bench
