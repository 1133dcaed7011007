// The Xmodem transmitter against a receiver scripted on the pty's master side: the exact
// bytes on the wire, the handshake variants, retries and fall-back, the EOT exchange, every
// way a transfer is cancelled, and the finish codes and status reports that result.

#include "protocol/Xmodem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/Exceptions.h"
#include "comm/IoQueue.h"
#include "tests/protocol/TransferFixture.h"

namespace {

using namespace prototest;
using comm::TransferRecord;

const std::string C = "C";
const std::string ACK = "\x06";
const std::string NAK = "\x15";
const std::string CAN = "\x18";
const std::string EOT = "\x04";

class XmodemTest : public TransferFixture {
 protected:
  TransferRecord& Record() { return protocol.Record(); }
};

TEST_F(XmodemTest, CrcHandshakeSendsNumberedBlocksWithFillThenEot) {
  const std::string file = Pattern(2500);
  UseFile(file);
  protocol.StartTransmit();
  // The file is open once StartTransmit returns.
  EXPECT_EQ(protocol.FileLength(), 2500);
  EXPECT_TRUE(protocol.InProgress());

  std::vector<std::string> wire;
  Peer([&] {
    Say(C);
    for (int i = 0; i < 3; ++i) {
      wire.push_back(Take(1029));
      Say(ACK);
    }
    wire.push_back(Take(1));
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());

  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[0], WireBlock(1, BlockData(file, 0, 1024), true));
  EXPECT_EQ(wire[1], WireBlock(2, BlockData(file, 1024, 1024), true));
  EXPECT_EQ(wire[2], WireBlock(3, BlockData(file, 2048, 1024), true));
  EXPECT_EQ(wire[3], EOT);

  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(logs, (std::vector<uint16_t>{comm::lfTransmitStart, comm::lfTransmitOk}));
  EXPECT_FALSE(protocol.InProgress());
  EXPECT_EQ(protocol.ProtocolStatus(), comm::psEndFile);
  // Whole blocks are counted, fill included; nothing is left in the output buffer.
  EXPECT_EQ(Record().RawBytesTransferred, 3072);
  EXPECT_EQ(protocol.BytesTransferred(), 3072);

  // First report (Options 1), the first step's forced report, the one after the file was
  // opened, updates in between, and the last report (Options 2) with the success status.
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports[0].Options, comm::soFirstReport);
  EXPECT_EQ(reports[0].Status, comm::psOK);
  EXPECT_EQ(reports[0].Bytes, 0);
  EXPECT_EQ(reports[1].Options, 0);
  EXPECT_EQ(reports[1].Status, comm::psOK);
  EXPECT_EQ(reports[2].Options, 0);
  EXPECT_EQ(reports[2].Status, comm::psProtocolHandshake);
  EXPECT_EQ(reports[2].Length, 2500);
  for (size_t i = 1; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i].Options, 0) << i;
  EXPECT_EQ(reports.back().Options, comm::soLastReport);
  EXPECT_EQ(reports.back().Status, comm::psEndFile);
}

TEST_F(XmodemTest, NakHandshakeGivesChecksumWithOneKBlocks) {
  const std::string file = Pattern(1024, 7);
  UseFile(file);
  protocol.StartTransmit();
  std::string block, eot;
  Peer([&] {
    Say(NAK);
    block = Take(1028);
    Say(ACK);
    eot = Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  // A file of exactly one block: no fill, no empty block before the EOT.
  EXPECT_EQ(block, WireBlock(1, file, false));
  EXPECT_EQ(eot, EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(Record().ProtocolType, comm::ptXmodem);
  EXPECT_EQ(protocol.BlockCheckMethod(), comm::bcmChecksum);
}

TEST_F(XmodemTest, StreamingHandshakeSendsWithoutWaitingForAcks) {
  const std::string file = Pattern(3000, 3);
  UseFile(file);
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say("G");
    wire = Take(3 * 1029 + 1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(wire, WireBlock(1, BlockData(file, 0, 1024), true) +
                      WireBlock(2, BlockData(file, 1024, 1024), true) +
                      WireBlock(3, BlockData(file, 2048, 1024), true) + EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  // Streaming stays for the component's later transfers.
  EXPECT_TRUE(Record().GMode);
  EXPECT_EQ(Record().ProtocolType, comm::ptXmodem1KG);
}

// An output buffer with room for one 1K block: streaming must wait for the room each time.
TEST_F(XmodemTest, StreamingWaitsForRoomInTheOutputBuffer) {
  port.SetOpen(false);
  port.SetOutSize(1030);
  port.SetOpen(true);
  const std::string file = Pattern(5000, 4);
  UseFile(file);
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say("G");
    wire = Take(5 * 1029 + 1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  std::string expected;
  for (uint32_t n = 1; n <= 5; ++n)
    expected += WireBlock(n, BlockData(file, (n - 1) * 1024, 1024), true);
  EXPECT_TRUE(wire == expected + EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
}

// In streaming mode a block cannot be sent again: a CAN or a NAK from the receiver ends the
// transfer as cancelled, whether it is found after a block or while the transmitter waits
// for room in the output buffer (here: the receiver stops reading after its reply, so the
// line fills up).
TEST_F(XmodemTest, CanOrNakDuringStreamingCancels) {
  port.SetOpen(false);
  port.SetOutSize(1030);
  port.SetOpen(true);
  const std::string file = Pattern(400000, 6);
  for (const std::string& reply : {CAN, NAK}) {
    SCOPED_TRACE(reply == CAN ? "CAN" : "NAK");
    finishCodes.clear();
    reports.clear();
    UseFile(file);
    protocol.StartTransmit();
    Peer([&] {
      Say("G");
      Take(1029);
      Say(reply);
    });
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecCancelRequested});
    EXPECT_EQ(reports.back().Status, comm::psCancelRequested);
    // What was on its way still arrives (the clear may cut a block short); the file does not.
    EXPECT_LT(pty.ReadUntilIdle(200).size(), file.size());
  }
}

TEST_F(XmodemTest, BlockThatNeverFitsTheOutputBufferTimesOut) {
  port.SetOpen(false);
  port.SetOutSize(1000);
  port.SetOpen(true);
  protocol.SetTransmitTimeout(2);
  UseFile(Pattern(3000));
  protocol.StartTransmit();
  Peer([&] { Say(C); });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(errors, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(pty.ReadUntilIdle(100), "");
}

// Noise before the receiver's request is counted as an error and otherwise ignored: more
// noise bytes than there are handshake waits do not end the transfer, and the request after
// them starts it within the first wait.
TEST_F(XmodemTest, NoiseBeforeTheHandshakeIsCountedNotAWait) {
  const std::string file = Pattern(100);
  UseFile(file);
  protocol.StartTransmit();
  std::string noise = "\r\nwr_prog\r\nxyz\x06";
  noise += '\0';
  noise += '\xff';
  std::string block;
  Peer([&] {
    Say(noise);
    // Once the transmitter has taken every noise byte.
    if (!WaitUntil(
            [&] { return Record().TotalErrors.load() == static_cast<int32_t>(noise.size()); }))
      return;
    Say(C);
    block = Take(1029);
    Say(ACK);
    Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(block == WireBlock(1, BlockData(file, 0, 1024), true)) << block.size() << " bytes";
  EXPECT_EQ(Record().HandshakeAttempt, 1);
}

// A receiver that only babbles is given up all the same after HandshakeRetry waits: noise
// never starts a wait afresh.
TEST_F(XmodemTest, ABabblingReceiverIsGivenUpAfterItsWaits) {
  UseFile(Pattern(100));
  protocol.SetHandshakeRetry(2);
  protocol.SetHandshakeWait(2);
  protocol.StartTransmit();
  std::atomic<bool> stopNoise{false};
  std::atomic<bool> endedWhileBabbling{false};
  Peer([&] {
    // A noise byte every 20 ms, more often than a wait of two ticks runs out; for at most
    // 30 s, far longer than the three waits take.
    for (int i = 0; i < 1500 && !stopNoise.load(); ++i) {
      Say("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    endedWhileBabbling = stopNoise.load();
  });
  ASSERT_TRUE(WaitUntil([&] { return !finishCodes.empty(); }, 40000));
  stopNoise = true;
  ASSERT_TRUE(WaitFinished());
  EXPECT_TRUE(endedWhileBabbling.load());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(Record().HandshakeAttempt, 3);
}

// The update starts the transfer from inside the delivery that announced the receiver: a
// packet handler sees the wr_prog reply and the first handshake characters, and the main
// thread clears the input and starts the transmitter while that delivery waits. The
// transmitter's step is called in the same delivery; what was cleared before the start must
// not reach it, or the reply's eleven bytes use up every handshake wait at once ("Fatal time
// out" a moment after the start). The first 'C' after the start begins the transfer.
TEST_F(XmodemTest, BytesClearedBeforeTheStartNeverReachTheHandshake) {
  const std::string file = Pattern(100);
  UseFile(file);
  const std::string announce = "\r\nwr_prog\r\nCC";
  comm::TBaseDispatcher* d = port.ActiveDispatcher();
  ASSERT_NE(d, nullptr);
  auto started = std::make_shared<std::atomic<bool>>(false);
  d->AddEventHandler(started.get(), [this, d, started, size = announce.size()](
                                        uint32_t msg, uint32_t wParam, int32_t) {
    // Everything announced at once, as a delivery on a busy machine has it.
    if (msg != comm::TriggerAvailMessage || started->load() || wParam < size) return;
    std::string seen(wParam, '\0');
    d->ReceiveBlock(seen.data(), static_cast<int32_t>(wParam));
    comm::RunOnMainThread(d->DispatchThread(), [&] {
      port.ClearInput();
      protocol.StartTransmit();
      started->store(true);
    });
  });
  std::string block;
  std::atomic<int32_t> errorsBeforeTheRequest{-1};
  Peer([&] {
    Say(announce);
    // The delivery that started the transfer has ended: the step has had its pass over it.
    if (!WaitUntil([&] { return started->load() && !d->DispatchActive(); })) return;
    errorsBeforeTheRequest = Record().TotalErrors.load();
    Say(C);
    block = Take(1029);
    Say(ACK);
    Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  d->RemoveEventHandler(started.get());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(block == WireBlock(1, BlockData(file, 0, 1024), true)) << block.size() << " bytes";
  EXPECT_EQ(Record().HandshakeAttempt, 1);
  EXPECT_EQ(errorsBeforeTheRequest.load(), 0);  // not even taken for noise
}

TEST_F(XmodemTest, HandshakeGivesUpAfterItsRetries) {
  UseFile(Pattern(100));
  protocol.SetHandshakeRetry(2);
  protocol.SetHandshakeWait(2);
  protocol.StartTransmit();
  Peer([&] { Say("xy"); });  // noise, which uses up no wait
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(errors, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(pty.ReadUntilIdle(100), "");  // no block and no cancel sequence

  // A silent receiver: each wait expires in turn.
  reports.clear();
  finishCodes.clear();
  errors.clear();
  protocol.StartTransmit();
  Peer([] {});
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTimeout});
  EXPECT_EQ(Record().HandshakeAttempt, 3);
  EXPECT_EQ(reports.back().Options, comm::soLastReport);
  EXPECT_EQ(reports.back().Status, comm::psProtocolHandshake);
}

// More than MaxBlockErrors errors on a 1024-byte block fall back to 128-byte blocks from the
// next block number on; the block itself goes again whole. The receiver may already hold it
// (the NAK was noise, its ACK was lost): a 128-byte block of the same number would be taken
// for a copy and acknowledged, and every later block would carry data from the wrong offset.
TEST_F(XmodemTest, TooManyErrorsFallBackToShortBlocksAfterTheBlock) {
  struct Case {
    const char* Name;
    size_t FileSize;
    std::vector<std::string> Replies;  // the receiver's answers to the first sends of block 2
    int32_t Errors;
  };
  const std::vector<Case> cases = {
      {"six NAKs", 2200, std::vector<std::string>(6, NAK), 6},
      {"noise, then a NAK that may be noise too", 2200, {"abcdef" + NAK}, 7},
      {"six NAKs on the last block", 1324, std::vector<std::string>(6, NAK), 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    finishCodes.clear();
    protocol.SetProtocolType(comm::ptXmodemCRC);
    protocol.SetProtocolType(comm::ptXmodem1K);
    const std::string file = Pattern(c.FileSize, 5);
    UseFile(file);
    protocol.StartTransmit();
    std::string wire;
    const size_t shortBlocks = (c.FileSize - 2048 + 127) / 128;
    Peer([&] {
      Say(C);
      wire += Take(1029);
      Say(ACK);
      for (const std::string& reply : c.Replies) {
        wire += Take(1029);
        Say(reply);
      }
      wire += Take(1029);
      Say(ACK);
      if (c.FileSize > 2048) {
        for (size_t i = 0; i < shortBlocks; ++i) {
          wire += Take(133);
          Say(ACK);
        }
      }
      wire += Take(1);
      Say(ACK);
    });
    ASSERT_TRUE(WaitFinished());

    const std::string block2 = WireBlock(2, BlockData(file, 1024, 1024), true);
    std::string expected = WireBlock(1, BlockData(file, 0, 1024), true);
    for (size_t i = 0; i <= c.Replies.size(); ++i) expected += block2;
    if (c.FileSize > 2048) {
      for (size_t i = 0; i < shortBlocks; ++i)
        expected +=
            WireBlock(static_cast<uint8_t>(3 + i), BlockData(file, 2048 + 128 * i, 128), true);
    }
    expected += EOT;
    EXPECT_TRUE(wire == expected) << "wire has " << wire.size() << " bytes, not "
                                  << expected.size();
    EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
    EXPECT_EQ(Record().TotalErrors, c.Errors);
    EXPECT_EQ(Record().BlockLength, 128);  // stays for the next transfer
  }
}

// The block that brought the fall-back has its own tries, whole; past them the transfer is
// cancelled, never continued with short blocks of the same number.
TEST_F(XmodemTest, TooManyErrorsAgainAfterTheFallBackCancels) {
  const std::string file = Pattern(3000, 6);
  UseFile(file);
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say(C);
    for (int i = 0; i < 12; ++i) {
      wire += Take(1029);
      Say(NAK);
    }
    wire += Take(6);
  });
  ASSERT_TRUE(WaitFinished());
  std::string expected;
  for (int i = 0; i < 12; ++i) expected += WireBlock(1, BlockData(file, 0, 1024), true);
  EXPECT_TRUE(wire == expected + kCancelSequence) << "wire has " << wire.size() << " bytes";
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTooManyErrors});
  EXPECT_EQ(Record().BlockLength, 128);
}

TEST_F(XmodemTest, NakStormOnShortBlocksCancels) {
  protocol.SetProtocolType(comm::ptXmodemCRC);
  const std::string file = Pattern(500);
  UseFile(file);
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say(C);
    for (int i = 0; i < 6; ++i) {
      wire += Take(133);
      Say(NAK);
    }
    wire += Take(6);
  });
  ASSERT_TRUE(WaitFinished());
  std::string expected;
  for (int i = 0; i < 6; ++i) expected += WireBlock(1, BlockData(file, 0, 128), true);
  EXPECT_EQ(wire, expected + kCancelSequence);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTooManyErrors});
  EXPECT_EQ(errors, std::vector<int32_t>{comm::ecTooManyErrors});
  EXPECT_EQ(logs.back(), comm::lfTransmitFail);
}

TEST_F(XmodemTest, SilentReceiverGetsTheBlockAgainWithoutCounting) {
  protocol.SetXYmodemBlockWait(4);
  const std::string file = Pattern(200);
  UseFile(file);
  protocol.StartTransmit();
  std::vector<std::string> blocks;
  Peer([&] {
    Say(C);
    for (int i = 0; i < 3; ++i) blocks.push_back(Take(1029));  // no reply twice
    Say(ACK);
    Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  const std::string expected = WireBlock(1, BlockData(file, 0, 1024), true);
  EXPECT_EQ(blocks, std::vector<std::string>(3, expected));
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(Record().TotalErrors, 0);
}

// Bytes other than ACK, NAK and CAN on the line back are noise: each is counted as an
// error, and the reply the transmitter waits for is still to come. Only a NAK or the end of
// the wait sends a block again; a block sent again for noise would draw a second ACK that
// the next block takes for its own.
TEST_F(XmodemTest, NoiseWhileWaitingForAReplyIsCountedNotAnswered) {
  struct Case {
    const char* Name;
    std::string BlockReply;  // the receiver's answer to block 1
    std::string EotReply;    // its answer to the first EOT
    std::string Wire;        // what follows block 1 on the wire
    int32_t Code;
    int32_t Errors;
  };
  const std::string file = Pattern(1500, 11);
  const std::string block2 = WireBlock(2, BlockData(file, 1024, 1024), true);
  const std::vector<Case> cases = {
      {"noise before the block's ACK", "x" + ACK, ACK, block2 + EOT, 0, 1},
      {"noise before a NAK", "" + NAK, ACK,
       WireBlock(1, BlockData(file, 0, 1024), true) + block2 + EOT, 0, 2},
      {"noise before the EOT's ACK", ACK, "C" + ACK, block2 + EOT, 0, 1},
      {"noise up to the limit before the EOT's ACK", ACK, "abcde" + ACK, block2 + EOT, 0, 5},
      {"noise past the limit in reply to the EOT", ACK, "abcdef", block2 + EOT,
       comm::ecTooManyErrors, 6},
      {"a NAK with the ACK right behind it", ACK, NAK + ACK, block2 + EOT, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    finishCodes.clear();
    UseFile(file);
    protocol.StartTransmit();
    std::string wire;
    Peer([&] {
      Say(C);
      Take(1029);
      Say(c.BlockReply);
      if (c.BlockReply.back() == NAK[0]) {
        wire += Take(1029);
        Say(ACK);
      }
      wire += Take(1029);
      Say(ACK);
      wire += Take(1);
      Say(c.EotReply);
    });
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(finishCodes, std::vector<int32_t>{c.Code});
    EXPECT_EQ(Record().TotalErrors, c.Errors);
    EXPECT_TRUE(wire == c.Wire) << "wire has " << wire.size() << " bytes";
    EXPECT_EQ(pty.ReadUntilIdle(100), "");  // nothing sent again
  }
}

// A second ACK that arrives together with the last block's ACK is not the receiver's answer
// to the EOT: the EOT is answered only by a byte that came after it.
TEST_F(XmodemTest, OnlyAByteAfterTheEotAnswersIt) {
  UseFile(Pattern(100));
  protocol.StartTransmit();
  std::string eot;
  Peer([&] {
    Say(C);
    Take(1029);
    Say(ACK + ACK);
    eot = Take(1);
    Say(CAN);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(eot, EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecCancelRequested});
  EXPECT_EQ(logs.back(), comm::lfTransmitFail);
}

TEST_F(XmodemTest, EotNakThenAckSucceeds) {
  UseFile(Pattern(10));
  protocol.StartTransmit();
  std::string eots;
  Peer([&] {
    Say(C);
    Take(1029);
    Say(ACK);
    eots += Take(1);
    Say(NAK);
    eots += Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(eots, EOT + EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(logs.back(), comm::lfTransmitOk);
}

// A receiver that answers no EOT (it has gone, or its answers are lost) is not asked without
// end: each wait that runs out counts, and past MaxBlockErrors the transfer fails.
TEST_F(XmodemTest, SilenceAfterTheEotEndsTheTransfer) {
  protocol.SetTransmitTimeout(2);
  protocol.SetXYmodemBlockWait(2);
  UseFile(Pattern(10));
  protocol.StartTransmit();
  std::string eots;
  Peer([&] {
    Say(C);
    Take(1029);
    Say(ACK);
    eots = Take(7, 20000);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(eots, std::string(7, '\x04'));
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTooManyErrors});
  EXPECT_EQ(pty.ReadUntilIdle(200), "");
}

TEST_F(XmodemTest, ThirdNakOnEotCancels) {
  UseFile(Pattern(10));
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say(C);
    Take(1029);
    Say(ACK);
    for (int i = 0; i < 3; ++i) {
      wire += Take(1);
      Say(NAK);
    }
    wire += Take(6);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(wire, EOT + EOT + EOT + kCancelSequence);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecTooManyErrors});
}

TEST_F(XmodemTest, EmptyFileSendsOnlyTheEot) {
  UseFile("");
  protocol.StartTransmit();
  EXPECT_EQ(protocol.FileLength(), 0);
  std::string wire;
  Peer([&] {
    Say(C);
    wire = Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(wire, EOT);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(pty.ReadUntilIdle(100), "");
}

TEST_F(XmodemTest, BlockNumbersWrapPast255) {
  protocol.SetProtocolType(comm::ptXmodemCRC);
  const std::string file = Pattern(300 * 128, 9);
  UseFile(file);
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say(C);
    for (int i = 0; i < 300; ++i) {
      wire += Take(133);
      Say(ACK);
    }
    wire += Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished(60000));
  std::string expected;
  for (uint32_t n = 1; n <= 300; ++n)
    expected += WireBlock(n, BlockData(file, (n - 1) * 128, 128), true);
  expected += EOT;
  ASSERT_EQ(wire.size(), expected.size());
  EXPECT_TRUE(wire == expected);
  EXPECT_EQ(static_cast<uint8_t>(wire[255 * 133 + 1]), 0);  // block 256
  EXPECT_EQ(static_cast<uint8_t>(wire[255 * 133 + 2]), 255);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(Record().RawBytesTransferred, 300 * 128);
}

// A CAN from the receiver ends the transfer in every phase, without a cancel sequence back.
TEST_F(XmodemTest, ReceiverCancelsInEveryPhase) {
  struct Case {
    const char* Phase;
    int Acks;  // blocks acknowledged before the CAN: -1 during the handshake
  };
  for (const Case c : {Case{"handshake", -1}, Case{"block reply", 0}, Case{"eot reply", 1}}) {
    SCOPED_TRACE(c.Phase);
    finishCodes.clear();
    logs.clear();
    reports.clear();
    UseFile(Pattern(100));
    protocol.StartTransmit();
    std::string after;
    Peer([&] {
      if (c.Acks >= 0) {
        Say(C);
        Take(1029);
        if (c.Acks == 1) {
          Say(ACK);
          Take(1);
        }
      }
      Say(CAN);
    });
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(pty.ReadUntilIdle(100), "");
    EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecCancelRequested});
    EXPECT_EQ(logs.back(), comm::lfTransmitFail);
    EXPECT_EQ(reports.back().Options, comm::soLastReport);
    EXPECT_EQ(reports.back().Status, comm::psCancelRequested);
  }
}

TEST_F(XmodemTest, CancelProtocolSendsTheCancelSequenceAndLogsTheEnd) {
  port.SetLogName(dir / "COMM.LOG");  // where a close would write it
  port.SetLogging(comm::tlOn);
  UseFile(Pattern(5000));
  protocol.StartTransmit();
  std::atomic<bool> blockSeen{false};
  std::string cancel;
  Peer([&] {
    Say(C);
    Take(1029);
    blockSeen = true;
    cancel = Take(6);
  });
  ASSERT_TRUE(WaitUntil([&] { return blockSeen.load(); }));
  protocol.CancelProtocol();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(cancel, kCancelSequence);
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecCancelRequested});
  EXPECT_EQ(reports.back().Status, comm::psCancelRequested);
  EXPECT_FALSE(protocol.InProgress());
  protocol.CancelProtocol();  // nothing left to cancel

  // The dispatch log has the steps (subkind 117 + state) and the end with its code.
  comm::TIOQueue& log = port.ActiveDispatcher()->LogQueue();
  bool sawStep = false;
  std::string endText;
  while (std::unique_ptr<comm::TIOBuffer> r = log.PopFirst()) {
    auto* entry = dynamic_cast<comm::TLogBuffer*>(r.get());
    if (entry == nullptr || entry->LogKind != 12) continue;
    if (entry->SubKind >= 117 && entry->SubKind <= 129) sawStep = true;
    if (entry->SubKind == comm::kLogTransferEnd)
      endText.assign(reinterpret_cast<const char*>(entry->Bytes()), entry->Size);
  }
  EXPECT_TRUE(sawStep);
  EXPECT_EQ(endText, "ErrorCode:-6005");
  port.SetLogging(comm::tlOff);
}

TEST_F(XmodemTest, ClosingThePortCancelsTheTransfer) {
  UseFile(Pattern(5000));
  protocol.StartTransmit();
  std::atomic<bool> blockSeen{false};
  Peer([&] {
    Say(C);
    Take(1029);
    blockSeen = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return blockSeen.load(); }));
  port.SetOpen(false);
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecCancelRequested});
  EXPECT_FALSE(protocol.InProgress());
  EXPECT_EQ(port.PortUserCount(), 0);  // the finish detached the component
  // The transfer's triggers went with it: a reopen brings back none of them.
  port.SetOpen(true);
  EXPECT_TRUE(port.ActiveDispatcher()->TimerTriggers().empty());
  EXPECT_TRUE(port.ActiveDispatcher()->StatusTriggers().empty());
  // A transfer on the reopened port runs as usual.
  finishCodes.clear();
  protocol.StartTransmit();
  Peer([&] {
    Say(C);
    for (int i = 0; i < 5; ++i) {
      Take(1029);
      Say(ACK);
    }
    Take(1);
    Say(ACK);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
}

TEST_F(XmodemTest, FileThatShrinksWhileSentIsCancelledNotCompleted) {
  const std::string path = UseFile(Pattern(20000));
  protocol.StartTransmit();
  std::string wire;
  Peer([&] {
    Say(C);
    Take(1029);
    // The first 8192 bytes are already read ahead; the next reload finds the file short.
    ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
    Say(ACK);
    for (int i = 0; i < 7; ++i) {
      Take(1029);
      Say(ACK);
    }
    wire = Take(6);
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(wire, kCancelSequence);
  EXPECT_EQ(errors, std::vector<int32_t>{comm::ecReadPastEnd});
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecReadPastEnd});
}

// Transfers that end before a block is sent: the finish code says why.
TEST_F(XmodemTest, NoFileToSend) {
  const std::string locked = dir / "locked.bin";
  WriteFile(locked, "data");
  const int holder = ::open(locked.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);  // a writer holds the file

  struct Case {
    const char* Name;
    std::string Mask;
    const char* NextFile;  // non-null: OnProtocolNextFile gives this name
    int32_t Code;
  };
  const std::string pipe = dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const std::string folder = dir / "folder";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  // A file that should not have opened would wait for a receiver: let it give up soon.
  protocol.SetHandshakeRetry(1);
  protocol.SetHandshakeWait(2);

  const std::vector<Case> cases = {
      {"empty mask", "", nullptr, comm::ecNoSearchMask},
      {"no match", dir / "*.none", nullptr, comm::ecNoMatchingFiles},
      {"missing folder", dir / "nowhere/*.bin", nullptr, comm::ecDirNotFound},
      {"locked file", locked, nullptr, comm::ecAccessDenied},
      {"missing file", "", "/nonexistent/file.bin", comm::ecFileNotFound},
      {"name source gives none", "", "", comm::ecFileNotFound},
      // Only regular files are sent: a folder, a named pipe without a writer (which must not
      // hold the open) and a device without end are refused when opened.
      {"folder", "", folder.c_str(), -EISDIR},
      {"named pipe", "", pipe.c_str(), comm::ecAccessDenied},
      {"endless device", "", "/dev/zero", comm::ecAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    finishCodes.clear();
    errors.clear();
    reports.clear();
    protocol.SetFileMask(c.Mask);
    if (c.NextFile != nullptr) {
      protocol.OnProtocolNextFile = [&c](comm::TCustomProtocol*, std::string& name) {
        name = c.NextFile;
      };
    } else {
      protocol.OnProtocolNextFile = nullptr;
    }
    protocol.StartTransmit();
    Peer([] {});
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(finishCodes, std::vector<int32_t>{c.Code});
    EXPECT_EQ(errors, std::vector<int32_t>{c.Code});
    EXPECT_FALSE(protocol.InProgress());
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().Options, comm::soFirstReport);
    EXPECT_EQ(reports.back().Options, comm::soLastReport);
    EXPECT_EQ(pty.ReadUntilIdle(50), "");
  }
  ::close(holder);
}

TEST_F(XmodemTest, MissingCarrierEndsATransferThatWatchesIt) {
  // A pty has no modem lines, so the carrier reads absent.
  protocol.SetAbortNoCarrier(true);
  UseFile(Pattern(100));
  protocol.StartTransmit();
  Peer([] {});
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{comm::ecAbortNoCarrier});
  EXPECT_FALSE(protocol.InProgress());
  EXPECT_EQ(reports.back().Options, comm::soLastReport);
  EXPECT_EQ(reports.back().Status, comm::psAbortNoCarrier);
}

}  // namespace
