// vexilora-flash as built, run as a child process against simulated Vexilora devices under
// umockdev: the child inherits the preload and the mock's folder, so it finds and opens the
// mocked devices as it would real ones.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Every line one flat JSON object: quoted keys of lower-case letters, values of the JSON kinds.
void ExpectJsonLines(const std::string& out) {
  for (const std::string& line : Lines(out)) {
    bool ok = line.size() >= 2 && line.front() == '{' && line.back() == '}';
    size_t i = 1;
    while (ok) {
      const size_t keyEnd = line.find("\":", i + 1);
      ok = line[i] == '"' && keyEnd != std::string::npos && keyEnd > i + 1;
      for (size_t k = i + 1; ok && k < keyEnd; ++k) ok = std::islower(line[k]) || line[k] == '_';
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

// The program running as a child: its output collected while the test waits for things.
class TFlash {
 public:
  TFlash(const std::vector<std::string>& args, const std::string& dir, int stdoutFd = -1) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> all{VEXILORA_FLASH_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VEXILORA_FLASH_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start vexilora-flash");
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

  TRun Run(const std::vector<std::string>& args) { return TFlash(args, dir_).Finish(); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static std::string Wblock() { return ReadFile(VEXILORA_WBLOCK_PATH); }
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

  run = Run({"update", "--image", "tagged.bin", "--json"});
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

}  // namespace
