#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A program run as a user runs it: stdin from /dev/null, stdout and stderr into one file
// (or stdout, or both, into a pipe whose reading end the test holds, or closes to play a
// reader that went away). The destructor ends a child that is still running (SIGTERM, then
// SIGKILL).
class ChildProcess {
 public:
  enum class TStdout { File, Pipe, PipeBoth };

  ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
               const std::string& output, TStdout stdoutTo = TStdout::File);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  bool Running() const { return pid_ > 0 && !exited_; }
  pid_t Pid() const { return pid_; }
  void Signal(int sig) const;
  // Waits for the child's end; true when it ended within the limit.
  bool Wait(uint32_t ms);
  // The reading end of the output pipe, -1 once closed.
  int StdoutPipe() const { return pipe_; }
  void CloseStdoutPipe();
  // Reads the stdout pipe until the child closes it or ms pass.
  std::string ReadStdout(uint32_t ms);

  bool ExitedWith(int code) const;
  std::string Describe() const;

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int pipe_ = -1;
};

}  // namespace testsupport

using testsupport::ChildProcess;
