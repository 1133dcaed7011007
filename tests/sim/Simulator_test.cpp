// The device simulator over a real pty pair: the test plays the host with plain reads and
// writes on the slave and checks the device's four dialogues, its Xmodem receiver against
// hand-made blocks, and the faults it can show.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "tests/sim/SimHost.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace simtest;
using vexsim::TMode;
using vexsim::TOptions;

const std::string kCan3(3, kCan);

TEST_F(SimTest, QueryFromApplication) {
  Start();
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR");
  EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3400");
  EXPECT_EQ(Host().Ask("boot\r\n"), "BOOTLOADER");
  EXPECT_EQ(Sim().Mode(), TMode::Bootloader);
  EXPECT_EQ(Host().Ask("verhw?\r\n"), "VERHW=2.0");
  EXPECT_EQ(Host().Ask("pass?\r\n"), "OK");
  EXPECT_EQ(Sim().CommandBytes(), "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n");
  EXPECT_THAT(Sim().Commands(),
              ::testing::ElementsAre("loader", "versw?", "boot", "verhw?", "pass?"));
  EXPECT_EQ(Sim().ToHost(),
            "\r\nERROR\r\n\r\nVERSW=2.0.0.3400\r\n\r\nBOOTLOADER\r\n\r\nVERHW=2.0\r\n\r\nOK\r\n");
}

TEST_F(SimTest, QueryFromBootloaderWithPassword) {
  TOptions o;
  o.StartInBootloader = true;
  o.HardwareVersion = "2.1.7";
  o.Password = "\xCF\xE0\xF0";  // Windows-1251 letters
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
  EXPECT_EQ(Host().Ask("verhw?\r\n"), "VERHW=2.1.7");
  EXPECT_EQ(Host().Ask("pass?\r\n"), "PASSWORD ERROR");
  EXPECT_EQ(Host().Ask("versw?\r\n"), "ERROR") << "the bootloader has no software version";
  EXPECT_FALSE(Sim().Unlocked());
}

// The update from the application with a password, the whole way: every command the host
// sends, the receiver's handshake line, the image, the restart and the new version.
TEST_F(SimTest, UpdateFromApplicationWithPassword) {
  TOptions o;
  o.Password = "\xCF\xE0\xF0";
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR");
  EXPECT_EQ(Host().Ask("boot\r\n"), "BOOTLOADER");
  EXPECT_EQ(Host().Ask("wr_prog\r\n"), "ERROR") << "locked";
  EXPECT_EQ(Host().Ask("pass=\xCF\xE0\r\n"), "ERROR");
  EXPECT_EQ(Host().Ask("pass=\r\n"), "ERROR");
  EXPECT_EQ(Host().Ask("pass=\xCF\xE0\xF0\r\n"), "OK");
  EXPECT_TRUE(Sim().Unlocked());
  EXPECT_EQ(Host().Ask("pass?\r\n"), "OK") << "unlocked";

  // The host waits for a line feed followed by "CC": the end of the wr_prog line and two
  // handshakes, nothing in between.
  Host().Send("wr_prog\r\n");
  ASSERT_TRUE(Host().ReadUntil([](const std::string& b) { return b.size() >= 13; }));
  EXPECT_EQ(Host().Take().substr(0, 13), "\r\nwr_prog\r\nCC");
  EXPECT_EQ(Sim().Mode(), TMode::Receiving);
  EXPECT_FALSE(Sim().ApplicationValid()) << "programming erases the application";

  const std::string image = MakeImage(37648, "2.0.0.3452");
  SendImage(image);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), Padded(image, 1024));
  EXPECT_EQ(Sim().BlocksAccepted(), 37u);
  EXPECT_EQ(Sim().Mode(), TMode::Bootloader);

  EXPECT_EQ(Host().Ask("run\r\n"), "OK");
  EXPECT_EQ(Sim().Mode(), TMode::Application);
  EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3452");
  EXPECT_EQ(Sim().CommandBytes(),
            "\r\nloader\r\nboot\r\nwr_prog\r\npass=\xCF\xE0\r\npass=\r\npass=\xCF\xE0\xF0\r\n"
            "pass?\r\nwr_prog\r\nrun\r\nversw?\r\n");
}

TEST_F(SimTest, UpdateFromBootloaderWithoutPassword) {
  TOptions o;
  o.StartInBootloader = true;
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
  EnterReceiver();
  const std::string image = MakeImage(1024, "3.1.4.1592");  // exactly one block, no fill
  SendImage(image);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), image);
  EXPECT_EQ(Host().Ask("run\r\n"), "OK");
  EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=3.1.4.1592");
}

// Commands arrive however the host's writes and the line cut them.
TEST_F(SimTest, CommandsInOddPieces) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Writes;
    std::vector<std::string> Replies;
  };
  const std::vector<TCase> cases = {
      {"one byte per write", {"\r", "\n", "l", "o", "a", "d", "e", "r", "\r", "\n"}, {"OK"}},
      {"split mid-word", {"\r\nlo", "ader\r", "\nverhw", "?\r\n"}, {"OK", "VERHW=2.0"}},
      {"several in one write", {"\r\nloader\r\nverhw?\r\npass?\r\n"}, {"OK", "VERHW=2.0", "OK"}},
      {"bare line ends", {"loader\rverhw?\n"}, {"OK", "VERHW=2.0"}},
      {"empty lines are skipped", {"\r\n\r\n\n\rloader\r\n"}, {"OK"}},
      {"noise bytes are not part of a line",
       {std::string("\x08\x08\x08\x18loa\x00"
                    "der\r\n",
                    13)},
       {"OK"}},
      {"letter case counts", {"LOADER\r\n"}, {"ERROR"}},
      {"unknown command", {"reset\r\n"}, {"ERROR"}},
      {"an overlong line is one error",
       {std::string(300, 'x') + "\r\nloader\r\n"},
       {"ERROR", "OK"}},
  };
  TOptions o;
  o.StartInBootloader = true;
  Start(o);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (const std::string& w : c.Writes) {
      // Each piece is read by the device on its own, as a slow host would deliver it.
      const uint64_t before = Sim().BytesHandled();
      Host().Send(w);
      ASSERT_TRUE(WaitUntil([&] { return Sim().BytesHandled() >= before + w.size(); }));
    }
    for (const std::string& r : c.Replies) EXPECT_EQ(Host().Line(), r);
  }
  EXPECT_EQ(Host().Take(), "") << "no stray replies";
}

// The receiver against blocks a faulty line or sender produces.
TEST_F(SimTest, ReceiverAnswersEachBadBlockWithNak) {
  TOptions o;
  o.StartInBootloader = true;
  Start(o);
  EnterReceiver();
  const std::string image = MakeImage(3 * 1024, "2.0.0.3500");
  auto block = [&](uint8_t n) { return MakeBlock(n, image.substr((n - 1) * 1024, 1024), 1024); };
  const std::string ack(1, kAck), nak(1, kNak);

  std::string badComplement = block(1);
  badComplement[2] = 0x00;
  std::string badCrc = block(1);
  badCrc.back() ^= 0x01;
  std::string badData = block(1);
  badData[500] ^= 0x40;
  EXPECT_EQ(SendBlock(badComplement), nak);
  EXPECT_EQ(SendBlock(badCrc), nak);
  EXPECT_EQ(SendBlock(badData), nak);
  EXPECT_EQ(SendBlock(block(2)), nak) << "a block ahead of its turn";
  EXPECT_EQ(SendBlock(block(1)), ack);
  EXPECT_EQ(SendBlock(block(1)), ack) << "a repeated block (our ACK was lost) is acknowledged";
  EXPECT_EQ(SendBlock(block(3)), nak) << "block 2 is missing";
  EXPECT_EQ(SendBlock(block(2)), ack);
  // Noise between blocks is skipped.
  EXPECT_EQ(SendBlock("\x11\x13" + block(3)), ack);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), ack);
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), image) << "each block once, in order";
  EXPECT_EQ(Sim().NaksSent(), 5u);
}

// Checksum blocks of 128 bytes, past block number 255, and a mix of block sizes.
TEST_F(SimTest, ReceiverTakesChecksumBlocksAndWrapsTheBlockNumber) {
  TOptions o;
  o.StartInBootloader = true;
  o.ChecksumHandshake = true;
  o.HandshakeIntervalMs = 60000;  // one handshake NAK only: block NAKs stay unambiguous
  Start(o);
  ASSERT_EQ(Host().Ask("wr_prog\r\n"), "wr_prog");
  EXPECT_EQ(Host().Bytes(1), std::string(1, kNak)) << "asks for checksums";
  const std::string image = MakeImage(300 * 128, "2.0.0.3600");
  SendImage(image, 128, TCheck::Checksum);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), image);
  EXPECT_EQ(Sim().BlocksAccepted(), 300u);
  EXPECT_EQ(Sim().SoftwareVersion(), "2.0.0.3600");
}

TEST_F(SimTest, ReceiverTakesMixedBlockSizes) {
  TOptions o;
  o.StartInBootloader = true;
  Start(o);
  EnterReceiver();
  const std::string image = MakeImage(1024 + 128 + 40, "2.0.0.3601");
  EXPECT_EQ(SendBlock(MakeBlock(1, image.substr(0, 1024), 1024)), std::string(1, kAck));
  EXPECT_EQ(SendBlock(MakeBlock(2, image.substr(1024, 128), 128)), std::string(1, kAck));
  EXPECT_EQ(SendBlock(MakeBlock(3, image.substr(1152), 128)), std::string(1, kAck));
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), Padded(image, 128));
}

// The sender's cancel sequence ends the transfer; its backspaces do not become a command, and
// the erased device has nothing to run. After a power cycle it comes up in its bootloader.
TEST_F(SimTest, SenderCancelLeavesTheDeviceInItsBootloader) {
  Start();
  EXPECT_EQ(Host().Ask("boot\r\n"), "BOOTLOADER");
  EnterReceiver();
  const std::string image = MakeImage(4096, "2.0.0.3452");
  EXPECT_EQ(SendBlock(MakeBlock(1, image.substr(0, 1024), 1024)), std::string(1, kAck));
  Host().Send(kCan3 + "\x08\x08\x08");
  ASSERT_TRUE(WaitUntil([&] { return Sim().Mode() == TMode::Bootloader; }));
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
  EXPECT_EQ(Host().Ask("run\r\n"), "ERROR");
  EXPECT_EQ(Sim().TransfersEnded(), 0u);

  Sim().Stop();
  ASSERT_TRUE(Sim().Start(Pty().Master()));
  EXPECT_EQ(Sim().Mode(), TMode::Bootloader);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
}

// An image without its version tag is refused; a good one afterwards is taken, and the
// device then powers up in its application again.
TEST_F(SimTest, ImageWithoutVersionIsRefused) {
  TOptions o;
  o.StartInBootloader = true;
  Start(o);
  EnterReceiver();
  SendImage(std::string(2000, 'x'));
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "ERROR");
  EXPECT_EQ(Host().Ask("run\r\n"), "ERROR");

  EnterReceiver();
  SendImage(MakeImage(2000, "2.0.0.3452"));
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  Sim().Stop();
  ASSERT_TRUE(Sim().Start(Pty().Master()));
  EXPECT_EQ(Sim().Mode(), TMode::Application);
  EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3452");
}

TEST_F(SimTest, StalledBlockIsDroppedWithNak) {
  TOptions o;
  o.StartInBootloader = true;
  o.CharTimeoutMs = 100;
  Start(o);
  EnterReceiver();
  const std::string block = MakeBlock(1, MakeImage(1024, "1.2.3.4"), 1024);
  EXPECT_EQ(SendBlock(block.substr(0, 600)), std::string(1, kNak));
  EXPECT_EQ(SendBlock(block), std::string(1, kAck));
  EXPECT_EQ(Sim().BlocksAccepted(), 1u);
}

// A sender that vanishes after the handshake: the receiver prompts it with NAKs and finally
// gives up with a cancel, back at its commands.
TEST_F(SimTest, SilentSenderIsGivenUp) {
  TOptions o;
  o.StartInBootloader = true;
  o.BlockTimeoutMs = 20;
  Start(o);
  EnterReceiver();
  EXPECT_EQ(SendBlock(MakeBlock(1, MakeImage(128, "1.2.3.4"), 128)), std::string(1, kAck));
  ASSERT_TRUE(Host().ReadUntil([](const std::string& b) { return b.find(kCan) != b.npos; }));
  EXPECT_EQ(Host().Take(), std::string(10, kNak) + kCan3);
  EXPECT_EQ(Sim().Mode(), TMode::Bootloader);
}

// ---- Faults ----

TEST_F(SimTest, SilentDeviceAnswersNothing) {
  TOptions o;
  o.Silent = true;
  Start(o);
  const std::string commands = "\r\nloader\r\nversw?\r\nboot\r\n";
  Host().Send(commands);
  ASSERT_TRUE(WaitUntil([&] { return Sim().BytesHandled() >= commands.size(); }));
  EXPECT_EQ(Sim().ToHost(), "");
  EXPECT_THAT(Sim().Commands(), ::testing::ElementsAre("loader", "versw?", "boot"));
}

TEST_F(SimTest, UnendedReplyNeverEnds) {
  TOptions o;
  o.UnendedReplyTo = "versw?";
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR");
  const std::string more = "versw?\r\nboot\r\nversw?\r\n";
  Host().Send(more);
  ASSERT_TRUE(WaitUntil([&] { return Sim().BytesHandled() >= 10 + more.size(); }));
  ASSERT_TRUE(Host().ReadUntil([](const std::string& b) { return b.size() >= 18; }));
  EXPECT_EQ(Host().Take(), "\r\nVERSW=2.0.0.3400") << "begun, never ended, nothing after";
  EXPECT_EQ(Sim().ToHost(), "\r\nERROR\r\n\r\nVERSW=2.0.0.3400");
}

TEST_F(SimTest, ErrorOnChosenCommand) {
  struct TCase {
    const char* Command;
    const char* Sent;
  };
  for (const TCase& c : {TCase{"verhw?", "verhw?\r\n"}, TCase{"pass=", "pass=secret\r\n"},
                         TCase{"loader", "\r\nloader\r\n"}}) {
    SCOPED_TRACE(c.Command);
    TOptions o;
    o.StartInBootloader = true;
    o.Password = "secret";
    o.ErrorOn = {c.Command};
    Start(o);
    EXPECT_EQ(Host().Ask(c.Sent), "ERROR");
    EXPECT_EQ(Host().Ask("pass?\r\n"), "PASSWORD ERROR") << "other commands as usual";
    sim_.reset();
    host_.reset();
  }
}

// Every command of the dialogue can be refused, one or several at once; a refused command is
// not carried out.
TEST_F(SimTest, ErrorOnEveryDialogueCommand) {
  struct TCase {
    std::vector<std::string> ErrorOn;
    bool InBootloader;
    std::vector<std::string> Refused;  // sent in turn, each answered ERROR
    std::string Then;                  // answered as usual afterwards
    std::string ThenReply;
    TMode Mode;  // where the device stays
  };
  const std::vector<TCase> cases = {
      {{"versw?"}, false, {"versw?\r\n"}, "boot\r\n", "BOOTLOADER", TMode::Bootloader},
      {{"boot"}, false, {"boot\r\n"}, "versw?\r\n", "VERSW=2.0.0.3400", TMode::Application},
      {{"verhw?"}, true, {"verhw?\r\n"}, "pass?\r\n", "OK", TMode::Bootloader},
      {{"pass?"}, true, {"pass?\r\n"}, "verhw?\r\n", "VERHW=2.0", TMode::Bootloader},
      {{"wr_prog"}, true, {"wr_prog\r\n"}, "run\r\n", "OK", TMode::Application},
      {{"run"}, true, {"run\r\n"}, "verhw?\r\n", "VERHW=2.0", TMode::Bootloader},
      {{"verhw?", "pass?"},
       true,
       {"verhw?\r\n", "pass?\r\n"},
       "\r\nloader\r\n",
       "OK",
       TMode::Bootloader},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Refused.front());
    TOptions o;
    o.StartInBootloader = c.InBootloader;
    o.ErrorOn = c.ErrorOn;
    Start(o);
    for (const std::string& r : c.Refused) EXPECT_EQ(Host().Ask(r), "ERROR");
    EXPECT_EQ(Host().Ask(c.Then), c.ThenReply);
    EXPECT_EQ(Sim().Mode(), c.Mode);
    EXPECT_TRUE(Sim().ApplicationValid()) << "a refused wr_prog erases nothing";
    sim_.reset();
    host_.reset();
  }
}

// A device that hangs in the middle of the dialogue: from the chosen command on it neither
// answers nor acts, until it is powered up again.
TEST_F(SimTest, SilentFromChosenCommandUntilPoweredUpAgain) {
  struct TCase {
    const char* SilentFrom;
    bool InBootloader;
    std::string Before;  // answered as usual
    std::string BeforeReply;
    TMode PoweredUpIn;
  };
  for (const TCase& c : {TCase{"boot", false, "versw?\r\n", "VERSW=2.0.0.3400", TMode::Application},
                         TCase{"wr_prog", true, "pass?\r\n", "OK", TMode::Application}}) {
    SCOPED_TRACE(c.SilentFrom);
    TOptions o;
    o.StartInBootloader = c.InBootloader;
    o.SilentFrom = c.SilentFrom;
    Start(o);
    EXPECT_EQ(Host().Ask(c.Before), c.BeforeReply);
    const TMode mode = Sim().Mode();
    const uint64_t handled = Sim().BytesHandled();
    const std::string toHost = Sim().ToHost();
    const std::string after = std::string(c.SilentFrom) + "\r\n" + c.Before + "\r\nloader\r\n";
    Host().Send(after);
    ASSERT_TRUE(WaitUntil([&] { return Sim().BytesHandled() >= handled + after.size(); }));
    EXPECT_EQ(Sim().ToHost(), toHost) << "nothing more";
    EXPECT_EQ(Sim().Mode(), mode) << "the command was not carried out";
    EXPECT_TRUE(Sim().ApplicationValid());
    Sim().Stop();
    ASSERT_TRUE(Sim().Start(Pty().Master()));
    EXPECT_EQ(Sim().Mode(), c.PoweredUpIn);
    EXPECT_EQ(Host().Take(), "");
    EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR") << "answers again once re-powered";
    sim_.reset();
    host_.reset();
  }
}

// A stray line between an ACK and the next block's answer: a sender that waits for each ACK
// and skips other bytes still delivers the image, and the device then runs it.
TEST_F(SimTest, StrayLineBetweenAckAndTheNextBlock) {
  struct TCase {
    int AfterBlock;
    std::optional<std::string> Line;  // none: the default
    std::string Expected;
  };
  for (const TCase& c :
       {TCase{2, std::nullopt, "\r\nOK\r\n"}, TCase{1, "\r\nERROR\r\n\x01", "\r\nERROR\r\n\x01"}}) {
    SCOPED_TRACE(c.AfterBlock);
    TOptions o;
    o.StartInBootloader = true;
    o.StrayLineAfterBlock = c.AfterBlock;
    if (c.Line) o.StrayLine = *c.Line;
    Start(o);
    EnterReceiver();
    const std::string image = MakeImage(3 * 1024, "2.0.0.3452");
    const std::string ack(1, kAck);
    auto acks = [](size_t n) {
      return [n](const std::string& b) {
        return static_cast<size_t>(std::count(b.begin(), b.end(), kAck)) >= n;
      };
    };
    for (size_t b = 1; b <= 3; ++b) {
      Host().Send(MakeBlock(static_cast<uint8_t>(b), image.substr((b - 1) * 1024, 1024), 1024));
      ASSERT_TRUE(Host().ReadUntil(acks(b))) << "block " << b;
    }
    Host().Send(std::string(1, kEot));
    ASSERT_TRUE(Host().ReadUntil([](const std::string& b) {
      return b.size() >= 7 && b.compare(b.size() - 7, 7, "\x06\r\nOK\r\n") == 0;
    }));
    std::string got = Host().Take();
    got.erase(0, got.find(kAck));  // the handshakes before block 1
    std::string expected;
    for (int b = 1; b <= 3; ++b) expected += b == c.AfterBlock ? ack + c.Expected : ack;
    EXPECT_EQ(vexsim::Escape(got), vexsim::Escape(expected + ack + "\r\nOK\r\n"));
    EXPECT_EQ(Sim().ReceivedImage(), image);
    EXPECT_EQ(Host().Ask("run\r\n"), "OK");
    EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3452");
    sim_.reset();
    host_.reset();
  }
}

// What the updated application says about its version: nothing (ERROR) until re-powered or
// for good, or a version that is not the image's.
TEST_F(SimTest, VersionReportedAfterAnUpdate) {
  struct TCase {
    const char* Name;
    std::function<void(TOptions&)> Set;
    std::string AfterRun;
    std::string AfterPowerUp;
  };
  const std::vector<TCase> cases = {
      {"ERROR after run", [](TOptions& o) { o.VersionErrorAfterRun = true; }, "ERROR",
       "VERSW=2.0.0.3452"},
      {"ERROR for good", [](TOptions& o) { o.VersionErrorForever = true; }, "ERROR", "ERROR"},
      {"a lie", [](TOptions& o) { o.VersionAfterUpdate = "2.0.0.9999"; }, "VERSW=2.0.0.9999",
       "VERSW=2.0.0.9999"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TOptions o;
    c.Set(o);
    Start(o);
    EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3400") << "the old application answers";
    EXPECT_EQ(Host().Ask("boot\r\n"), "BOOTLOADER");
    EnterReceiver();
    SendImage(MakeImage(2000, "2.0.0.3452"));
    Host().Send(std::string(1, kEot));
    EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
    EXPECT_EQ(Host().Line(), "OK");
    EXPECT_EQ(Host().Ask("run\r\n"), "OK");
    EXPECT_EQ(Host().Ask("versw?\r\n"), c.AfterRun);
    EXPECT_EQ(Host().Ask("versw?\r\n"), c.AfterRun) << "asked again";
    Sim().Stop();
    ASSERT_TRUE(Sim().Start(Pty().Master()));
    EXPECT_EQ(Host().Ask("versw?\r\n"), c.AfterPowerUp);
    sim_.reset();
    host_.reset();
  }
}

// A slow device: each answer to the host, reply line or ACK, comes no sooner than the delay.
TEST_F(SimTest, LateReplies) {
  TOptions o;
  o.StartInBootloader = true;
  o.ReplyDelayMs = 300;
  Start(o);
  const auto late = std::chrono::milliseconds(300);
  auto start = Clock::now();
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
  EXPECT_GE(Clock::now() - start, late);
  EnterReceiver();
  start = Clock::now();
  EXPECT_EQ(SendBlock(MakeBlock(1, MakeImage(1024, "1.2.3.4"), 1024)), std::string(1, kAck));
  EXPECT_GE(Clock::now() - start, late);
}

// Every reply line twice, the final verdict of a transfer included; the receiver's ACKs once.
TEST_F(SimTest, DuplicatedReplies) {
  TOptions o;
  o.StartInBootloader = true;
  o.DuplicateReplies = true;
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK");
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Host().Ask("wr_prog\r\n"), "wr_prog");
  EXPECT_EQ(Host().Line(), "wr_prog");
  const std::string image = MakeImage(1024, "2.0.0.3452");
  SendImage(image);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Host().Ask("run\r\n"), "OK");
  EXPECT_EQ(Host().Line(), "OK");
  const std::string toHost = Sim().ToHost();
  EXPECT_EQ(std::count(toHost.begin(), toHost.end(), kAck), 2) << "block 1 and the EOT, once each";
  EXPECT_EQ(Sim().ReceivedImage(), image);
}

// Bytes given on a command line, as the transcript shows them.
TEST(SimUnescape, TakesTheTranscriptsEscapesOnly) {
  std::string out;
  ASSERT_TRUE(vexsim::Unescape("\\r\\nOK\\x06\\xfF\\\\ x", out));
  EXPECT_EQ(out, "\r\nOK\x06\xFF\\ x");
  for (const char* bad : {"\\", "\\t", "\\x4", "\\xG0"}) {
    EXPECT_FALSE(vexsim::Unescape(bad, out)) << bad;
  }
}

TEST_F(SimTest, NakOnTheFirstArrivalOfBlockOne) {
  TOptions o;
  o.StartInBootloader = true;
  o.NakFirstBlock = true;
  Start(o);
  EnterReceiver();
  const std::string image = MakeImage(2048, "2.0.0.3452");
  const std::string first = MakeBlock(1, image.substr(0, 1024), 1024);
  EXPECT_EQ(SendBlock(first), std::string(1, kNak));
  EXPECT_EQ(SendBlock(first), std::string(1, kAck));
  EXPECT_EQ(SendBlock(MakeBlock(2, image.substr(1024), 1024)), std::string(1, kAck));
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "OK");
  EXPECT_EQ(Sim().ReceivedImage(), image);
}

TEST_F(SimTest, NakOnEveryBlockUntilTheSenderCancels) {
  TOptions o;
  o.StartInBootloader = true;
  o.NakEveryBlock = true;
  Start(o);
  EnterReceiver();
  const std::string first = MakeBlock(1, MakeImage(1024, "2.0.0.3452"), 1024);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(SendBlock(first), std::string(1, kNak)) << i;
  EXPECT_EQ(Sim().Mode(), TMode::Receiving) << "refusals of its own do not end the transfer";
  Host().Send(kCan3 + "\x08\x08\x08");
  ASSERT_TRUE(WaitUntil([&] { return Sim().Mode() == TMode::Bootloader; }));
  EXPECT_EQ(Sim().BlocksAccepted(), 0u);
}

TEST_F(SimTest, CancelAfterBlocks) {
  for (int n : {0, 2}) {
    SCOPED_TRACE("cancel after " + std::to_string(n));
    TOptions o;
    o.StartInBootloader = true;
    o.CancelAfterBlock = n;
    Start(o);
    EnterReceiver();
    const std::string image = MakeImage(4096, "2.0.0.3452");
    for (int b = 1; b <= n; ++b) {
      EXPECT_EQ(
          SendBlock(MakeBlock(static_cast<uint8_t>(b), image.substr((b - 1) * 1024, 1024), 1024)),
          std::string(1, kAck));
    }
    EXPECT_EQ(SendBlock(MakeBlock(static_cast<uint8_t>(n + 1), image.substr(n * 1024, 1024), 1024)),
              kCan3);
    EXPECT_EQ(Sim().Mode(), TMode::Bootloader);
    EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "OK") << "back at its commands";
    sim_.reset();
    host_.reset();
  }
}

TEST_F(SimTest, ErrorInsteadOfOkAfterTheTransfer) {
  TOptions o;
  o.StartInBootloader = true;
  o.ErrorAfterTransfer = true;
  Start(o);
  EnterReceiver();
  const std::string image = MakeImage(1500, "2.0.0.3452");
  SendImage(image);
  Host().Send(std::string(1, kEot));
  EXPECT_EQ(Host().Bytes(1), std::string(1, kAck));
  EXPECT_EQ(Host().Line(), "ERROR");
  EXPECT_EQ(Sim().ReceivedImage(), Padded(image, 1024)) << "received, then rejected";
  EXPECT_FALSE(Sim().ApplicationValid());
}

TEST_F(SimTest, HangUpInTheMiddleOfTheTransferRunsTheCallersAction) {
  std::atomic<int> hungUpFd{-1};
  TOptions o;
  o.StartInBootloader = true;
  o.HangUpAfterBlock = 2;
  o.HangUp = [&](int fd) { hungUpFd = fd; };
  Start(o);
  EnterReceiver();
  const std::string image = MakeImage(4096, "2.0.0.3452");
  EXPECT_EQ(SendBlock(MakeBlock(1, image.substr(0, 1024), 1024)), std::string(1, kAck));
  Host().Send(MakeBlock(2, image.substr(1024, 1024), 1024));
  ASSERT_TRUE(WaitUntil([&] { return !Sim().Running(); }));
  EXPECT_TRUE(Sim().HungUp());
  EXPECT_EQ(hungUpFd.load(), Pty().Master());
  EXPECT_EQ(Sim().BlocksAccepted(), 1u);
  EXPECT_EQ(Host().Take(), "") << "block 2 is never answered";
}

// Without an action of the caller's, vanishing closes the descriptor: the host's side ends.
TEST(SimHangUp, DefaultClosesTheDescriptor) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const timeval limit{30, 0};  // a device that never hangs up fails the test, not the run
  ::setsockopt(pair[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  TOptions o;
  o.StartInBootloader = true;
  o.HangUpAfterBlock = 1;
  vexsim::TSimulator sim(o);
  ASSERT_TRUE(sim.Start(pair[0]));
  const std::string cmd = "wr_prog\r\n";
  ASSERT_EQ(::write(pair[1], cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
  const std::string block = MakeBlock(1, MakeImage(128, "1.2.3.4"), 128);
  ASSERT_EQ(::write(pair[1], block.data(), block.size()), static_cast<ssize_t>(block.size()));
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = ::read(pair[1], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0) << "end of file: the device closed its side";
  EXPECT_EQ(got.substr(0, 12), "\r\nwr_prog\r\nC");
  ASSERT_TRUE(WaitUntil([&] { return !sim.Running(); }));
  EXPECT_TRUE(sim.HungUp());
  ::close(pair[1]);
}

TEST_F(SimTest, SingleByteReplies) {
  TOptions o;
  o.SingleByteReplies = true;
  Start(o);
  EXPECT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR");
  EXPECT_EQ(Host().Ask("versw?\r\n"), "VERSW=2.0.0.3400");
  // The device records a byte just after writing it.
  ASSERT_TRUE(WaitUntil([&] { return Sim().ToHost().size() == 9u + 20u; }));
  size_t toHost = 0;
  for (const vexsim::TChunk& c : Sim().Transcript()) {
    if (c.Direction != vexsim::TDirection::ToHost) continue;
    EXPECT_EQ(c.Bytes.size(), 1u);
    ++toHost;
  }
  EXPECT_EQ(toHost, 9u + 20u);
}

// With the line paced, a reply cannot come back sooner than the command and the reply take on
// a 115200 8N1 line.
TEST_F(SimTest, PacedLineTakesAtLeastTheLineTime) {
  TOptions o;
  o.PaceLine = true;
  Start(o);
  // The empty lines in front are skipped, but they take their time on the line.
  const std::string command = std::string(500, '\r') + "versw?\r\n";
  const auto start = Clock::now();
  Host().Send(command);
  EXPECT_EQ(Host().Line(), "VERSW=2.0.0.3400");
  const auto elapsed = Clock::now() - start;
  const auto lineTime = vexsim::kByteTime * static_cast<int64_t>(command.size() + 20);
  EXPECT_GE(elapsed, lineTime);
}

// The transcript file shows every byte each way, whether or not the device also keeps the
// bytes in memory (a long run turns that off).
TEST_F(SimTest, TranscriptFile) {
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "kept in memory too" : "file only");
    char path[] = "/tmp/sim-transcript-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TOptions o;
    o.TranscriptPath = path;
    o.KeepTranscript = keep;
    Start(o);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Host().Ask("\r\nloader\r\n"), "ERROR");
    // At least one record each way per exchange (a read may come in pieces).
    if (keep) {
      EXPECT_GE(Sim().Transcript().size(), 100u);
    } else {
      EXPECT_TRUE(Sim().Transcript().empty());
      EXPECT_EQ(Sim().ToHost(), "");
    }
    EXPECT_EQ(Sim().CommandBytes().size(), 500u) << "the commands are kept either way";
    sim_.reset();
    host_.reset();
    std::string text;
    if (FILE* f = std::fopen(path, "r")) {
      char buf[512];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
    }
    ::unlink(path);
    EXPECT_THAT(text, ::testing::ContainsRegex("H>D \\\\r\\\\nloader\\\\r\\\\n\n"));
    EXPECT_THAT(text, ::testing::ContainsRegex("D>H \\\\r\\\\nERROR\\\\r\\\\n\n"));
    EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 100);
  }
}

}  // namespace
