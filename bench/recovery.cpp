// recovery: the recovery matrix of both programs under umockdev (run it with umockdev's
// preload). Each case plugs a simulated device in, starts the program on it (vexilora-flash as
// a station, "update --wait"; the window in its self-driving mode, offscreen), and breaks in at
// one moment of the update: the device is pulled out, or the program is killed with SIGKILL.
// The moments are each block boundary of the image (block K: the first byte after K accepted
// blocks reaches the device) and each command of the dialogue, after it has reached the device
// and before its reply (the query's commands included). Then the user's way out:
//   pull: the device is plugged in again (it comes up in its bootloader when its application
//         was erased); a program that gave up is started again;
//   kill: the program is started afresh; a device it cannot bring back within a while is
//         re-plugged as a user would.
// A case has recovered when the program reports the update done and the device runs the
// image's version. The table gives the cases, how many recovered, the time from the break-in to
// recovery, and every case that did not recover with what happened.
//
//   recovery --flash PATH --window PATH --image PATH [--programs flash,window]
//            [--modes pull,kill] [--moments TEXT,...] [--password P] [--smoke]
//   --moments: only the moments whose label contains one of the texts (e.g. "block 20,loader")
//   --password: the devices are locked with P (ASCII), which the programs are given

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/Bench.h"
#include "tests/support/MockUsb.h"
#include "tools/vexilora-sim/Simulator.h"

extern char** environ;

namespace {

const std::string kTargetVersion = "2.0.0.3452";

enum class TProgram { Flash, Window };
enum class TBreak { Pull, Kill };

const char* Name(TProgram p) { return p == TProgram::Flash ? "vexilora-flash" : "vexilora-update"; }
const char* Name(TBreak b) { return b == TBreak::Pull ? "pull" : "kill"; }

struct TPaths {
  std::string Flash, Window, Image, Work;
  // The devices' password (empty: none); the programs are given it.
  std::string Password;
};

// One run of a program: a child whose output is read line by line.
class TChild {
 public:
  // A station (update --wait) takes devices as they are plugged in; otherwise vexilora-flash
  // updates the one attached device, as its user runs it again after it was killed.
  TChild(TProgram program, const TPaths& paths, bool station = false) : program_(program) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, paths.Work.c_str());
    std::vector<std::string> args;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string var = *e;
      if (var.rfind("XDG_RUNTIME_DIR=", 0) == 0 || var.rfind("DISPLAY=", 0) == 0 ||
          var.rfind("WAYLAND_DISPLAY=", 0) == 0)
        continue;
      env.push_back(var);
    }
    env.push_back("XDG_RUNTIME_DIR=" + paths.Work + "/run");
    if (program == TProgram::Flash) {
      args = {paths.Flash, "update", "--json", "--image", paths.Image};
      if (station) args.insert(args.begin() + 2, "--wait");
      if (!paths.Password.empty()) args.insert(args.end(), {"--password-file", "password"});
    } else {
      args = {paths.Window};
      env.insert(env.end(), {"QT_QPA_PLATFORM=offscreen", "LC_ALL=C.UTF-8", "VEXILORA_DEMO=1",
                             "VEXILORA_DEMO_TIMEOUT=60"});
      if (!paths.Password.empty()) env.push_back("VEXILORA_DEMO_PASSWORD=" + paths.Password);
    }
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    fd_ = out[0];
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~TChild() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Reap(true);
    }
    if (fd_ >= 0) close(fd_);
  }
  pid_t Pid() const { return pid_; }

  // Reads what the program said so far; true once it reported the update done.
  bool Done() {
    char buffer[4096];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
      pending_.append(buffer, static_cast<size_t>(n)), all_.append(buffer, static_cast<size_t>(n));
    for (size_t eol; (eol = pending_.find('\n')) != std::string::npos; pending_.erase(0, eol + 1)) {
      const std::string line = pending_.substr(0, eol);
      if (line.find("\"event\":\"waiting\"") != std::string::npos ||
          line.rfind("demo: self-driving mode", 0) == 0)
        ready_ = true;
      if (line.find("\"event\":\"result\"") != std::string::npos ||
          line.rfind("demo: done", 0) == 0 || line.rfind("demo: failed", 0) == 0 ||
          line.rfind("demo: gave up", 0) == 0)
        last_ = line;
      if (program_ == TProgram::Flash ? line.find("\"result\":\"updated\"") != std::string::npos
                                      : line.rfind("demo: done", 0) == 0)
        done_ = true;
    }
    return done_;
  }
  // Waits until the program watches for devices.
  bool WaitReady() {
    const int64_t until = bench::NowNs() + 30'000'000'000LL;
    while (!ready_ && !Ended() && bench::NowNs() < until) {
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 50);
      Done();
    }
    return ready_;
  }
  // True once the program has ended (its status in Status()).
  bool Ended() {
    Reap(false);
    return pid_ <= 0;
  }
  int Status() const { return status_; }
  const std::string& Last() const { return last_; }
  // The program's last words, for a case that went wrong.
  std::string Tail() const { return all_.substr(all_.size() > 600 ? all_.size() - 600 : 0); }

  void Reap(bool wait) {
    if (pid_ <= 0) return;
    int status = 0;
    if (waitpid(pid_, &status, wait ? 0 : WNOHANG) == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }

 private:
  TProgram program_;
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = 0;
  std::string pending_;
  std::string last_;
  std::string all_;
  bool done_ = false;
  bool ready_ = false;
};

// Where a case breaks in: a simulator moment and its occurrence (1 = the first).
struct TMoment {
  std::string What;  // "block 5", "cmd versw?", "handshake"
  int Occurrence = 1;
  std::string Label;  // as the table shows it
};

struct TResult {
  TProgram Program = TProgram::Flash;
  TBreak Break = TBreak::Pull;
  TMoment Moment;
  bool Reached = false;
  bool Recovered = false;
  bool Replugged = false;
  int Starts = 0;
  int64_t RecoverNs = 0;
  std::string Happened;
};

// The break-in, armed for one case: the device thread calls it at every moment.
struct TTrigger {
  std::mutex Lock;
  std::string What;
  int Occurrence = 1;
  int Seen = 0;
  bool Armed = false;
  bool Fired = false;
  TBreak Break = TBreak::Pull;
  pid_t Pid = -1;
  int64_t FiredNs = 0;

  bool operator()(const std::string& moment) {
    std::lock_guard<std::mutex> lock(Lock);
    if (!Armed || moment != What || ++Seen < Occurrence) return false;
    Armed = false;
    Fired = true;
    FiredNs = bench::NowNs();
    if (Break == TBreak::Kill) {
      if (Pid > 0) kill(Pid, SIGKILL);
      return false;
    }
    return true;
  }
};

vexsim::TOptions DeviceOptions(const TPaths& paths, const std::shared_ptr<TTrigger>& trigger) {
  vexsim::TOptions options;
  options.Password = paths.Password;  // ASCII: the same bytes in the device's code page
  options.HandshakeIntervalMs = 20;
  options.KeepTranscript = true;
  options.HangUp = [](int) {};  // the mock owns the pty: the harness pulls the device out
  if (trigger) options.Interrupt = [trigger](const std::string& m) { return (*trigger)(m); };
  return options;
}

bool Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

// The commands of an undisturbed update, in order: the moments of the dialogue.
std::vector<TMoment> DialogueMoments(TMockUsb& usb, TProgram program, const TPaths& paths) {
  vexsim::TSimulator sim(DeviceOptions(paths, nullptr));
  std::vector<TMoment> moments;
  TMockDevice device;
  {
    TChild child(program, paths, true);
    child.WaitReady();
    device = usb.PlugIn();
    sim.Start(device.Master);
    const int64_t until = bench::NowNs() + 60'000'000'000LL;
    while (!child.Done() && !child.Ended() && bench::NowNs() < until) Sleep(5);
    if (!child.Done()) {
      std::printf("an undisturbed update did not succeed with %s (status %d):\n%s\n", Name(program),
                  child.Status(), child.Tail().c_str());
      return moments;
    }
  }
  const std::vector<std::string> commands = sim.Commands();
  sim.Stop();
  usb.PullOut(device);
  // Names the state each command enters by the reply it waits for; a command that comes again
  // is told apart by its occurrence.
  bool updating = false;
  bool seenLoader = false;
  bool wrote = false;
  for (size_t i = 0; i < commands.size(); ++i) {
    const std::string& c = commands[i];
    int occurrence = 0;
    for (size_t j = 0; j <= i; ++j) occurrence += commands[j] == c ? 1 : 0;
    std::string state;
    if (c == "loader") {
      updating = seenLoader;
      seenLoader = true;
      state = updating ? "dsAwaitUpdateProbe" : "dsAwaitProbe";
    } else if (c == "versw?") {
      state = wrote ? "dsAwaitNewVersion" : "dsAwaitSoftwareVersion";
    } else if (c == "boot") {
      state = updating ? "dsAwaitUnlocked" : "dsAwaitBootloader";
    } else if (c == "verhw?") {
      state = "dsAwaitHardwareVersion";
    } else if (c == "pass?") {
      state = "dsAwaitPasswordState";
    } else if (c.rfind("pass=", 0) == 0) {
      state = "dsAwaitUnlocked";
    } else if (c == "wr_prog") {
      state = "dsAwaitProgramReady";
      wrote = true;
    } else if (c == "run") {
      state = "dsAwaitRunning";
    }
    moments.push_back({"cmd " + c, occurrence,
                       (state.empty() ? std::string("?") : state) + " (" + c +
                           (occurrence > 1 ? " #" + std::to_string(occurrence) : "") + ")"});
    if (c == "wr_prog") moments.push_back({"handshake", 1, "dsAwaitHandshake (before C)"});
  }
  return moments;
}

TResult RunCase(TMockUsb& usb, TProgram program, TBreak how, const TMoment& moment,
                const TPaths& paths) {
  TResult r;
  r.Program = program;
  r.Break = how;
  r.Moment = moment;
  auto trigger = std::make_shared<TTrigger>();
  {
    std::lock_guard<std::mutex> lock(trigger->Lock);
    trigger->What = moment.What;
    trigger->Occurrence = moment.Occurrence;
    trigger->Break = how;
    trigger->Armed = true;
  }
  auto sim = std::make_unique<vexsim::TSimulator>(DeviceOptions(paths, trigger));
  auto child = std::make_unique<TChild>(program, paths, true);
  r.Starts = 1;
  child->WaitReady();
  TMockDevice device = usb.PlugIn();
  sim->Start(device.Master);
  {
    std::lock_guard<std::mutex> lock(trigger->Lock);
    trigger->Pid = child->Pid();
  }
  auto fired = [&] {
    std::lock_guard<std::mutex> lock(trigger->Lock);
    return trigger->Fired;
  };
  auto replug = [&] {
    sim->Stop();
    usb.HangUp(device);
    usb.PullOut(device);
    Sleep(100);
    device = usb.PlugIn();
    sim->Start(device.Master);
  };
  // Up to the break-in.
  const int64_t reachBy = bench::NowNs() + 60'000'000'000LL;
  while (!fired() && bench::NowNs() < reachBy && !child->Done() && !child->Ended()) Sleep(1);
  if (!fired()) {
    r.Happened = "the moment never came (" + child->Last() + ")";
    sim->Stop();
    usb.PullOut(device);
    return r;
  }
  r.Reached = true;
  const int64_t firedNs = trigger->FiredNs;
  if (how == TBreak::Pull) {
    while (sim->Running()) Sleep(1);
    replug();
    r.Replugged = true;
  } else {
    child->Reap(true);
    child = std::make_unique<TChild>(program, paths);
    ++r.Starts;
  }
  // Recovery: the program says done and the device runs the image's version.
  const int64_t replugAt = firedNs + 15'000'000'000LL;
  const int64_t giveUpAt = firedNs + 120'000'000'000LL;
  std::string ended;
  for (;;) {
    const bool done = child->Done();
    if (done && sim->SoftwareVersion() == kTargetVersion &&
        sim->Mode() == vexsim::TMode::Application) {
      r.Recovered = true;
      r.RecoverNs = bench::NowNs() - firedNs;
      break;
    }
    const int64_t now = bench::NowNs();
    if (now > giveUpAt) {
      r.Happened = "not recovered in 120 s: device " + std::string(vexsim::ModeName(sim->Mode())) +
                   " " + sim->SoftwareVersion() + "; program said: " + child->Last() + ended;
      break;
    }
    if (!r.Replugged && now > replugAt) {
      replug();
      r.Replugged = true;
    }
    if (child->Ended()) {
      if (done) {
        r.Happened = "the program said done, the device runs " + sim->SoftwareVersion();
        break;
      }
      // A program that gave up is started again, as its user would.
      ended = "; " + std::to_string(r.Starts) + " starts, the last ended " +
              std::to_string(child->Status()) + " (" + child->Last() + ")";
      if (r.Starts >= 20) {
        r.Happened = "gave up after 20 starts" + ended;
        break;
      }
      child = std::make_unique<TChild>(program, paths);
      ++r.Starts;
    }
    Sleep(5);
  }
  child.reset();
  sim->Stop();
  usb.PullOut(device);
  return r;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  TPaths paths;
  std::vector<std::string> programs = {"flash", "window"};
  std::vector<std::string> modes = {"pull", "kill"};
  std::vector<std::string> only;
  bool smoke = false;
  bool usage = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flash" && i + 1 < argc) {
      paths.Flash = argv[++i];
    } else if (arg == "--window" && i + 1 < argc) {
      paths.Window = argv[++i];
    } else if (arg == "--image" && i + 1 < argc) {
      paths.Image = argv[++i];
    } else if (arg == "--programs" && i + 1 < argc) {
      programs = Split(argv[++i]);
    } else if (arg == "--modes" && i + 1 < argc) {
      modes = Split(argv[++i]);
    } else if (arg == "--password" && i + 1 < argc) {
      paths.Password = argv[++i];
    } else if (arg == "--moments" && i + 1 < argc) {
      only = Split(argv[++i]);
    } else if (arg == "--smoke") {
      smoke = true;
    } else {
      usage = true;
    }
  }
  if (usage || paths.Flash.empty() || paths.Window.empty() || paths.Image.empty()) {
    std::fprintf(
        stderr,
        "usage: recovery --flash PATH --window PATH --image PATH "
        "[--programs flash,window] [--modes pull,kill] [--moments TEXT,...] [--password P] "
        "[--smoke]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // The programs run in a folder of their own.
  for (std::string* path : {&paths.Flash, &paths.Window, &paths.Image})
    if (char* full = realpath(path->c_str(), nullptr)) {
      *path = full;
      std::free(full);
    }
  bench::TempDir dir;
  paths.Work = dir.Path();
  if (!paths.Password.empty()) bench::WriteFile(paths.Work + "/password", paths.Password + "\n");
  mkdir((paths.Work + "/run").c_str(), 0700);
  const size_t blocks = (bench::ReadFile(paths.Image).size() + 1023) / 1024;

  TMockUsb usb;
  std::vector<TResult> results;
  for (const std::string& p : programs) {
    const TProgram program = p == "window" ? TProgram::Window : TProgram::Flash;
    std::vector<TMoment> moments;
    for (size_t k = 0; k <= blocks; ++k) {
      if (smoke && k != 0 && k != blocks / 2 && k != blocks) continue;
      moments.push_back(
          {"block " + std::to_string(k), 1,
           "block " + std::to_string(k) + (k == blocks ? " (EOT: dsAwaitVerdict)" : "")});
    }
    std::vector<TMoment> dialogue = DialogueMoments(usb, program, paths);
    if (dialogue.empty()) return 1;
    if (smoke) dialogue.resize(std::min<size_t>(dialogue.size(), 2));
    moments.insert(moments.end(), dialogue.begin(), dialogue.end());
    if (!only.empty())
      moments.erase(std::remove_if(moments.begin(), moments.end(),
                                   [&](const TMoment& m) {
                                     return std::none_of(
                                         only.begin(), only.end(), [&](const std::string& text) {
                                           return m.Label.find(text) != std::string::npos;
                                         });
                                   }),
                    moments.end());
    for (const std::string& m : modes) {
      const TBreak how = m == "kill" ? TBreak::Kill : TBreak::Pull;
      for (const TMoment& moment : moments) {
        results.push_back(RunCase(usb, program, how, moment, paths));
        const TResult& r = results.back();
        std::printf("  %-15s %s at %-40s %s %s%s\n", Name(program), Name(how), moment.Label.c_str(),
                    r.Recovered ? "recovered in" : "NOT RECOVERED",
                    r.Recovered ? bench::FormatMs(r.RecoverNs).c_str() : r.Happened.c_str(),
                    r.Replugged && how == TBreak::Kill ? " (re-plugged)" : "");
        std::fflush(stdout);
      }
    }
  }

  std::printf("\n%-15s %-5s %6s %10s %12s %12s %10s\n", "program", "break", "cases", "recovered",
              "median", "max", "re-plugged");
  bool all = true;
  for (const std::string& p : programs)
    for (const std::string& m : modes) {
      std::vector<int64_t> times;
      int cases = 0, replugged = 0;
      for (const TResult& r : results) {
        if (std::string(Name(r.Program)) !=
                (p == "window" ? "vexilora-update" : "vexilora-flash") ||
            Name(r.Break) != m)
          continue;
        ++cases;
        if (r.Recovered) times.push_back(r.RecoverNs);
        if (r.Replugged && r.Break == TBreak::Kill) ++replugged;
      }
      if (static_cast<int>(times.size()) != cases) all = false;
      std::printf(
          "%-15s %-5s %6d %10zu %12s %12s %10d\n",
          p == "window" ? "vexilora-update" : "vexilora-flash", m.c_str(), cases, times.size(),
          times.empty() ? "-" : bench::FormatMs(bench::Percentile(times, 50)).c_str(),
          times.empty() ? "-"
                        : bench::FormatMs(*std::max_element(times.begin(), times.end())).c_str(),
          replugged);
    }
  std::printf(
      "(kill: the program started afresh; re-plugged counts the devices it could not bring "
      "back within 15 s)\n");
  std::printf("goal: every case recovered%s\n", all ? "" : " MISSED");
  for (const TResult& r : results)
    if (!r.Recovered)
      std::printf("  not recovered: %s %s at %s: %s\n", Name(r.Program), Name(r.Break),
                  r.Moment.Label.c_str(), r.Happened.c_str());
  return all ? 0 : 1;
}
