#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace testsupport {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::string& output, TStdout stdoutTo) {
  const bool piped = stdoutTo != TStdout::File;
  int out[2] = {-1, -1};
  if (piped && ::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutTo == TStdout::PipeBoth) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, piped ? out[1] : 2, 1);
  }
  // The test process may have signals blocked or ignored; the child starts with defaults.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), environ) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (piped) {
    ::close(out[1]);
    pipe_ = out[0];
  }
}

ChildProcess::~ChildProcess() {
  CloseStdoutPipe();
  if (Running()) {
    ::kill(pid_, SIGTERM);
    if (!Wait(5000)) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
}

void ChildProcess::Signal(int sig) const {
  if (Running()) ::kill(pid_, sig);
}

bool ChildProcess::Wait(uint32_t ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Running()) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = status;
      break;
    }
    if (r < 0 || Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !Running();
}

void ChildProcess::CloseStdoutPipe() {
  if (pipe_ >= 0) ::close(pipe_);
  pipe_ = -1;
}

std::string ChildProcess::ReadStdout(uint32_t ms) {
  std::string got;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (pipe_ >= 0 && Clock::now() < deadline) {
    pollfd p{pipe_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(pipe_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool ChildProcess::ExitedWith(int code) const {
  return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

std::string ChildProcess::Describe() const {
  if (!exited_) return "still running";
  if (WIFEXITED(status_)) return "exit status " + std::to_string(WEXITSTATUS(status_));
  return "killed by signal " + std::to_string(WTERMSIG(status_));
}

}  // namespace testsupport
