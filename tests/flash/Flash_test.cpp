// vexilora-flash as built, run as a child process against simulated Vexilora devices under
// umockdev: the child inherits the preload and the mock's folder, so it finds and opens the
// mocked devices as it would real ones.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/MockUsb.h"
#include "tests/support/WaitUntil.h"
#include "tools/vexilora-sim/Simulator.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
// umockdev hands its testbed's data to its worker thread under glib's locks, which are built on
// bare futexes that ThreadSanitizer cannot see; the reports that follow name only umockdev's
// and glib's frames (and come as much from the mock fixture's own tests).
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so\nrace:libglib-2.0.so\n";
}
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Length of the JSON value at text[at] (a string with its quotes, a number, true, false or
// null); 0 when none is there.
size_t JsonValueLength(const std::string& text, size_t at) {
  if (at >= text.size()) return 0;
  if (text[at] == '"') {
    for (size_t i = at + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        return i + 1 - at;
      } else if (static_cast<unsigned char>(text[i]) < 0x20) {
        return 0;
      }
    }
    return 0;
  }
  for (const char* word : {"true", "false", "null"})
    if (text.compare(at, std::strlen(word), word) == 0) return std::strlen(word);
  size_t i = at;
  if (i < text.size() && text[i] == '-') ++i;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return 0;
  if (i < text.size() && text[i] == '.') {
    const size_t fraction = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == fraction) return 0;
  }
  return i - at;
}

// The raw value of a key in one JSON line: a quoted string with its quotes, a number, true,
// false or null. "<absent>" when the line has no such key.
std::string Raw(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const size_t at = line.find(tag);
  if (at == std::string::npos) return "<absent>";
  const size_t start = at + tag.size();
  return line.substr(start, JsonValueLength(line, start));
}

// Text whose characters follow a shape: '9' a digit, anything else itself.
bool Shaped(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

// Digits, a point and one digit ("12.5").
bool OneDecimal(const std::string& text) {
  const size_t point = text.find('.');
  return point != std::string::npos && point > 0 && point + 2 == text.size() &&
         Shaped(text, std::string(point, '9') + ".9");
}

bool Number(const std::string& text) {
  return !text.empty() && JsonValueLength(text, 0) == text.size() && text[0] != '"' &&
         std::isdigit(static_cast<unsigned char>(text.back()));
}

std::string Str(const std::string& line, const std::string& key) {
  const std::string raw = Raw(line, key);
  return raw.size() >= 2 && raw.front() == '"' ? raw.substr(1, raw.size() - 2) : raw;
}

// The JSON lines with "event":kind.
std::vector<std::string> Events(const std::string& out, const std::string& kind) {
  std::vector<std::string> found;
  for (const std::string& line : Lines(out))
    if (Str(line, "event") == kind) found.push_back(line);
  return found;
}

// The event line of kind about device path; "" when none.
std::string EventFor(const std::string& out, const std::string& kind, const std::string& path) {
  for (const std::string& line : Events(out, kind))
    if (Str(line, "device") == path) return line;
  return "";
}

// Every line one flat JSON object: quoted keys of lower-case letters, digits and underscores
// (a letter first), values of the JSON kinds.
void ExpectJsonLines(const std::string& out) {
  for (const std::string& line : Lines(out)) {
    bool ok = line.size() >= 2 && line.front() == '{' && line.back() == '}';
    size_t i = 1;
    while (ok) {
      const size_t keyEnd = line.find("\":", i + 1);
      ok = line[i] == '"' && keyEnd != std::string::npos && keyEnd > i + 1;
      ok = ok && std::islower(line[i + 1]);
      for (size_t k = i + 1; ok && k < keyEnd; ++k)
        ok = std::islower(line[k]) || std::isdigit(line[k]) || line[k] == '_';
      if (!ok) break;
      const size_t length = JsonValueLength(line, keyEnd + 2);
      ok = length > 0;
      i = keyEnd + 2 + length;
      if (!ok || line[i] == '}') break;
      ok = line[i] == ',';
      ++i;
    }
    EXPECT_TRUE(ok && i == line.size() - 1) << line;
  }
}

std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

struct TRun {
  int Code = -1;
  std::string Out;
  std::string Err;
};

// How the program is started: which file, behind which command, with which changes to the
// test's own environment ("NAME=value" sets, a bare "NAME" removes).
struct TSpawn {
  std::string Program = VEXILORA_FLASH_PATH;
  std::vector<std::string> Prefix;
  std::vector<std::string> Env;
  // JOURNAL_STREAM names the program's standard error, as systemd sets it for a service whose
  // output goes to the journal.
  bool JournalStream = false;
};

std::vector<std::string> Environment(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; }),
              env.end());
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

// The program running as a child: its output collected while the test waits for things.
class TFlash {
 public:
  TFlash(const std::vector<std::string>& args, const std::string& dir, int stdoutFd = -1,
         const TSpawn& spawn = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> all = spawn.Prefix;
    all.push_back(spawn.Program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> changes = spawn.Env;
    if (spawn.JournalStream) {
      struct stat st {};
      fstat(err[1], &st);
      changes.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                        std::to_string(st.st_ino));
    }
    std::vector<std::string> env = Environment(changes);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc =
        posix_spawnp(&pid_, all.front().c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start " + all.front());
  }
  ~TFlash() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(outFd_);
    close(errFd_);
  }

  const std::string& Out() const { return run_.Out; }
  const std::string& Err() const { return run_.Err; }

  // Collects output until cond() holds, the program ends or ms pass; true when cond holds.
  bool WaitFor(const std::function<bool()>& cond, int ms = 60000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
      if (Clock::now() >= deadline) return false;
      if (!Collect(50) && pid_ <= 0) return cond();
    }
    return true;
  }
  bool WaitForOutput(const std::string& text, int ms = 60000) {
    return WaitFor([&] { return run_.Out.find(text) != std::string::npos; }, ms);
  }

  void Signal(int sig) { kill(pid_, sig); }
  pid_t Pid() const { return pid_; }

  // Waits for the end (killing the program after ms) and returns what it did.
  TRun Finish(int ms = 180000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0) {
      Collect(50);
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        run_.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (Clock::now() >= deadline) {
        ADD_FAILURE() << "vexilora-flash did not end; output so far:\n" << run_.Out << run_.Err;
        kill(pid_, SIGKILL);
      }
    }
    while (Collect(0)) {
    }
    return run_;
  }

 private:
  // Reads what is there; false when both pipes are at their end.
  bool Collect(int ms) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return pid_ > 0;
    bool open = false;
    std::string* sinks[2] = {&run_.Out, &run_.Err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) {
        open = true;
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
        open = true;
      }
    }
    return open;
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  TRun run_;
};

// The names in a folder that begin with prefix.
std::vector<std::string> Entries(const std::string& folder, const std::string& prefix = "") {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// A terminal for the program's standard output: the test reads what it draws.
class TTerminal {
 public:
  TTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      throw std::runtime_error("no pty");
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("no pty slave");
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~TTerminal() {
    CloseSlave();
    close(master_);
  }
  int Slave() const { return slave_; }
  // Once the program holds its copy: the test keeps only the master.
  void CloseSlave() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
  }
  // Everything drawn so far (a terminal that is not read holds the program up).
  const std::string& Screen() {
    char buffer[4096];
    for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;)
      screen_.append(buffer, static_cast<size_t>(n));
    return screen_;
  }
  bool Shows(const std::string& text) { return Screen().find(text) != std::string::npos; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string screen_;
};

// Rewrites the FileVersion (and ProductVersion) of a copy of the program in its version record,
// or breaks the record's magic when to is empty, so that the copy reports another version or
// none.
void PatchVersionRecord(const std::string& path, const std::string& from, const std::string& to) {
  std::string bytes = ReadFile(path);
  const std::string magic = std::string("VXVI") + '\x01' + '\0';
  const size_t at = bytes.find(magic);
  ASSERT_NE(at, std::string::npos) << "no version record in " << path;
  if (to.empty()) {
    bytes.replace(at, 4, "XXXX");
  } else {
    ASSERT_EQ(from.size(), to.size());
    const size_t end = std::min(bytes.size(), at + 512);
    for (size_t p = bytes.find(from, at); p != std::string::npos && p < end;
         p = bytes.find(from, p + 1))
      bytes.replace(p, from.size(), to);
  }
  const std::string fresh = path + ".new";
  WriteFile(fresh, bytes);
  chmod(fresh.c_str(), 0755);
  // As a package upgrade does: the new file is renamed over the old one.
  ASSERT_EQ(rename(fresh.c_str(), path.c_str()), 0);
}

// Runs a helper program (not the program under test) to its end and returns its output. Helpers
// run without the test's preloads: neither umockdev nor a sanitizer runtime is theirs.
TRun RunHelper(const std::vector<std::string>& argv, const std::string& dir,
               const std::vector<std::string>& env = {}) {
  TSpawn spawn;
  spawn.Program = argv.front();
  spawn.Env = env;
  spawn.Env.push_back("LD_PRELOAD");
  return TFlash(std::vector<std::string>(argv.begin() + 1, argv.end()), dir, -1, spawn)
      .Finish(30000);
}

// A private bus standing in for the system bus, with logind on it played by python3-dbusmock's
// logind template, which keeps the inhibitor locks it hands out (until their descriptor closes)
// and logs every call.
class TLogind {
 public:
  explicit TLogind(const std::string& dir) : dir_(dir) {
    address_ = "unix:path=" + dir + "/system_bus_socket";
    TSpawn bus;
    bus.Program = "dbus-daemon";
    bus.Env = {"LD_PRELOAD"};
    daemon_ = std::make_unique<TFlash>(
        std::vector<std::string>{"--session", "--nofork", "--nopidfile", "--address=" + address_},
        dir, -1, bus);
    WaitUntil([&] { return access((dir + "/system_bus_socket").c_str(), F_OK) == 0; }, 20000);
    TSpawn mock;
    mock.Program = "/usr/bin/python3";
    mock.Env = {"LD_PRELOAD", "DBUS_SYSTEM_BUS_ADDRESS=" + address_};
    mock_ = std::make_unique<TFlash>(
        std::vector<std::string>{"-m", "dbusmock", "--template", "logind", "-l", LogPath()}, dir,
        -1, mock);
    ready_ = WaitUntil(
        [&] {
          return Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "NameHasOwner s org.freedesktop.login1") == "b true\n";
        },
        30000);
  }
  bool Ready() const { return ready_; }
  const std::string& Address() const { return address_; }
  std::string LogPath() const { return dir_ + "/logind.log"; }
  // The locks logind holds, as busctl prints them.
  std::string Inhibitors() const {
    return Call("org.freedesktop.login1", "/org/freedesktop/login1",
                "org.freedesktop.login1.Manager", "ListInhibitors");
  }

 private:
  std::string Call(const std::string& service, const std::string& path, const std::string& iface,
                   const std::string& methodAndArgs) const {
    std::vector<std::string> argv = {"busctl", "--address=" + address_, "call", service, path,
                                     iface};
    std::istringstream words(methodAndArgs);
    for (std::string w; words >> w;) argv.push_back(w);
    return RunHelper(argv, dir_).Out;
  }

  std::string dir_;
  std::string address_;
  std::unique_ptr<TFlash> daemon_;
  std::unique_ptr<TFlash> mock_;
  bool ready_ = false;
};

// A systemd-journald of the test's own: the program under test runs in a mount namespace in
// which fresh folders hide /run/systemd, /run/log and /var/log/journal, with a journald started
// there, so that its journal calls reach this journald and nothing of the machine's. After the
// program has ended its entries are read back with journalctl -o json into a file.
class TJournal {
 public:
  explicit TJournal(std::string dir) : out_(std::move(dir) + "/journal.json") {}

  // How to start the program so that its journal is this one.
  TSpawn Spawn() const {
    TSpawn spawn;
    const char* preload = std::getenv("LD_PRELOAD");
    // The journal's side runs without the test's preloads; the program gets them back.
    spawn.Env = {"LD_PRELOAD", std::string("FLASH_PRELOAD=") + (preload ? preload : "")};
    // In a PID namespace of its own (with its /proc), the shell its first process: however the
    // run ends, its journald goes with it.
    spawn.Prefix = {
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "--pid",
        "--fork",
        "--kill-child",
        "--mount-proc",
        "/bin/sh",
        "-c",
        "{ mount -t tmpfs tmpfs /run/systemd 2>/dev/null || mount -t tmpfs tmpfs /run; } &&"
        " mkdir -p /run/systemd/journal /run/log &&"
        " mount -t tmpfs tmpfs /run/log &&"
        " { [ ! -d /var/log/journal ] || mount -t tmpfs tmpfs /var/log/journal; } || exit 90\n"
        "/lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &\n"
        "journald=$!\n"
        "i=0; while [ ! -S /run/systemd/journal/socket ]; do\n"
        "  i=$((i+1)); [ $i -gt 400 ] && exit 91; sleep 0.05\n"
        "done\n"
        "LD_PRELOAD=\"$FLASH_PRELOAD\" \"$@\"\n"
        "code=$?\n"
        "journalctl --sync && journalctl -D /run/log/journal -o json --no-pager"
        " SYSLOG_IDENTIFIER=vexilora-flash >\"$0\" || code=92\n"
        "kill $journald; wait $journald\n"
        "exit $code",
        out_};
    return spawn;
  }

  // The program's entries of the last run, one JSON object a line.
  std::vector<std::string> Entries() const { return Lines(ReadFile(out_)); }

 private:
  std::string out_;
};

class FlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flash-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    sims_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Plugs a device in and plays it with a simulator of the given options.
  TMockDevice Plug(vexsim::TOptions options = {}) {
    TMockDevice device = usb_.PlugIn();
    // The master belongs to the mock: a vanishing device is the mock's hang-up, not a close.
    options.HangUp = [](int) {};
    auto sim = std::make_unique<vexsim::TSimulator>(options);
    EXPECT_TRUE(sim->Start(device.Master));
    sims_.push_back(std::move(sim));
    return device;
  }
  vexsim::TSimulator& Sim(size_t i) { return *sims_.at(i); }

  TRun Run(const std::vector<std::string>& args, const TSpawn& spawn = {}) {
    return TFlash(args, dir_, -1, spawn).Finish();
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static std::string Wblock() { return ReadFile(VEXILORA_WBLOCK_PATH); }
  // The SHA-256 of a file as coreutils computes it: a second opinion on the program's own. It
  // runs without the test's preloads (a sanitizer runtime would not start in it).
  static std::string Sha256Sum(const std::string& path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = "sha256sum", file = path;
    char* argv[] = {program.data(), file.data(), nullptr};
    int out[2];
    if (pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "sha256sum", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    if (spawned == 0) waitpid(pid, nullptr, 0);
    return text.substr(0, std::min<size_t>(text.size(), 64));
  }
  // The device took the image: what it received begins with it (the rest is the fill).
  static bool Received(const vexsim::TSimulator& sim, const std::string& image) {
    const std::string got = sim.ReceivedImage();
    return !image.empty() && got.compare(0, image.size(), image) == 0;
  }

  TMockUsb usb_;
  std::vector<std::unique_ptr<vexsim::TSimulator>> sims_;
  std::string dir_;
};

vexsim::TOptions Software(const std::string& version) {
  vexsim::TOptions o;
  o.SoftwareVersion = version;
  return o;
}

TEST_F(FlashTest, ListsEveryDeviceWithAndWithoutTheQuery) {
  const TMockDevice plain = Plug();
  vexsim::TOptions locked;
  locked.StartInBootloader = true;
  locked.Password = "k3y";
  const TMockDevice loader = Plug(locked);

  TRun run = Run({"list"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  ASSERT_EQ(Lines(run.Out).size(), 2u) << run.Out;
  for (const TMockDevice& d : {plain, loader}) {
    bool listed = false;
    for (const std::string& line : Lines(run.Out)) {
      const std::string head = d.DevicePath + "  COM", tail = "  " + d.UsbLocation;
      if (line.compare(0, head.size(), head) != 0 || line.size() <= head.size() + tail.size())
        continue;
      const std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
      listed = line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
               Shaped(number, std::string(number.size(), '9'));
    }
    EXPECT_TRUE(listed) << d.DevicePath << "\n" << run.Out;
  }
  // A plain list asks the devices nothing.
  EXPECT_TRUE(Sim(0).Commands().empty());

  run = Run({"list", "--json"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  ExpectJsonLines(run.Out);
  ASSERT_EQ(Lines(run.Out).size(), 2u);
  for (const std::string& line : Lines(run.Out)) {
    const std::string path = Str(line, "device");
    const TMockDevice& d = path == plain.DevicePath ? plain : loader;
    EXPECT_EQ(Str(line, "location"), d.UsbLocation);
    EXPECT_EQ(Str(line, "bus") + "-" + Str(line, "port_path"), d.UsbLocation);
    const std::string port = Str(line, "port");
    EXPECT_TRUE(port.size() > 3 && Shaped(port, "COM" + std::string(port.size() - 3, '9')));
    EXPECT_EQ(Raw(line, "hardware"), "<absent>");
    // What an update would send.
    EXPECT_EQ(Str(line, "image_version"), "2.0.0.3452");
    EXPECT_EQ(Str(line, "image_sha256"), Sha256Sum(VEXILORA_WBLOCK_PATH));
  }

  run = Run({"list", "--query", "--json"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  ExpectJsonLines(run.Out);
  ASSERT_EQ(Lines(run.Out).size(), 2u) << run.Out;
  for (const std::string& line : Lines(run.Out)) {
    EXPECT_EQ(Str(line, "hardware"), "2.0") << line;
    if (Str(line, "device") == plain.DevicePath) {
      EXPECT_EQ(Str(line, "software"), "2.0.0.3400") << line;
      EXPECT_EQ(Raw(line, "password"), "false") << line;
    } else {
      // In its bootloader the device has no software version to tell.
      EXPECT_EQ(Raw(line, "software"), "null") << line;
      EXPECT_EQ(Raw(line, "password"), "true") << line;
    }
  }

  run = Run({"list", "--query"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("hardware 2.0  software unreadable  password set"), std::string::npos)
      << run.Out;
  // The query of the window leaves the device in its bootloader.
  EXPECT_NE(run.Out.find("hardware 2.0  software unreadable  password none"), std::string::npos)
      << run.Out;
}

TEST_F(FlashTest, UpdatesOneDeviceAndAppendsToTheLog) {
  const TMockDevice device = Plug();
  TRun run = Run({"update", "--log", "flash.csv"});
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  EXPECT_TRUE(Received(Sim(0), Wblock()));
  EXPECT_EQ(Sim(0).SoftwareVersion(), "2.0.0.3452");
  const std::string name = device.UsbLocation + " " + device.DevicePath;
  // Plain lines, one event each: found, versions, transfer, progress by quarters, result.
  EXPECT_NE(run.Out.find(name + ": found (COM"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(name + ": hardware 2.0, software 2.0.0.3400, password none"),
            std::string::npos);
  EXPECT_NE(run.Out.find(name + ": sending 37648 bytes (version 2.0.0.3452)"), std::string::npos);
  EXPECT_NE(run.Out.find(name + ": 100% (37648/37648 bytes"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(name + ": updated 2.0.0.3400 -> 2.0.0.3452 in "), std::string::npos);
  EXPECT_NE(run.Out.find("1 updated, 0 failed, 0 refused, 0 cancelled"), std::string::npos);
  EXPECT_EQ(run.Out.find("\x1b["), std::string::npos) << "no terminal, no live lines";

  // The same version again is allowed; the log keeps its one header.
  run = Run({"update", "--log", "flash.csv"});
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  const std::vector<std::string> log = Lines(ReadFile(Path("flash.csv")));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "time,location,old_version,new_version,seconds,result,error");
  const std::vector<std::string> olds = {"2.0.0.3400", "2.0.0.3452"};
  for (size_t i = 1; i < 3; ++i) {
    const std::vector<std::string> f = CsvFields(log[i]);
    ASSERT_EQ(f.size(), 7u) << log[i];
    EXPECT_TRUE(Shaped(f[0], "9999-99-99T99:99:99Z")) << f[0];
    EXPECT_EQ(f[1], device.UsbLocation);
    EXPECT_EQ(f[2], olds[i - 1]);
    EXPECT_EQ(f[3], "2.0.0.3452");
    EXPECT_TRUE(OneDecimal(f[4])) << f[4];
    EXPECT_EQ(f[5], "updated");
    EXPECT_EQ(f[6], "");
  }
}

// Devices left in their receivers by an updater that vanished in the middle of a transfer (one
// still asking for its first block, one waiting silently for the 21st): each is sent the cancel
// sequence when its probe goes unanswered, and updated where it is.
TEST_F(FlashTest, DevicesLeftInTheirReceiversAreUpdatedWithoutAReplug) {
  for (const int accepted : {0, 20}) {
    vexsim::TOptions o;
    o.StartReceivingAfter = accepted;
    Plug(o);
  }
  const TRun run = Run({"update", "--all"});
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(Received(Sim(i), Wblock()));
    EXPECT_EQ(Sim(i).SoftwareVersion(), "2.0.0.3452");
    EXPECT_EQ(Sim(i).Mode(), vexsim::TMode::Application);
  }
  EXPECT_NE(run.Out.find("2 updated, 0 failed"), std::string::npos) << run.Out;
}

TEST_F(FlashTest, AllFourAtOnceEachWithItsOwnOutcome) {
  vexsim::TOptions loader;  // unreadable software version: updated with a warning
  loader.StartInBootloader = true;
  const TMockDevice a = Plug(loader);
  vexsim::TOptions locked;
  locked.Password = "\xEF\xE0\xF0\xEE\xEB\xFC";  // "пароль" in the device's code page
  const TMockDevice b = Plug(locked);
  const TMockDevice c = Plug(Software("2.0.0.3500"));  // newer than the image
  vexsim::TOptions slow;
  slow.PaceLine = true;  // long enough a transfer to be pulled out in the middle
  const TMockDevice d = Plug(slow);
  WriteFile(Path("pass"), "пароль\n");

  TFlash flash({"update", "--all", "--password-file", "pass", "--json", "--log", "log.csv"}, dir_);
  ASSERT_TRUE(flash.WaitFor([&] { return Sim(3).BlocksAccepted() >= 3; })) << flash.Out();
  usb_.HangUp(d);
  usb_.PullOut(d);
  const TRun run = flash.Finish();
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  ExpectJsonLines(run.Out);

  EXPECT_TRUE(Received(Sim(0), Wblock()));
  EXPECT_TRUE(Received(Sim(1), Wblock()));
  EXPECT_EQ(Sim(1).SoftwareVersion(), "2.0.0.3452");
  EXPECT_EQ(Sim(2).TransfersEnded(), 0u);
  EXPECT_EQ(Sim(2).SoftwareVersion(), "2.0.0.3500");
  EXPECT_EQ(Sim(3).TransfersEnded(), 0u);

  struct TExpect {
    const TMockDevice* Device;
    const char* Result;
    const char* Old;
    const char* New;
    const char* Error;  // a part of it
  };
  const TExpect expected[] = {
      {&a, "updated", "", "2.0.0.3452", ""},
      {&b, "updated", "2.0.0.3400", "2.0.0.3452", ""},
      {&c, "refused", "2.0.0.3500", "", "--allow-downgrade"},
      {&d, "failed", "2.0.0.3400", "", ""},
  };
  ASSERT_EQ(Events(run.Out, "result").size(), 4u) << run.Out;
  for (const TExpect& e : expected) {
    const std::string line = EventFor(run.Out, "result", e.Device->DevicePath);
    SCOPED_TRACE(line);
    EXPECT_EQ(Str(line, "location"), e.Device->UsbLocation);
    EXPECT_EQ(Str(line, "result"), e.Result);
    EXPECT_EQ(Str(line, "old_version"), e.Old);
    EXPECT_EQ(Str(line, "new_version"), e.New);
    EXPECT_NE(Str(line, "error").find(e.Error), std::string::npos);
    EXPECT_TRUE(OneDecimal(Raw(line, "seconds")));
  }
  EXPECT_NE(Str(EventFor(run.Out, "result", d.DevicePath), "error"), "");
  EXPECT_NE(Str(EventFor(run.Out, "warning", a.DevicePath), "message").find("could not be read"),
            std::string::npos);
  EXPECT_EQ(Raw(EventFor(run.Out, "versions", b.DevicePath), "password"), "true");
  const std::string progress = EventFor(run.Out, "progress", b.DevicePath);
  for (const char* key : {"bytes", "total", "percent", "rate", "eta"})
    EXPECT_TRUE(Number(Raw(progress, key))) << key << ": " << progress;
  const std::vector<std::string> summary = Events(run.Out, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(Raw(summary[0], "updated"), "2");
  EXPECT_EQ(Raw(summary[0], "failed"), "1");
  EXPECT_EQ(Raw(summary[0], "refused"), "1");
  EXPECT_EQ(Raw(summary[0], "exit"), "1");

  const std::vector<std::string> log = Lines(ReadFile(Path("log.csv")));
  ASSERT_EQ(log.size(), 5u);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(CsvFields(log[i]).size(), 7u) << log[i];
}

TEST_F(FlashTest, StationModeUpdatesEachDeviceAsItIsPluggedIn) {
  TFlash flash({"update", "--wait", "--count", "3", "--json"}, dir_);
  ASSERT_TRUE(flash.WaitForOutput("\"event\":\"waiting\"")) << flash.Out();
  const TMockDevice first = Plug();
  ASSERT_TRUE(flash.WaitFor([&] { return Count(flash.Out(), "\"event\":\"result\"") == 1; }))
      << flash.Out();
  // Two at once: the second plug-in comes while the first of them is being updated.
  Plug(Software("2.0.0.3000"));
  ASSERT_TRUE(flash.WaitFor([&] { return Count(flash.Out(), "\"event\":\"transfer\"") == 2; }))
      << flash.Out();
  Plug();
  const TRun run = flash.Finish();
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  EXPECT_EQ(Events(run.Out, "result").size(), 3u) << run.Out;
  for (const std::string& line : Events(run.Out, "result"))
    EXPECT_EQ(Str(line, "result"), "updated") << line;
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(Received(Sim(i), Wblock())) << i;
  EXPECT_EQ(Str(Events(run.Out, "result")[0], "device"), first.DevicePath);
}

TEST_F(FlashTest, AWrongOrMissingPasswordFailsWithoutUnlocking) {
  vexsim::TOptions locked;
  locked.Password = "1234";
  Plug(locked);
  TRun run = Run({"update", "--password", "9999"});
  EXPECT_EQ(run.Code, 1);
  EXPECT_NE(run.Out.find("failed: the device refused the password"), std::string::npos) << run.Out;
  run = Run({"update"});
  EXPECT_EQ(run.Code, 1);
  EXPECT_NE(run.Out.find("failed: the device is protected by a password"), std::string::npos)
      << run.Out;
  EXPECT_FALSE(Sim(0).Unlocked());
  EXPECT_EQ(Sim(0).TransfersEnded(), 0u);
}

TEST_F(FlashTest, AnImageFileIsSentByItsOwnTagAndRefusedWithoutOne) {
  Plug();
  std::string tagged = std::string("VERSW=2.0.0.3460\n") + '\0';
  for (int i = 0; i < 5000; ++i) tagged += static_cast<char>(i * 7);
  WriteFile(Path("tagged.bin"), tagged);
  WriteFile(Path("untagged.bin"), std::string(4096, 'x'));

  TRun run = Run({"update", "--image", "untagged.bin"});
  EXPECT_EQ(run.Code, 4);
  EXPECT_NE(run.Err.find("no version tag"), std::string::npos) << run.Err;
  EXPECT_TRUE(Sim(0).Commands().empty()) << "the device is not even opened";

  // An image that is not the one the operator vouched for is refused before the device is
  // opened; the one that is goes, its digest given in any letter case.
  std::string other = Sha256Sum(Path("tagged.bin"));
  ASSERT_EQ(other.size(), 64u);
  other[0] = other[0] == '0' ? '1' : '0';
  run = Run({"update", "--image", "tagged.bin", "--sha256", other});
  EXPECT_EQ(run.Code, 2);
  EXPECT_NE(run.Err.find("has SHA-256 " + Sha256Sum(Path("tagged.bin")) + ", not " + other),
            std::string::npos)
      << run.Err;
  EXPECT_TRUE(Sim(0).Commands().empty()) << "the device is not even opened";
  run = Run({"update", "--sha256", other});
  EXPECT_EQ(run.Code, 2) << "the built-in image is held to it as well";
  EXPECT_TRUE(Sim(0).Commands().empty());

  std::string upper = Sha256Sum(Path("tagged.bin"));
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  run = Run({"update", "--image", "tagged.bin", "--sha256", upper, "--json"});
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  EXPECT_EQ(Str(Events(run.Out, "transfer").at(0), "version"), "2.0.0.3460");
  EXPECT_EQ(Str(Events(run.Out, "versions").at(0), "update"), "2.0.0.3460");
  EXPECT_TRUE(Received(Sim(0), tagged));
  EXPECT_EQ(Sim(0).SoftwareVersion(), "2.0.0.3460");
}

TEST_F(FlashTest, ExitCodesWithoutDevices) {
  WriteFile(Path("long"), "123456789\n");
  const struct {
    std::vector<std::string> Args;
    int Code;
    const char* Err;
  } cases[] = {
      {{}, 2, "a command is needed"},
      {{"flash"}, 2, "unknown command"},
      {{"list", "--all"}, 2, "unknown option"},
      {{"update", "--count", "2"}, 2, "--count belongs to --wait"},
      {{"update", "--wait", "--count", "0"}, 2, "at least 1"},
      {{"update", "--all", "--device", "/dev/ttyACM0"}, 2, "exclude each other"},
      {{"update", "--password", "123456789"}, 2, "longer than 8"},
      {{"update", "--password-file", "long"}, 2, "longer than 8"},
      {{"update", "--password", "☃"}, 2, "cannot take"},
      {{"update", "--image", "missing.bin"}, 2, "cannot read the image"},
      {{"update", "--sha256", "ec08"}, 2, "64 hexadecimal digits"},
      {{"list", "--sha256", std::string(64, 'a')}, 2, "unknown option"},
      {{"update", "--log", "no/such/folder/log.csv"}, 2, "cannot open the log file"},
      {{"list"}, 3, "no Vexilora found"},
      {{"update", "--all"}, 3, "no Vexilora found"},
      {{"update", "--device", "/dev/ttyACM7"}, 3, "no Vexilora at /dev/ttyACM7"},
  };
  for (const auto& c : cases) {
    const TRun run = Run(c.Args);
    std::string shown;
    for (const auto& a : c.Args) shown += a + " ";
    EXPECT_EQ(run.Code, c.Code) << shown << run.Err;
    EXPECT_NE(run.Err.find(c.Err), std::string::npos) << shown << run.Err;
  }
  const TRun help = Run({"--help"});
  EXPECT_EQ(help.Code, 0);
  EXPECT_NE(help.Out.find("Exit codes:"), std::string::npos);
  // The program's own version record and the image it would send, as an operator checks them
  // against a release note.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"update", "--all", "--version"}}) {
    const TRun version = Run(args);
    EXPECT_EQ(version.Code, 0) << version.Err;
    const std::vector<std::string> lines = Lines(version.Out);
    ASSERT_EQ(lines.size(), 2u) << version.Out;
    const std::string own = lines[0].substr(std::min(lines[0].size(), sizeof "vexilora-flash"));
    EXPECT_EQ(lines[0], "vexilora-flash " + own);
    EXPECT_EQ(std::count(own.begin(), own.end(), '.'), 3) << own;
    EXPECT_EQ(own.find_first_not_of("0123456789."), std::string::npos) << own;
    EXPECT_EQ(lines[1], "built-in image: version 2.0.0.3452, " + std::to_string(Wblock().size()) +
                            " bytes, SHA-256 " + Sha256Sum(VEXILORA_WBLOCK_PATH));
  }
}

TEST_F(FlashTest, ExitCodesByTheDevicesVerdict) {
  vexsim::TOptions other;
  other.HardwareVersion = "3.0";
  vexsim::TOptions silent;
  silent.Silent = true;
  const struct {
    vexsim::TOptions Device;
    std::vector<std::string> Args;
    int Code;
    const char* Out;
  } cases[] = {
      {Software("2.0.0.3500"), {"update"}, 4, "refused: the image (2.0.0.3452) is older"},
      {Software("2.0.0.3500"), {"update", "--allow-downgrade"}, 0, "warning: installing an older"},
      {other, {"update"}, 4, "refused: hardware version 3.0 is not supported"},
      {silent, {"update", "--timeout", "2"}, 1, "failed: no reply from the device for 2 s"},
      {Software("2.0.0.3452"), {"update"}, 0, "updated 2.0.0.3452 -> 2.0.0.3452"},
  };
  for (const auto& c : cases) {
    const TMockDevice device = Plug(c.Device);
    const TRun run = Run(c.Args);
    EXPECT_EQ(run.Code, c.Code) << run.Out << run.Err;
    EXPECT_NE(run.Out.find(c.Out), std::string::npos) << run.Out;
    usb_.PullOut(device);
  }
  // Two devices and no choice between them: the program will not guess.
  Plug();
  Plug();
  const TRun run = Run({"update"});
  EXPECT_EQ(run.Code, 2);
  EXPECT_NE(run.Err.find("2 Vexilora devices are attached"), std::string::npos) << run.Err;
}

TEST_F(FlashTest, CtrlCCancelsEveryTransferAndSaysWhatWasDone) {
  vexsim::TOptions slow;
  slow.PaceLine = true;
  Plug(slow);
  Plug(slow);
  TFlash flash({"update", "--all"}, dir_);
  ASSERT_TRUE(flash.WaitFor([&] {
    return Sim(0).BlocksAccepted() >= 2 && Sim(1).BlocksAccepted() >= 2;
  })) << flash.Out();
  // Unlike the window, the updater spreads its devices' threads over every processor.
  auto allowed = [](const std::string& task) {
    std::istringstream status(ReadFile(task + "/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind("Cpus_allowed_list:", 0) == 0) return line;
    return std::string("<none>");
  };
  const std::string mine = allowed("/proc/self");
  int threads = 0;
  const std::string tasks = "/proc/" + std::to_string(flash.Pid()) + "/task";
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      EXPECT_EQ(allowed(tasks + "/" + entry->d_name), mine);
      ++threads;
    }
    closedir(dir);
  }
  EXPECT_GT(threads, 8) << "two open ports and their threads";
  flash.Signal(SIGINT);
  const TRun run = flash.Finish(60000);
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("interrupted:"), std::string::npos) << run.Out;
  EXPECT_EQ(Count(run.Out, "cancelled: interrupted"), 4u) << run.Out;  // each line and list
  EXPECT_NE(run.Out.find("0 updated, 0 failed, 0 refused, 2 cancelled"), std::string::npos);
  for (size_t i = 0; i < 2; ++i) {
    // The receiver heard the cancel sequence and kept nothing.
    EXPECT_TRUE(WaitUntil(
        [&] { return Sim(i).FromHost().find("\x18\x18\x18") != std::string::npos; }, 10000))
        << i;
    EXPECT_EQ(Sim(i).TransfersEnded(), 0u);
  }
}

TEST_F(FlashTest, ATerminalSeesOneLiveLinePerDevice) {
  Plug();
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::string screen;
  auto drain = [&] {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
      screen.append(buffer, static_cast<size_t>(n));
  };
  {
    TFlash flash({"update"}, dir_, slave);
    close(slave);
    // Read as it comes: a terminal that is not read holds the program up.
    flash.WaitFor([&] {
      drain();
      return screen.find("1 updated") != std::string::npos;
    });
    const TRun run = flash.Finish();
    EXPECT_EQ(run.Code, 0) << run.Err;
    drain();
  }
  close(master);
  // The line is redrawn in place (cursor up, erase line) and ends as the result.
  EXPECT_NE(screen.find("\x1b[1A"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\x1b[K"), std::string::npos);
  EXPECT_NE(screen.find("updated 2.0.0.3400 -> 2.0.0.3452"), std::string::npos) << screen;
  EXPECT_EQ(screen.find(": found (COM"), std::string::npos) << "no plain event lines";
}

TEST_F(FlashTest, OnlyAVersionReportedAfterTheRestartCounts) {
  // The device takes the image and restarts, then answers ERROR to the version query (or tells
  // another version): whatever it reported before must not pass for the new one.
  vexsim::TOptions onImage = Software("2.0.0.3452");
  onImage.VersionErrorAfterRun = true;
  vexsim::TOptions older = Software("2.0.0.3400");
  older.VersionErrorAfterRun = true;
  vexsim::TOptions never;
  never.VersionErrorForever = true;
  vexsim::TOptions lying;
  lying.VersionAfterUpdate = "2.0.0.3000";
  const struct {
    const char* Name;
    vexsim::TOptions Device;
    const char* Error;
  } cases[] = {
      {"ERROR after run, already on the image's version", onImage,
       "the device did not report its version after restarting"},
      {"ERROR after run, older before", older,
       "the device did not report its version after restarting"},
      {"never tells its version again", never,
       "the device did not report its version after restarting"},
      {"reports another version", lying,
       "after the update the device reports software 2.0.0.3000, not the image's 2.0.0.3452"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TMockDevice device = Plug(c.Device);
    const TRun run = Run({"update", "--json", "--log", "log.csv"});
    EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
    ASSERT_EQ(Events(run.Out, "result").size(), 1u) << run.Out;
    const std::string result = Events(run.Out, "result")[0];
    EXPECT_EQ(Str(result, "result"), "failed") << result;
    EXPECT_NE(Str(result, "error").find(c.Error), std::string::npos) << result;
    EXPECT_EQ(Raw(Events(run.Out, "summary").at(0), "updated"), "0");
    // The device did take the image: only its word on the new version is missing.
    EXPECT_EQ(sims_.back()->TransfersEnded(), 1u);
    const std::vector<std::string> log = Lines(ReadFile(Path("log.csv")));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(CsvFields(log.back()).at(5), "failed") << log.back();
    usb_.PullOut(device);
  }
}

TEST_F(FlashTest, AStationKnowsItsOwnVersionAfterItsFileIsDeletedOrReplaced) {
  // A station runs for days; a package upgrade deletes or replaces its file meanwhile. The
  // hardware check must go on using the version of the program that runs.
  const struct {
    const char* Name;
    std::function<void(const std::string&)> Change;
  } cases[] = {
      {"deleted", [](const std::string& path) { unlink(path.c_str()); }},
      {"replaced by a version for hardware 3.0",
       [](const std::string& path) { PatchVersionRecord(path, "2.0.3017", "3.0.3017"); }},
      {"replaced by a program without a version",
       [](const std::string& path) { PatchVersionRecord(path, "", ""); }},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string bin = Path("bin" + std::to_string(n++));
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    const std::string program = bin + "/vexilora-flash";
    WriteFile(program, ReadFile(VEXILORA_FLASH_PATH));
    chmod(program.c_str(), 0755);
    TSpawn spawn;
    spawn.Program = program;
    TFlash flash({"update", "--wait", "--count", "1"}, dir_, -1, spawn);
    ASSERT_TRUE(flash.WaitForOutput("waiting for Vexilora")) << flash.Out() << flash.Err();
    c.Change(program);
    vexsim::TOptions other;
    other.HardwareVersion = "3.0";
    const TMockDevice device = Plug(other);
    const TRun run = flash.Finish();
    EXPECT_EQ(run.Code, 4) << run.Out << run.Err;
    EXPECT_NE(run.Out.find("refused: hardware version 3.0 is not supported: this updater takes "
                           "hardware 2.0"),
              std::string::npos)
        << run.Out;
    EXPECT_EQ(sims_.back()->TransfersEnded(), 0u);
    EXPECT_EQ(Count(sims_.back()->FromHost(), "wr_prog"), 0u);
    usb_.PullOut(device);
  }

  // A program that cannot read its own version from the start updates nothing.
  const std::string program = Path("broken/vexilora-flash");
  ASSERT_EQ(mkdir(Path("broken").c_str(), 0755), 0);
  WriteFile(program, ReadFile(VEXILORA_FLASH_PATH));
  chmod(program.c_str(), 0755);
  PatchVersionRecord(program, "", "");
  Plug();
  TSpawn spawn;
  spawn.Program = program;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update"}, std::vector<std::string>{"update", "--wait"}}) {
    const TRun run = TFlash(args, dir_, -1, spawn).Finish(20000);
    EXPECT_EQ(run.Code, 4) << run.Out << run.Err;
    EXPECT_NE(run.Err.find("its own version cannot be read"), std::string::npos) << run.Err;
  }
  EXPECT_TRUE(sims_.back()->Commands().empty()) << "the device is not even opened";
  // Listing needs no version.
  EXPECT_EQ(TFlash({"list"}, dir_, -1, spawn).Finish().Code, 0);
}

TEST_F(FlashTest, AnImageWhoseVersionCannotBeComparedNeedsAllowDowngrade) {
  Plug();
  std::string rc = std::string("VERSW=1.0.0.100-rc1\n") + '\0';
  for (int i = 0; i < 3000; ++i) rc += static_cast<char>(i * 13);
  WriteFile(Path("rc.bin"), rc);

  TRun run = Run({"update", "--image", "rc.bin"});
  EXPECT_EQ(run.Code, 4) << run.Out << run.Err;
  EXPECT_NE(run.Err.find("the image 'rc.bin' has version 1.0.0.100-rc1, which cannot be compared"),
            std::string::npos)
      << run.Err;
  EXPECT_NE(run.Err.find("--allow-downgrade"), std::string::npos) << run.Err;
  EXPECT_TRUE(Sim(0).Commands().empty()) << "the device is not even opened";

  run = Run({"update", "--image", "rc.bin", "--allow-downgrade", "--json"});
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  // The device's version was read; it is the image's that cannot be compared.
  EXPECT_EQ(Str(Events(run.Out, "versions").at(0), "software"), "2.0.0.3400");
  const std::string warning = Str(Events(run.Out, "warning").at(0), "message");
  EXPECT_NE(warning.find("the image's version 1.0.0.100-rc1 cannot be compared with the "
                         "installed 2.0.0.3400"),
            std::string::npos)
      << warning;
  EXPECT_EQ(Sim(0).SoftwareVersion(), "1.0.0.100-rc1");
}

TEST_F(FlashTest, EveryStopSignalCancelsTheTransfersAndLeavesNoFolderBehind) {
  for (const int sig : {SIGHUP, SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string run = Path("run-" + std::to_string(sig));
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    vexsim::TOptions slow;
    slow.PaceLine = true;
    const TMockDevice device = Plug(slow);
    vexsim::TSimulator& sim = *sims_.back();
    TSpawn spawn;
    spawn.Env = {"XDG_RUNTIME_DIR=" + run};
    TFlash flash({"update"}, dir_, -1, spawn);
    ASSERT_TRUE(flash.WaitFor([&] { return sim.BlocksAccepted() >= 2; })) << flash.Out();
    EXPECT_EQ(Entries(run, "vexilora-flash-").size(), 1u) << "the image's private folder";
    flash.Signal(sig);
    const TRun result = flash.Finish(60000);
    EXPECT_EQ(result.Code, 1) << result.Out << result.Err;
    EXPECT_NE(result.Out.find("cancelled: interrupted"), std::string::npos) << result.Out;
    EXPECT_TRUE(
        WaitUntil([&] { return sim.FromHost().find("\x18\x18\x18") != std::string::npos; }, 10000));
    EXPECT_EQ(sim.TransfersEnded(), 0u);
    EXPECT_TRUE(Entries(run).empty());
    usb_.PullOut(device);
  }
}

TEST_F(FlashTest, FilesThatCannotServeTheirOptionEndTheRunAtOnce) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0700), 0);
  WriteFile(Path("endless-line"), std::string(1 << 20, 'a'));
  WriteFile(Path("pass-shared"), "1234\n");
  chmod(Path("pass-shared").c_str(), 0644);
  WriteFile(Path("pass-private"), "1234\n");
  chmod(Path("pass-private").c_str(), 0600);
  const struct {
    std::vector<std::string> Args;
    int Code;
    const char* Err;
    bool Reader;  // someone has the FIFO open for reading
  } cases[] = {
      {{"update", "--image", "fifo"}, 2, "the image 'fifo' is not a regular file", false},
      {{"update", "--password-file", "fifo"},
       2,
       "the password file 'fifo' is not a regular file",
       false},
      {{"update", "--log", "fifo"}, 2, "the log file 'fifo' is not a regular file", false},
      {{"update", "--log", "fifo"}, 2, "the log file 'fifo' is not a regular file", true},
      {{"update", "--image", "folder"}, 2, "the image 'folder' is a folder", false},
      {{"update", "--password-file", "folder"}, 2, "the password file 'folder' is a folder", false},
      {{"update", "--log", "folder"}, 2, "the log file 'folder' is a folder", false},
      {{"update", "--image", "/dev/zero"}, 2, "the image '/dev/zero' is not a regular file", false},
      {{"update", "--password-file", "/dev/zero"},
       2,
       "the password file '/dev/zero' is not a regular file",
       false},
      {{"update", "--log", "/dev/full"},
       2,
       "the log file '/dev/full' is not a regular file",
       false},
      {{"update", "--password-file", "endless-line"},
       2,
       "the first line of the password file 'endless-line' is too long",
       false},
      {{"update", "--password-file", "pass-shared"},
       3,
       "warning: the password file 'pass-shared' can be read by others (mode 0644)",
       false},
      {{"update", "--password-file", "pass-private"}, 3, "no Vexilora found", false},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.Args) shown += a + " ";
    SCOPED_TRACE(shown);
    const int reader =
        c.Reader ? open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    const auto start = Clock::now();
    const TRun run = TFlash(c.Args, dir_).Finish(15000);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    if (reader >= 0) close(reader);
    EXPECT_EQ(run.Code, c.Code) << run.Err;
    EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
    if (c.Code == 3 && std::string(c.Err).find("warning") == std::string::npos) {
      EXPECT_EQ(run.Err.find("warning"), std::string::npos) << run.Err;
    }
  }
}

TEST_F(FlashTest, ARecordThatCannotBeWrittenFailsTheRun) {
  Plug();
  // A record of earlier runs, larger than the image the program writes for its transfer.
  std::string record = "time,location,old_version,new_version,seconds,result,error\n";
  while (record.size() < 65536)
    record += "2026-01-01T00:00:00Z,1-1.2,2.0.0.3400,2.0.0.3452,4.2,updated,\n";
  WriteFile(Path("log.csv"), record);
  TFlash flash({"update", "--log", "log.csv"}, dir_);
  // The log may not grow: the station's record of this device cannot be written.
  const rlimit limit{record.size(), record.size()};
  ASSERT_EQ(prlimit(flash.Pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  const TRun run = flash.Finish();
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  EXPECT_NE(run.Out.find(": updated 2.0.0.3400 -> 2.0.0.3452"), std::string::npos) << run.Out;
  EXPECT_NE(run.Err.find("cannot write the log file 'log.csv'"), std::string::npos) << run.Err;
  EXPECT_EQ(ReadFile(Path("log.csv")), record);
}

TEST_F(FlashTest, DeviceTextIsShownEscapedAndRecordedSafely) {
  // A hostile device tells versions full of terminal commands, NUL bytes and bytes that are
  // not UTF-8, before and after the update.
  const std::string hostile = std::string("2.0.0.3400\x1b[2J\x07") + '\0' + "\xff\xfe";
  const std::string escaped = "2.0.0.3400\\x1b[2J\\x07\\x00\\xff\\xfe";
  const std::string after = std::string("9\x1b]0;owned\x07");
  const std::string afterEscaped = "9\\x1b]0;owned\\x07";
  enum TMode { Plain, Json, Terminal };
  for (const TMode mode : {Plain, Json, Terminal}) {
    SCOPED_TRACE(mode);
    vexsim::TOptions o = Software(hostile);
    o.VersionAfterUpdate = after;
    const TMockDevice device = Plug(o);
    std::vector<std::string> args = {"update", "--log", "log.csv"};
    if (mode == Json) args.push_back("--json");
    std::string shown;
    int code = -1;
    if (mode == Terminal) {
      TTerminal terminal;
      TFlash flash(args, dir_, terminal.Slave());
      terminal.CloseSlave();
      flash.WaitFor([&] { return terminal.Shows("0 updated, 1 failed"); });
      code = flash.Finish().Code;
      shown = terminal.Screen();
    } else {
      const TRun run = Run(args);
      code = run.Code;
      shown = run.Out;
    }
    EXPECT_EQ(code, 1) << shown;
    for (const char raw : {'\0', '\x07', '\xff', '\xfe'})
      EXPECT_EQ(shown.find(raw), std::string::npos) << static_cast<int>(raw) << "\n" << shown;
    EXPECT_EQ(shown.find("\x1b[2J"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\x1b]0"), std::string::npos) << shown;
    if (mode == Json) {
      ExpectJsonLines(shown);
      EXPECT_EQ(Str(Events(shown, "versions").at(0), "software"),
                "2.0.0.3400\\u001b[2J\\u0007\\u0000\\ufffd\\ufffd");
    } else {
      if (mode == Plain) {
        EXPECT_NE(shown.find("software " + escaped + ", password none"), std::string::npos)
            << shown;
      }
      EXPECT_NE(shown.find("reports software " + afterEscaped + ", not the image's"),
                std::string::npos)
          << shown;
    }
    // The record: one line of seven fields, every byte of it printable.
    const std::string log = ReadFile(Path("log.csv"));
    const std::vector<std::string> lines = Lines(log);
    const std::vector<std::string> f = CsvFields(lines.back());
    ASSERT_EQ(f.size(), 7u) << lines.back();
    EXPECT_EQ(f[2], escaped);
    EXPECT_NE(f[6].find(afterEscaped), std::string::npos) << f[6];
    for (const char c : log)
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
    usb_.PullOut(device);
  }

  // Hardware text reaches the refusal.
  vexsim::TOptions o;
  o.HardwareVersion = "3.0\x1b]0;owned\x07";
  Plug(o);
  const TRun run = Run({"update"});
  EXPECT_EQ(run.Code, 4) << run.Out;
  EXPECT_NE(run.Out.find("hardware version 3.0\\x1b]0;owned\\x07 is not supported"),
            std::string::npos)
      << run.Out;
}

TEST_F(FlashTest, AStationLetsEachFinishedDeviceGo) {
  const std::string run = Path("run");
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  TSpawn spawn;
  spawn.Env = {"XDG_RUNTIME_DIR=" + run};
  TTerminal terminal;
  TFlash flash({"update", "--wait", "--count", "3"}, dir_, terminal.Slave(), spawn);
  terminal.CloseSlave();
  ASSERT_TRUE(flash.WaitFor([&] { return terminal.Shows("waiting for Vexilora"); }));
  auto noFolders = [&] { return WaitUntil([&] { return Entries(run).empty(); }, 10000); };

  const TMockDevice first = Plug();
  ASSERT_TRUE(flash.WaitFor([&] { return terminal.Shows(first.DevicePath + "  updated"); }))
      << terminal.Screen();
  EXPECT_TRUE(noFolders()) << "the first device's folder stays after it finished";
  usb_.PullOut(first);

  vexsim::TOptions rejecting;
  rejecting.ErrorAfterTransfer = true;
  const TMockDevice second = Plug(rejecting);
  ASSERT_TRUE(flash.WaitFor([&] { return terminal.Shows(second.DevicePath + "  failed"); }))
      << terminal.Screen();
  EXPECT_TRUE(noFolders()) << "a failed device's folder stays";

  // The third runs while the first two are long done: their lines are not drawn again.
  vexsim::TOptions slow;
  slow.PaceLine = true;
  const TMockDevice third = Plug(slow);
  const TRun result = flash.Finish();
  const std::string screen = terminal.Screen();
  EXPECT_EQ(result.Code, 1) << screen << result.Err;
  EXPECT_EQ(Count(screen, first.DevicePath + "  updated"), 1u) << screen;
  EXPECT_EQ(Count(screen, second.DevicePath + "  failed"), 1u) << screen;
  EXPECT_EQ(Count(screen, third.DevicePath + "  updated"), 1u) << screen;
  EXPECT_NE(screen.find("2 updated, 1 failed, 0 refused, 0 cancelled"), std::string::npos);
  EXPECT_TRUE(Entries(run).empty());
}

TEST_F(FlashTest, SystemSleepIsHeldOffWhileEachDeviceIsUpdated) {
  TLogind logind(dir_);
  ASSERT_TRUE(logind.Ready()) << ReadFile(logind.LogPath());
  TSpawn spawn;
  spawn.Env = {"DBUS_SYSTEM_BUS_ADDRESS=" + logind.Address()};
  TFlash flash({"update", "--wait", "--count", "2", "--json"}, dir_, -1, spawn);
  ASSERT_TRUE(flash.WaitForOutput("\"event\":\"waiting\"")) << flash.Out();
  EXPECT_EQ(logind.Inhibitors(), "a(ssssuu) 0\n") << "nothing held before a transfer";

  vexsim::TOptions slow;
  slow.PaceLine = true;
  const TMockDevice first = Plug(slow);
  ASSERT_TRUE(flash.WaitFor([&] { return Sim(0).BlocksAccepted() >= 2; })) << flash.Out();
  std::string held;
  EXPECT_TRUE(WaitUntil(
      [&] { return (held = logind.Inhibitors()).find("Vexilora update") != std::string::npos; },
      10000))
      << held;
  EXPECT_EQ(held.rfind("a(ssssuu) 1 \"sleep:idle\" \"Vexilora update\" \"Updating the firmware of "
                       "the Vexilora at " +
                           first.UsbLocation + " " + first.DevicePath + "\" \"block\"",
                       0),
            0u)
      << held;

  // The device is done: the lock goes while the station waits for the next.
  ASSERT_TRUE(flash.WaitFor([&] { return Count(flash.Out(), "\"event\":\"result\"") == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return (held = logind.Inhibitors()) == "a(ssssuu) 0\n"; }, 10000))
      << held;
  Plug();
  const TRun run = flash.Finish();
  EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
  EXPECT_EQ(Count(ReadFile(logind.LogPath()), "Inhibit \"sleep:idle\" \"Vexilora update\""), 2u)
      << ReadFile(logind.LogPath());
  EXPECT_EQ(logind.Inhibitors(), "a(ssssuu) 0\n");

  // No system bus at all: the update goes on and nothing is said about it.
  const TMockDevice third = Plug();
  spawn.Env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + Path("no-bus-here")};
  const TRun alone = Run({"update", "--device", third.DevicePath}, spawn);
  EXPECT_EQ(alone.Code, 0) << alone.Out << alone.Err;
  EXPECT_EQ(alone.Err, "");
}

TEST_F(FlashTest, AServiceWritesEachFinishedDeviceToTheJournal) {
  TJournal journal(dir_);
  const TMockDevice good = Plug();
  vexsim::TOptions rejecting;
  rejecting.ErrorAfterTransfer = true;
  const TMockDevice bad = Plug(rejecting);

  // Output that does not go to the journal (JOURNAL_STREAM missing, or naming another stream):
  // no entries.
  TSpawn spawn = journal.Spawn();
  TRun run = TFlash({"update", "--all"}, dir_, -1, spawn).Finish();
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  EXPECT_TRUE(journal.Entries().empty());
  spawn.Env.push_back("JOURNAL_STREAM=1:2");
  run = TFlash({"update", "--all"}, dir_, -1, spawn).Finish();
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  EXPECT_TRUE(journal.Entries().empty());

  spawn = journal.Spawn();
  spawn.JournalStream = true;
  run = TFlash({"update", "--all"}, dir_, -1, spawn).Finish();
  EXPECT_EQ(run.Code, 1) << run.Out << run.Err;
  const std::vector<std::string> entries = journal.Entries();
  ASSERT_EQ(entries.size(), 2u) << run.Err;
  const struct {
    const TMockDevice* Device;
    const char* Result;
    const char* Priority;
    const char* Old;
    const char* New;
    const char* Error;
  } expected[] = {
      {&good, "updated", "6", "2.0.0.3452", "2.0.0.3452", ""},
      // Its application went with the rejected image: it starts in its bootloader now.
      {&bad, "failed", "3", "", "", "the device rejected the image"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.Device->DevicePath);
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const std::string& line) {
      return Str(line, "VEXILORA_DEVICE") == e.Device->DevicePath;
    });
    ASSERT_NE(it, entries.end());
    auto field = [&](const std::string& name) { return Str(*it, name); };
    EXPECT_EQ(field("VEXILORA_USB_LOCATION"), e.Device->UsbLocation);
    EXPECT_EQ(field("VEXILORA_RESULT"), e.Result);
    EXPECT_EQ(field("VEXILORA_OLD_VERSION"), e.Old);
    EXPECT_EQ(field("VEXILORA_NEW_VERSION"), e.New);
    EXPECT_NE(field("VEXILORA_ERROR").find(e.Error), std::string::npos) << field("VEXILORA_ERROR");
    EXPECT_TRUE(OneDecimal(field("VEXILORA_SECONDS"))) << field("VEXILORA_SECONDS");
    EXPECT_EQ(field("PRIORITY"), e.Priority);
    EXPECT_EQ(field("SYSLOG_IDENTIFIER"), "vexilora-flash");
    EXPECT_EQ(field("MESSAGE").rfind(
                  e.Device->UsbLocation + " " + e.Device->DevicePath + ": " + e.Result, 0),
              0u)
        << field("MESSAGE");
    EXPECT_EQ(field("MESSAGE_ID").size(), 32u);
  }
}

TEST_F(FlashTest, BashCompletionOffersTheAttachedDevices) {
  const TMockDevice a = Plug();
  const TMockDevice b = Plug();
  // bash without the test's preloads; the program it asks for the list gets them back, so
  // that it sees the mocked devices.
  const char* preload = std::getenv("LD_PRELOAD");
  const std::string script =
      "source \"$1\"\n"
      "vexilora-flash() { LD_PRELOAD=\"$FLASH_PRELOAD\" command \"$FLASH\" \"$@\"; }\n"
      "COMP_WORDS=(vexilora-flash update --device \"$2\"); COMP_CWORD=3\n"
      "_vexilora_flash; printf '%s\\n' \"${COMPREPLY[@]}\"\n";
  const TRun run =
      RunHelper({"bash", "-c", script, "bash", VEXILORA_COMPLETION_PATH, "/dev/tty"}, dir_,
                {std::string("FLASH_PRELOAD=") + (preload ? preload : ""),
                 std::string("FLASH=") + VEXILORA_FLASH_PATH});
  EXPECT_EQ(run.Code, 0) << run.Err;
  std::vector<std::string> offered = Lines(run.Out);
  std::sort(offered.begin(), offered.end());
  EXPECT_EQ(offered, (std::vector<std::string>{a.DevicePath, b.DevicePath})) << run.Out << run.Err;
}

}  // namespace
