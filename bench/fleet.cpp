// fleet: vexilora-flash updating 1, 4, 8, 16 and 32 simulated Vexilora devices at once, each
// on a link paced like a real 115200 8N1 line, under umockdev (run it with umockdev's preload).
// The devices sit behind USB hubs as a bench would have them: a seven-port hub on the root
// port, with seven-port hubs on its ports (locations 1-1.<hub>.<port>). Prints the wall time of
// each fleet against one device alone, and the updater's CPU time and wake-ups per device
// while the transfers run (with the wake-ups of its busiest thread).
//
//   fleet --flash PATH [--counts 1,4,8,16,32] [--rounds N]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/Bench.h"
#include "tests/support/MockUsb.h"
#include "tools/vexilora-sim/Simulator.h"

extern char** environ;

namespace {

// What the scheduler says of each thread of a process: CPU time in nanoseconds (finer than
// the clock ticks of /proc/<pid>/stat) and how often it woke (context switches, voluntary and
// not). The port threads live through a transfer, so none is lost between two samples taken
// while the transfers run.
struct TThreadSample {
  int64_t CpuNs = 0;
  int64_t Switches = 0;
};
using TProcessSample = std::map<std::string, TThreadSample>;  // by thread id

TProcessSample SampleOf(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  TProcessSample sample;
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return sample;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    TThreadSample& t = sample[entry->d_name];
    std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
    stat >> t.CpuNs;
    std::ifstream status(tasks + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        t.Switches += std::atoll(line.c_str() + line.find(':') + 1);
    }
  }
  closedir(dir);
  return sample;
}

int64_t CpuNsOf(const TProcessSample& s) {
  int64_t total = 0;
  for (const auto& [tid, t] : s) total += t.CpuNs;
  return total;
}

struct TRound {
  bool Ok = false;
  double WallSeconds = 0;
  double TransferSeconds = 0;  // first transfer begun to last transfer at 100 %
  double CpuPercentPerDevice = 0;
  double WakesPerDevice = 0;  // a second, all threads
  double BusiestWakes = 0;    // a second, the thread that woke most
};

TRound RunFleet(const std::string& flash, int devices) {
  TRound round;
  TMockUsb usb;
  std::vector<std::unique_ptr<vexsim::TSimulator>> sims;
  for (int i = 0; i < devices; ++i) {
    TUsbDescription where;
    where.Location = "1-1." + std::to_string(1 + i / 7) + "." + std::to_string(1 + i % 7);
    TMockDevice device = usb.PlugIn(where);
    vexsim::TOptions options;
    options.PaceLine = true;
    options.HangUp = [](int) {};
    sims.push_back(std::make_unique<vexsim::TSimulator>(options));
    sims.back()->Start(device.Master);
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return round;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args = {flash, "update", "--all", "--json"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int64_t start = bench::NowNs();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, flash.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return round;
  }
  std::string pending;
  int transfers = 0, finished = 0, results = 0, updated = 0;
  int64_t transferStart = 0, transferEnd = 0;
  TProcessSample sampleStart, sampleEnd;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1)) {
      const std::string line = pending.substr(0, eol);
      if (line.find("\"event\":\"transfer\"") != std::string::npos && transfers++ == 0) {
        transferStart = bench::NowNs();
        sampleStart = SampleOf(pid);
      }
      if (line.find("\"event\":\"progress\"") != std::string::npos &&
          line.find("\"percent\":100") != std::string::npos && ++finished == devices) {
        transferEnd = bench::NowNs();
        sampleEnd = SampleOf(pid);
      }
      if (line.find("\"event\":\"result\"") != std::string::npos) {
        ++results;
        if (line.find("\"result\":\"updated\"") != std::string::npos) ++updated;
      }
    }
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const int64_t end = bench::NowNs();
  round.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && updated == devices &&
             transferEnd > transferStart;
  if (!round.Ok)
    std::printf("  round failed: exit %d, %d of %d updated\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, updated, devices);
  round.WallSeconds = static_cast<double>(end - start) / 1e9;
  round.TransferSeconds = static_cast<double>(transferEnd - transferStart) / 1e9;
  const double cpuSeconds = static_cast<double>(CpuNsOf(sampleEnd) - CpuNsOf(sampleStart)) / 1e9;
  int64_t wakes = 0, busiest = 0;
  for (const auto& [tid, end] : sampleEnd) {
    const auto begun = sampleStart.find(tid);
    const int64_t n = end.Switches - (begun == sampleStart.end() ? 0 : begun->second.Switches);
    wakes += n;
    busiest = std::max(busiest, n);
  }
  if (round.TransferSeconds > 0) {
    round.CpuPercentPerDevice = 100.0 * cpuSeconds / round.TransferSeconds / devices;
    round.WakesPerDevice = static_cast<double>(wakes) / round.TransferSeconds / devices;
    round.BusiestWakes = static_cast<double>(busiest) / round.TransferSeconds;
  }
  return round;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The goal for a fleet's wall time against one device alone: 8 devices within 1.10 x, more
// within 1.15 x; smaller fleets have none.
double WallGoal(int devices) { return devices >= 16 ? 1.15 : devices >= 8 ? 1.10 : 0; }

// The CPU the updater may spend per device while transferring, in per cent of one core.
constexpr double kCpuGoal = 0.5;

}  // namespace

int main(int argc, char** argv) {
  std::string flash;
  std::vector<int> counts = {1, 4, 8, 16, 32};
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flash" && i + 1 < argc) {
      flash = argv[++i];
    } else if (arg == "--counts" && i + 1 < argc) {
      counts.clear();
      std::istringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');)
        counts.push_back(std::atoi(item.c_str()));
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: fleet --flash PATH [--counts 1,4,8,16,32] [--rounds N]\n");
      return 2;
    }
  }
  if (flash.empty() || counts.empty() || counts.front() < 1) {
    std::fprintf(stderr, "usage: fleet --flash PATH [--counts 1,4,8,16,32] [--rounds N]\n");
    return 2;
  }
  // 32 devices: their ptys, the mock's and the simulators' descriptors.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::printf("vexilora-flash update --all, devices paced at 115200 8N1, median of %d rounds\n",
              rounds);
  bool ok = true;
  double single = 0;
  for (int n : counts) {
    std::vector<double> wall, transfer, cpu, wakes, busiest;
    for (int r = 0; r < rounds; ++r) {
      const TRound round = RunFleet(flash, n);
      ok = ok && round.Ok;
      wall.push_back(round.WallSeconds);
      transfer.push_back(round.TransferSeconds);
      cpu.push_back(round.CpuPercentPerDevice);
      wakes.push_back(round.WakesPerDevice);
      busiest.push_back(round.BusiestWakes);
    }
    const double w = Median(wall);
    if (n == counts.front()) single = w;
    const double ratio = single > 0 ? w / single : 0;
    const double c = Median(cpu);
    const double goal = WallGoal(n);
    char wallGoal[64] = "";
    if (goal > 0)
      std::snprintf(wallGoal, sizeof wallGoal, " (goal <= %.2f: %s)", goal,
                    ratio <= goal ? "met" : "MISSED");
    std::printf(
        "%d device(s): wall %.2f s (transfers %.2f s), %.2f x one device%s; CPU %.3f %% of a "
        "core per device while transferring (goal < %.1f %%)%s; %.0f wake-ups a second per "
        "device, the busiest thread %.0f\n",
        n, w, Median(transfer), ratio, wallGoal, c, kCpuGoal, c < kCpuGoal ? "" : " MISSED",
        Median(wakes), Median(busiest));
    std::fflush(stdout);
    if (goal > 0 && ratio > goal) ok = false;
    if (c >= kCpuGoal) ok = false;
  }
  return ok ? 0 : 1;
}
