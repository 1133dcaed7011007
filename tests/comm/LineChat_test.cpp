// The line-chat example program run as a user runs it, against a pty playing the device.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/Pty.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct TRun {
  int status = -1;
  std::string out, err;
};

// A running line-chat with its output and error streams on pipes, started in folder.
class TLineChat {
 public:
  TLineChat(const std::vector<std::string>& args, const std::string& folder) {
    EXPECT_EQ(pipe2(out_, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err_, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> all = {LINE_CHAT_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, LINE_CHAT_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out_[1]);
    close(err_[1]);
  }
  ~TLineChat() {
    if (out_[0] >= 0) close(out_[0]);
    close(err_[0]);
  }

  // Plays a reader of the answer that went away (line-chat ... | head -c0).
  void CloseOutput() {
    close(out_[0]);
    out_[0] = -1;
  }

  // Collects both streams until the program closes them (or 30 s pass), then its status.
  TRun Finish() {
    TRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool outOpen = out_[0] >= 0, errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{outOpen ? out_[0] : -1, POLLIN, 0}, {err_[0], POLLIN, 0}};
      if (poll(fds, 2, 100) <= 0) continue;
      char buffer[512];
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
        } else {
          (i == 0 ? outOpen : errOpen) = false;
        }
      }
    }
    if (outOpen || errOpen) kill(pid_, SIGKILL);
    waitpid(pid_, &run.status, 0);
    return run;
  }

 private:
  pid_t pid_ = -1;
  int out_[2] = {-1, -1};
  int err_[2] = {-1, -1};
};

class LineChat : public ::testing::Test {
 protected:
  LineChat() {
    std::string pattern = (fs::temp_directory_path() / "line-chat-XXXXXX").string();
    dir = mkdtemp(pattern.data());
  }
  ~LineChat() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Read(const std::string& name) {
    std::ifstream in(fs::path(dir) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir;
};

TEST_F(LineChat, SendsTheLinePrintsTheAnswerAndLeavesTraceAndLog) {
  PtyPair pty;
  TLineChat chat({"--baud", "9600", "--timeout", "300", pty.SlavePath(), "versw?"}, dir);
  EXPECT_EQ(pty.ReadFor(8, 10000), "versw?\r\n");
  pty.Write("\nOK 1.2\r");
  const TRun run = chat.Finish();
  ASSERT_TRUE(WIFEXITED(run.status)) << run.err;
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.err;
  EXPECT_EQ(run.out, "\nOK 1.2\r");
  EXPECT_EQ(Read("COMM.TRC"), "Transmit: \r\nversw?[0D][0A]\r\n\r\nReceive: \r\n[0A]OK[20]1.2[0D]");
  const std::string log = Read("COMM.LOG");
  EXPECT_EQ(log.rfind("COMM v4.07\r\n", 0), 0u) << log;
  EXPECT_NE(log.find("Dispatch  WriteCom      00000008  versw?[0D][0A]"), std::string::npos);
}

TEST_F(LineChat, ReportsAPortThatCannotBeOpened) {
  TLineChat chat({"/dev/no-such-serial-device", "hello"}, dir);
  const TRun run = chat.Finish();
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_EQ(run.err,
            "line-chat: /dev/no-such-serial-device: ie_BadId - Specified comport doesn't exist\n");
  EXPECT_FALSE(fs::exists(fs::path(dir) / "COMM.TRC"));
}

TEST_F(LineChat, ADeviceThatVanishesWhileItWaitsEndsItWithAFailure) {
  PtyPair pty;
  TLineChat chat({"--timeout", "600000", pty.SlavePath(), "hello"}, dir);
  ASSERT_EQ(pty.ReadFor(7, 10000), "hello\r\n");
  pty.CloseSlaveFd();
  pty.CloseMaster();
  const TRun run = chat.Finish();  // long before its ten-minute wait would end
  ASSERT_TRUE(WIFEXITED(run.status)) << run.err;
  EXPECT_EQ(WEXITSTATUS(run.status), 1) << run.err;
  EXPECT_NE(run.err.find("the device stopped answering"), std::string::npos) << run.err;
  // The port still closed as usual: the trace holds what was sent.
  EXPECT_NE(Read("COMM.TRC").find("hello[0D][0A]"), std::string::npos);
}

// A reader of the answer that went away costs the answer's bytes, not the close: the trace
// and the log are written as usual.
TEST_F(LineChat, AClosedOutputStreamStillLeavesTraceAndLog) {
  PtyPair pty;
  TLineChat chat({"--timeout", "300", pty.SlavePath(), "versw?"}, dir);
  chat.CloseOutput();
  EXPECT_EQ(pty.ReadFor(8, 10000), "versw?\r\n");
  pty.Write("\nOK 1.2\r");
  const TRun run = chat.Finish();
  ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.err;
  EXPECT_EQ(Read("COMM.TRC"), "Transmit: \r\nversw?[0D][0A]\r\n\r\nReceive: \r\n[0A]OK[20]1.2[0D]");
  EXPECT_EQ(Read("COMM.LOG").rfind("COMM v4.07\r\n", 0), 0u);
}

TEST_F(LineChat, RejectsAMalformedCommandLine) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"only-device"}, {"--baud", "fast", "dev", "x"}}) {
    TLineChat chat(args, dir);
    const TRun run = chat.Finish();
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 2);
    EXPECT_NE(run.err.find("usage: line-chat"), std::string::npos);
  }
}

}  // namespace
