// A device that vanishes in the middle of a transfer (its pty closed after the third block):
// the transfer must end on its own, promptly, as a carrier loss, both in the component and
// in the xmodem-send tool, instead of waiting for replies that can never come.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/ErrorText.h"
#include "tests/protocol/TransferFixture.h"

extern char** environ;

#ifndef XMODEM_SEND_PATH
#error "XMODEM_SEND_PATH must name the xmodem-send program"
#endif

namespace {

using namespace prototest;
using Clock = std::chrono::steady_clock;

const std::string ACK = "\x06";

// Plays a receiver that asks for CRC blocks, acknowledges the first two of three 1K blocks
// and then vanishes. The 'C' is repeated until the sender answers, since a sender discards
// what came before its transfer started.
void ReceiveThreeBlocksThenVanish(PtyPair& pty) {
  std::string first;
  for (int i = 0; i < 100 && first.empty(); ++i) {
    pty.Write("C");
    first = pty.ReadFor(1, 300);
  }
  ASSERT_FALSE(first.empty()) << "the sender never started";
  std::string rest = pty.ReadFor(1028, 5000);
  for (int block = 2; block <= 3; ++block) {
    pty.Write(ACK);
    rest = pty.ReadFor(1029, 5000);
    ASSERT_EQ(rest.size(), 1029u) << "block " << block;
  }
  pty.CloseSlaveFd();
  pty.CloseMaster();
}

class DeviceLoss : public TransferFixture {};

TEST_F(DeviceLoss, ATransferWhoseDeviceVanishesEndsAsACarrierLoss) {
  UseFile(Pattern(20000));
  protocol.StartTransmit();
  Peer([this] { ReceiveThreeBlocksThenVanish(pty); });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecAbortNoCarrier});
  EXPECT_FALSE(protocol.InProgress());
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().Options, comm::soLastReport);
  EXPECT_EQ(reports.back().Status, comm::psAbortNoCarrier);
}

TEST(DeviceLossTool, XmodemSendExitsWithTheFailureWhenTheDeviceVanishes) {
  TempDir dir;
  const std::string file = dir / "image.bin";
  WriteFile(file, Pattern(20000));
  const std::string output = dir / "output.txt";
  PtyPair pty;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string program = XMODEM_SEND_PATH, device = pty.SlavePath(), name = file;
  char* argv[] = {program.data(), device.data(), name.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  ReceiveThreeBlocksThenVanish(pty);

  int status = 0;
  bool ended = false;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(ended = ::waitpid(pid, &status, WNOHANG) == pid) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  const std::string said = ReadFile(output);
  ASSERT_TRUE(ended) << "xmodem-send still waits for a vanished device; it said:\n" << said;
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_EQ(WEXITSTATUS(status), 1) << said;
  const std::string text =
      comm::ErrorText(comm::ecAbortNoCarrier) + " (" + std::to_string(comm::ecAbortNoCarrier) + ")";
  EXPECT_NE(said.find("failed: " + text), std::string::npos) << said;
}

}  // namespace
