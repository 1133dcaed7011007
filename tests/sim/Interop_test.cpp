// The simulator against an independent Xmodem sender (lrzsz's sx, directly on the pty), and
// the vexilora-sim program as a user runs it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/sim/SimHost.h"
#include "tests/support/WaitUntil.h"

#ifndef VEXILORA_SIM_PATH
#error "VEXILORA_SIM_PATH must name the vexilora-sim program"
#endif

extern char** environ;

namespace {

using namespace simtest;
using vexsim::TMode;
using vexsim::TOptions;

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process; stdin and stdout as given (-1: /dev/null), stderr into a file.
class TChild {
 public:
  TChild(const std::vector<std::string>& argv, int in, int out, const std::string& errFile,
         const std::string& cwd = ".") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (in >= 0) {
      posix_spawn_file_actions_adddup2(&actions, in, 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (out >= 0) {
      posix_spawn_file_actions_adddup2(&actions, out, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TChild() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait(10000);
    }
  }
  bool Started() const { return pid_ > 0; }
  void Signal(int sig) {
    if (pid_ > 0 && !exited_) ::kill(pid_, sig);
  }
  // Waits for the end; true when the child ended within the limit.
  bool Wait(uint32_t ms) {
    return WaitUntil(
        [&] {
          if (exited_ || pid_ <= 0) return true;
          if (::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
          return exited_;
        },
        ms);
  }
  int ExitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

bool OnPath(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// sx sends a file into the device's receiver: every block size and block check the receiver
// offers, files that end inside a block and one that goes past block number 255.
TEST_F(SimTest, LrzszSxDeliversImagesByteExact) {
  if (!OnPath("sx")) FAIL() << "lrzsz's sx is needed (scripts/setup installs it)";
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    bool Checksum;
    size_t Size;
    // sx fills the last 1K block's tail in 128-byte blocks: the data ends on 128 bytes.
    size_t Fill;
  };
  const std::vector<TCase> cases = {
      {"1K blocks with CRC-16", {"sx", "-k"}, false, 37648, 128},
      {"1K blocks, exact fit", {"sx", "-k"}, false, 4096, 1024},
      {"128-byte blocks with CRC-16, past block 255", {"sx"}, false, 40000, 128},
      {"128-byte blocks with checksum", {"sx"}, true, 3000, 128},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    const std::string image = MakeImage(c.Size, "2.0.0." + std::to_string(c.Size));
    WriteFile(dir / "image.bin", image);
    TOptions o;
    o.StartInBootloader = true;
    o.ChecksumHandshake = c.Checksum;
    o.HandshakeIntervalMs = 200;
    o.ImagePath = dir / "saved.bin";
    Start(o);
    ASSERT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
    ASSERT_EQ(Host().Ask("wr_prog\r\n"), "wr_prog");

    // sx gets a blocking descriptor of its own on the same terminal.
    const int line = ::open(Pty().SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    std::vector<std::string> argv = c.Args;
    argv.push_back("image.bin");
    {
      TChild sx(argv, line, line, dir / "sx.log", dir.Path());
      ::close(line);
      ASSERT_TRUE(sx.Started());
      ASSERT_TRUE(sx.Wait(120000)) << ReadFile(dir / "sx.log");
      EXPECT_EQ(sx.ExitCode(), 0) << ReadFile(dir / "sx.log");
    }
    ASSERT_TRUE(WaitUntil([&] { return Sim().TransfersEnded() == 1; }));
    EXPECT_TRUE(Sim().ReceivedImage() == Padded(image, c.Fill))
        << "received " << Sim().ReceivedImage().size() << " bytes";
    EXPECT_TRUE(ReadFile(dir / "saved.bin") == Sim().ReceivedImage());
    EXPECT_TRUE(WaitUntil([&] {
      const std::string toHost = Sim().ToHost();
      return toHost.size() >= 7 && toHost.substr(toHost.size() - 7) == "\x06\r\nOK\r\n";
    })) << "the EOT is acknowledged, then the image accepted";
    // Whatever sx left unread on the line (a handshake character, the OK line) comes before
    // the reply to a command that has a reply of its own.
    Host().Send("verhw?\r\n");
    ASSERT_TRUE(Host().ReadUntil(
        [](const std::string& b) { return b.find("\r\nVERHW=2.0\r\n") != std::string::npos; }));
    Host().Take();
    EXPECT_EQ(Host().Ask("run\r\n"), "OK");
    EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0." + std::to_string(c.Size));
    sim_.reset();
    host_.reset();
  }
}

// The program: a terminal with a link to it, the password given in UTF-8 and sent in
// Windows-1251, and a clean end on SIGTERM that removes the link.
TEST(SimProgram, PlaysTheDeviceOnItsTerminalUntilSigterm) {
  TTempDir dir;
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  TChild sim({VEXILORA_SIM_PATH, "--link", dir / "ttyVEX", "--bootloader", "--password", "пароль",
              "--hw", "2.0.9"},
             -1, out[1], dir / "sim.log");
  ::close(out[1]);
  ASSERT_TRUE(sim.Started());
  std::string path;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') path += c;
  ::close(out[0]);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path << ReadFile(dir / "sim.log");
  EXPECT_EQ(std::filesystem::read_symlink(dir / "ttyVEX").string(), path);
  {
    THost host(dir / "ttyVEX");
    EXPECT_EQ(host.Ask("\r\nloader\r\n"), "OK");
    EXPECT_EQ(host.Ask("verhw?\r\n"), "VERHW=2.0.9");
    EXPECT_EQ(host.Ask("pass?\r\n"), "PASSWORD ERROR");
    EXPECT_EQ(host.Ask("pass=\xEF\xE0\xF0\xEE\xEB\xFC\r\n"), "OK");
    EXPECT_EQ(host.Ask("pass?\r\n"), "OK");
  }
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(10000));
  EXPECT_EQ(sim.ExitCode(), 0) << ReadFile(dir / "sim.log");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "ttyVEX"));
}

// Vanishing in the middle of a transfer: the host's line hangs up and the program ends.
TEST(SimProgram, HangUpEndsTheProgram) {
  TTempDir dir;
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  TChild sim({VEXILORA_SIM_PATH, "--bootloader", "--hangup-after", "1"}, -1, out[1],
             dir / "sim.log");
  ::close(out[1]);
  std::string path;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') path += c;
  ::close(out[0]);
  THost host(path);
  EXPECT_EQ(host.Ask("wr_prog\r\n"), "wr_prog");
  host.Send(MakeBlock(1, MakeImage(1024, "1.2.3.4"), 1024));
  EXPECT_FALSE(host.ReadUntil([](const std::string&) { return false; }, 10000));
  EXPECT_TRUE(host.Gone()) << "the line hangs up";
  ASSERT_TRUE(sim.Wait(10000));
  EXPECT_EQ(sim.ExitCode(), 0) << ReadFile(dir / "sim.log");
}

// The faults reach the device from the command line: a repeated --error-on, and a stray line
// written with the transcript's escapes.
TEST(SimProgram, TakesFaultOptions) {
  TTempDir dir;
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  TChild sim({VEXILORA_SIM_PATH, "--bootloader", "--error-on", "verhw?", "--error-on", "pass?",
              "--stray-line-after", "1", "--stray-line", "\\r\\nOK\\x21\\r\\n"},
             -1, out[1], dir / "sim.log");
  ::close(out[1]);
  std::string path;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') path += c;
  ::close(out[0]);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path << ReadFile(dir / "sim.log");
  {
    THost host(path);
    EXPECT_EQ(host.Ask("verhw?\r\n"), "ERROR");
    EXPECT_EQ(host.Ask("pass?\r\n"), "ERROR");
    EXPECT_EQ(host.Ask("\r\nloader\r\n"), "OK");
    EXPECT_EQ(host.Ask("wr_prog\r\n"), "wr_prog");
    host.Send(MakeBlock(1, MakeImage(1024, "1.2.3.4"), 1024));
    const std::string acked = "\x06\r\nOK!\r\n";
    EXPECT_TRUE(host.ReadUntil([&](const std::string& b) {
      return b.size() >= acked.size() &&
             b.compare(b.size() - acked.size(), acked.size(), acked) == 0;
    })) << vexsim::Escape(host.Take());
  }
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(10000));
  EXPECT_EQ(sim.ExitCode(), 0) << ReadFile(dir / "sim.log");
}

TEST(SimProgram, RefusesBadOptions) {
  TTempDir dir;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--frobnicate"},
                                               {"--cancel-after", "many"},
                                               {"--link"},
                                               {"--hangup-after", "0"},
                                               {"--stray-line-after", "0"},
                                               {"--stray-line", "\\t"},
                                               {"--reply-delay-ms", "soon"},
                                               {"--error-on"}}) {
    std::vector<std::string> argv = {VEXILORA_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    TChild sim(argv, -1, -1, dir / "sim.log");
    ASSERT_TRUE(sim.Wait(10000));
    EXPECT_EQ(sim.ExitCode(), 2) << args[0];
  }
}

}  // namespace
