// station: vexilora-flash in station mode (update --wait) over many plug cycles under umockdev
// (run it with umockdev's preload). Devices are plugged in a few at a time, updated with a small
// image, and pulled out again; between rounds, with no device left, it samples the program's
// resident memory, threads and open descriptors and counts the private folders left behind.
// A station that forgets what it is done with stays flat.
//
// --busy N runs N threads that only spin beside it, for as long as the cycles run: a busy
// machine, on which a device's replies reach the program in other bunches than on a quiet
// one (every device must still be updated).
//
//   station --flash PATH [--cycles 1000] [--parallel 10] [--samples 0,250,500,1000] [--busy N]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/Bench.h"
#include "tests/support/MockUsb.h"
#include "tools/vexilora-sim/Simulator.h"

extern char** environ;

namespace {

// A number from /proc/<pid>/status ("VmRSS:", "Threads:").
long StatusValue(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

int CountEntries(const std::string& folder, const std::string& prefix = "") {
  int n = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) ++n;
    }
    closedir(dir);
  }
  return n;
}

struct TSample {
  int Cycles = 0;
  long RssKiB = 0;
  long Threads = 0;
  int Fds = 0;
  int Folders = 0;
};

// The program's output, read as it comes: result events counted.
class TOutput {
 public:
  explicit TOutput(int fd) : fd_(fd) {}
  // Reads for at most ms; false when the program has closed its output.
  bool Read(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buffer[8192];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    for (size_t eol; (eol = pending_.find('\n')) != std::string::npos; pending_.erase(0, eol + 1)) {
      const std::string line = pending_.substr(0, eol);
      if (line.find("\"event\":\"waiting\"") != std::string::npos) waiting = true;
      if (line.find("\"event\":\"found\"") != std::string::npos) ++found;
      if (line.find("\"event\":\"result\"") != std::string::npos) {
        ++results;
        if (line.find("\"result\":\"updated\"") == std::string::npos) {
          ++failed;
          if (failed <= 5) std::printf("  not updated: %s\n", line.c_str());
        }
      }
    }
    return true;
  }
  bool waiting = false;
  int found = 0;
  int results = 0;
  int failed = 0;

 private:
  int fd_;
  std::string pending_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string flash;
  int cycles = 1000;
  int parallel = 10;
  std::vector<int> samples = {0, 250, 500, 1000};
  int busy = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flash" && i + 1 < argc) {
      flash = argv[++i];
    } else if (arg == "--cycles" && i + 1 < argc) {
      cycles = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--parallel" && i + 1 < argc) {
      parallel = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--busy" && i + 1 < argc) {
      busy = std::max(0, std::atoi(argv[++i]));
    } else if (arg == "--samples" && i + 1 < argc) {
      samples.clear();
      std::istringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');)
        samples.push_back(std::atoi(item.c_str()));
    } else {
      flash.clear();
      break;
    }
  }
  if (flash.empty()) {
    std::fprintf(stderr,
                 "usage: station --flash PATH [--cycles 1000] [--parallel 10] "
                 "[--samples 0,250,500,1000] [--busy N]\n");
    return 2;
  }
  // Every pty the mock makes stays with it until it ends: one per cycle.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  bench::TempDir dir;
  const std::string run = dir.Path() + "/run";
  mkdir(run.c_str(), 0700);
  // A small image: the cycles measure what the station keeps, not the line.
  std::string image = std::string("VERSW=2.0.0.3452\n") + '\0';
  image += bench::Pattern(4096, 7);
  const std::string imagePath = dir.Path() + "/image.bin";
  bench::WriteFile(imagePath, image);

  TMockUsb usb;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args = {flash, "update", "--wait", "--json", "--image", imagePath};
  std::vector<char*> argv2;
  for (std::string& a : args) argv2.push_back(a.data());
  argv2.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) env.emplace_back(*e);
  env.push_back("XDG_RUNTIME_DIR=" + run);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, flash.c_str(), &actions, nullptr, argv2.data(), envp.data()) != 0) {
    std::fprintf(stderr, "station: cannot start %s\n", flash.c_str());
    return 1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  TOutput output(out[0]);
  while (!output.waiting)
    if (!output.Read(1000)) return 1;

  std::vector<TSample> taken;
  auto sample = [&](int done) {
    // The ports of the last round close once their last bytes are out: wait for the thread
    // count to settle.
    long threads = StatusValue(pid, "Threads:");
    for (int stable = 0, i = 0; stable < 5 && i < 100; ++i) {
      output.Read(50);
      const long now = StatusValue(pid, "Threads:");
      stable = now == threads ? stable + 1 : 0;
      threads = now;
    }
    TSample s;
    s.Cycles = done;
    s.RssKiB = StatusValue(pid, "VmRSS:");
    s.Threads = threads;
    s.Fds = CountEntries("/proc/" + std::to_string(pid) + "/fd");
    s.Folders = CountEntries(run);
    taken.push_back(s);
    std::printf("  after %4d cycles: RSS %ld KiB, %ld threads, %d descriptors, %d folders\n",
                s.Cycles, s.RssKiB, s.Threads, s.Fds, s.Folders);
    std::fflush(stdout);
  };

  std::printf("vexilora-flash update --wait: %d plug cycles, %d devices at a time%s\n", cycles,
              parallel,
              busy > 0 ? (", " + std::to_string(busy) + " busy threads beside it").c_str() : "");
  std::atomic<bool> spin{busy > 0};
  std::vector<std::thread> spinners;
  for (int i = 0; i < busy; ++i)
    spinners.emplace_back([&spin] {
      volatile uint64_t n = 0;
      while (spin.load(std::memory_order_relaxed)) n = n + 1;
    });
  const std::set<int> wanted(samples.begin(), samples.end());
  if (wanted.count(0)) sample(0);
  const int64_t start = bench::NowNs();
  int done = 0;
  bool ok = true;
  while (done < cycles && ok) {
    const int now = std::min(parallel, cycles - done);
    std::vector<TMockDevice> devices;
    std::vector<std::unique_ptr<vexsim::TSimulator>> sims;
    const int expected = output.results + now;
    for (int i = 0; i < now; ++i) {
      vexsim::TOptions options;
      options.HandshakeIntervalMs = 20;
      options.KeepTranscript = false;
      options.HangUp = [](int) {};
      const int foundBefore = output.found;
      devices.push_back(usb.PlugIn());
      sims.push_back(std::make_unique<vexsim::TSimulator>(options));
      sims.back()->Start(devices.back().Master);
      // The mock's event queue to the program holds about ten events (umockdev aborts when
      // one more comes): each device is found before the next is plugged in.
      const int64_t until = bench::NowNs() + 10'000'000'000LL;
      while (output.found == foundBefore && bench::NowNs() < until)
        if (!output.Read(50)) break;
    }
    const int64_t deadline = bench::NowNs() + 60'000'000'000LL;
    while (output.results < expected && bench::NowNs() < deadline)
      if (!output.Read(100)) break;
    if (output.results < expected) {
      std::printf("  round stuck: %d of %d results\n", output.results, expected);
      ok = false;
    }
    // Removals too are spread out, for the same short queue; the program shows nothing for a
    // device it is done with, so each gets a moment.
    for (const TMockDevice& device : devices) {
      usb.PullOut(device);
      output.Read(20);
    }
    sims.clear();
    const int before = done;
    done += now;
    if (std::any_of(samples.begin(), samples.end(), [&](int s) { return s > before && s <= done; }))
      sample(done);
  }
  const double seconds = static_cast<double>(bench::NowNs() - start) / 1e9;
  spin = false;
  for (std::thread& t : spinners) t.join();
  kill(pid, SIGINT);
  while (output.Read(1000)) {
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(out[0]);
  std::printf("%d cycles in %.0f s, %d not updated\n", done, seconds, output.failed);
  if (output.failed > 0) ok = false;
  if (taken.size() >= 2) {
    const TSample& first = taken.front();
    const TSample& last = taken.back();
    const bool flat = last.Threads <= first.Threads && last.Fds <= first.Fds && last.Folders == 0 &&
                      last.RssKiB <= first.RssKiB + 4096;
    std::printf(
        "from %d to %d cycles: RSS %+ld KiB, threads %+ld, descriptors %+d, folders left %d "
        "(goal: flat; RSS within 4 MiB)%s\n",
        first.Cycles, last.Cycles, last.RssKiB - first.RssKiB, last.Threads - first.Threads,
        last.Fds - first.Fds, last.Folders, flat ? "" : " MISSED");
    if (!flat) ok = false;
  }
  return ok ? 0 : 1;
}
