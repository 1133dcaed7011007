// The protocol component: its defaults and what selecting a type configures, the block check
// rules, the port it finds and forgets, and what StartTransmit does without a usable set-up.

#include "protocol/Protocol.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "tests/protocol/TransferFixture.h"

namespace {

using namespace comm;

class Form : public TBaseComponent {
 public:
  Form() : TBaseComponent(nullptr) {}
};

TEST(ProtocolComponent, DefaultsOfANewComponent) {
  Form form;
  TComPort port(&form);
  TProtocol protocol(&form);
  EXPECT_EQ(protocol.ComPort(), &port);  // found among the owner's components
  EXPECT_EQ(protocol.ProtocolType(), ptNoProtocol);
  EXPECT_EQ(protocol.FileMask(), "*.*");
  EXPECT_EQ(protocol.HandshakeWait(), 182u);
  EXPECT_EQ(protocol.HandshakeRetry(), 10u);
  EXPECT_EQ(protocol.TransmitTimeout(), 1092u);
  EXPECT_EQ(protocol.FinishWait(), 364u);
  EXPECT_EQ(protocol.TurnDelay(), 0u);
  EXPECT_EQ(protocol.Overhead(), 0u);
  EXPECT_EQ(protocol.StatusInterval(), 10u);
  EXPECT_EQ(protocol.XYmodemBlockWait(), 91u);
  EXPECT_EQ(protocol.WriteFailAction(), wfWriteRename);
  EXPECT_TRUE(protocol.UpcaseFileNames());
  EXPECT_FALSE(protocol.AbortNoCarrier());
  EXPECT_EQ(protocol.FileLength(), 0);
  EXPECT_FALSE(protocol.InProgress());
  EXPECT_NE(protocol.MessageWindow(), 0u);
  EXPECT_EQ(TCustomProtocol::FindByWindow(protocol.MessageWindow()), &protocol);
  EXPECT_EQ(protocol.Version(), "v4.07");
}

TEST(ProtocolComponent, SelectingAnXmodemTypeConfiguresTheRecord) {
  TProtocol protocol;
  protocol.SetProtocolType(ptXmodem1K);
  const TransferRecord& r = protocol.Record();
  EXPECT_EQ(r.BlockLength, 1024);
  EXPECT_EQ(r.StartChar, 0x02);
  EXPECT_TRUE(r.CrcMode);
  EXPECT_FALSE(r.GMode);
  EXPECT_EQ(r.MaxBlockErrors, 5);
  EXPECT_EQ(protocol.BlockCheckMethod(), bcmCrc16);
  EXPECT_EQ(protocol.TurnDelay(), 1000u);
  EXPECT_EQ(protocol.Overhead(), 5u);
  EXPECT_EQ(protocol.FinishWait(), 0u);
  EXPECT_EQ(protocol.XYmodemBlockWait(), 91u);

  struct Case {
    TProtocolType Type;
    int32_t BlockLength;
    TBlockCheckMethod Check;
    bool G;
  };
  for (const Case c :
       {Case{ptXmodem, 128, bcmChecksum, false}, Case{ptXmodemCRC, 128, bcmCrc16, false},
        Case{ptXmodem1KG, 1024, bcmCrc16, true}}) {
    protocol.SetProtocolType(c.Type);
    EXPECT_EQ(r.ProtocolType, c.Type);
    EXPECT_EQ(r.BlockLength, c.BlockLength) << int(c.Type);
    EXPECT_EQ(protocol.BlockCheckMethod(), c.Check) << int(c.Type);
    EXPECT_EQ(bool(r.GMode), c.G) << int(c.Type);
  }
  EXPECT_EQ(protocol.TurnDelay(), 0u);  // streaming has no turn-around

  // A changed block wait reaches the record while an Xmodem type is selected.
  protocol.SetXYmodemBlockWait(30);
  EXPECT_EQ(r.BlockWait, 30);
  protocol.SetProtocolType(ptXmodem);
  EXPECT_EQ(r.BlockWait, 30);
}

TEST(ProtocolComponent, BlockCheckMethodFollowsTheTypeRules) {
  TProtocol protocol;
  protocol.SetProtocolType(ptXmodem);
  protocol.SetBlockCheckMethod(bcmCrc16);
  EXPECT_EQ(protocol.ProtocolType(), ptXmodemCRC);
  protocol.SetBlockCheckMethod(bcmChecksum);
  EXPECT_EQ(protocol.ProtocolType(), ptXmodem);
  protocol.SetProtocolType(ptXmodem1K);
  protocol.SetBlockCheckMethod(bcmChecksum);  // no effect with 1K blocks
  EXPECT_EQ(protocol.ProtocolType(), ptXmodem1K);
  EXPECT_EQ(protocol.BlockCheckMethod(), bcmCrc16);
  protocol.SetProtocolType(ptZmodem);
  protocol.SetBlockCheckMethod(bcmCrc32);
  EXPECT_EQ(protocol.BlockCheckMethod(), bcmCrc32);
}

TEST(ProtocolComponent, WritingTheSameTypeAgainUndoesNothing) {
  TProtocol protocol;
  protocol.SetProtocolType(ptXmodem1K);
  TransferRecord& r = protocol.Record();
  r.BlockLength = 128;  // as a fall-back during a transfer leaves it
  r.StartChar = 0x01;
  protocol.SetProtocolType(ptXmodem1K);
  EXPECT_EQ(r.BlockLength, 128);
  protocol.SetProtocolType(ptXmodemCRC);
  protocol.SetProtocolType(ptXmodem1K);
  EXPECT_EQ(r.BlockLength, 1024);
}

TEST(ProtocolComponent, StatusTextCoversTheProtocolStatusRange) {
  TProtocol protocol;
  EXPECT_EQ(protocol.StatusText(4700), "OK");
  EXPECT_EQ(protocol.StatusText(4714), "At end of file");
  EXPECT_EQ(protocol.StatusText(4724), "");  // outside the range the component shows
  EXPECT_EQ(protocol.StatusText(-6005), "");
}

TEST(ProtocolComponent, FileNameAndMaskAreCutTo255Characters) {
  TProtocol protocol;
  protocol.SetFileMask(std::string(300, 'm'));
  EXPECT_EQ(protocol.FileMask().size(), 255u);
  protocol.SetFileName("/data/" + std::string(300, 'n'));
  EXPECT_EQ(protocol.FileName().size(), 255u);
  protocol.Record().FileOpen = true;  // during a transfer the name stays
  protocol.SetFileName("/other.bin");
  EXPECT_NE(protocol.FileName(), "/other.bin");
  protocol.Record().FileOpen = false;
}

TEST(ProtocolComponent, ForgetsAPortThatIsDestroyed) {
  Form form;
  auto port = std::make_unique<TComPort>(&form);
  TProtocol protocol(&form);
  EXPECT_EQ(protocol.ComPort(), port.get());
  port.reset();
  EXPECT_EQ(protocol.ComPort(), nullptr);
  // A port placed later is taken up.
  TComPort second(&form);
  EXPECT_EQ(protocol.ComPort(), &second);
}

TEST(ProtocolComponent, StartTransmitWithoutAUsableSetUp) {
  TProtocol protocol;
  bool anyEvent = false;
  protocol.OnProtocolStatus = [&](TCustomProtocol*, uint16_t) { anyEvent = true; };
  protocol.OnProtocolFinish = [&](TCustomProtocol*, int32_t) { anyEvent = true; };

  protocol.StartTransmit();  // ptNoProtocol: nothing at all
  EXPECT_FALSE(anyEvent);

  protocol.SetProtocolType(ptXmodem1K);
  EXPECT_THROW(protocol.StartTransmit(), EPortNotAssigned);

  TComPort port;
  port.SetAutoOpen(false);
  protocol.SetComPort(&port);
  // Types whose transmitter this library does not have.
  protocol.SetProtocolType(ptZmodem);
  EXPECT_THROW(protocol.StartTransmit(), EProtocol);
  EXPECT_EQ(port.PortUserCount(), 0);

  // A closed port: the port's not-open exception, no transfer, no finish event.
  protocol.SetProtocolType(ptXmodem1K);
  EXPECT_THROW(protocol.StartTransmit(), ECommNotOpen);
  EXPECT_FALSE(protocol.InProgress());
  EXPECT_FALSE(WaitUntil([&] { return anyEvent; }, 200));
}

// FileLength: the previous transfer's length until the next file is opened.
class ProtocolTransfer : public prototest::TransferFixture {};

TEST_F(ProtocolTransfer, FileLengthAndUpcasedNames) {
  UseFile(prototest::Pattern(10), "first.bin");
  protocol.StartTransmit();
  // The name shows upper-cased; the file is still found by the name it has.
  EXPECT_EQ(protocol.FileName(), [&] {
    std::string upper = dir / "first.bin";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }());
  EXPECT_EQ(protocol.FileLength(), 10);
  Peer([&] {
    Say("C");
    Take(1029);
    Say("\x06");
    Take(1);
    Say("\x06");
  });
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{0});
  EXPECT_EQ(protocol.FileLength(), 10);  // kept after the transfer

  UseFile(prototest::Pattern(3000), "second.bin");
  EXPECT_EQ(protocol.FileLength(), 10);  // a new mask opens nothing yet
  finishCodes.clear();
  reports.clear();
  protocol.StartTransmit();
  EXPECT_EQ(protocol.FileLength(), 3000);
  // Inside StartTransmit the first report comes before the new file is opened, with the
  // length cleared; the report after the open has the new length.
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[0].Options, soFirstReport);
  EXPECT_EQ(reports[0].Length, 0);
  EXPECT_EQ(reports[2].Status, psProtocolHandshake);
  EXPECT_EQ(reports[2].Length, 3000);
  protocol.CancelProtocol();
  Peer([] {});
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(finishCodes, std::vector<int32_t>{ecCancelRequested});
}

TEST_F(ProtocolTransfer, DestroyingTheComponentMidTransferCancelsIt) {
  auto second = std::make_unique<TProtocol>();
  second->SetComPort(&port);
  second->SetProtocolType(ptXmodem1K);
  const std::string path = dir / "x.bin";
  prototest::WriteFile(path, prototest::Pattern(5000));
  second->SetFileMask(path);
  second->StartTransmit();
  std::string cancel;
  Peer([&] {
    Say("C");
    Take(1029);
    cancel = Take(6);
  });
  ASSERT_TRUE(WaitUntil([&] {
    return second->Record().BlockNumber.load() == 1 &&
           second->Record().XmodemState.load() == txRplyPnding;
  }));
  second.reset();
  ASSERT_TRUE(WaitUntil([&] { return peerDone.load(); }));
  EXPECT_EQ(cancel, prototest::kCancelSequence);
  EXPECT_EQ(port.PortUserCount(), 0);
}

// The status event runs on the main thread while the step that reported waits for it: a
// cancel or a port close from inside it must not wait for that step.
TEST_F(ProtocolTransfer, CancelOrCloseFromInsideTheStatusEvent) {
  for (bool closePort : {false, true}) {
    SCOPED_TRACE(closePort ? "port closed" : "transfer cancelled");
    if (!port.Open()) port.SetOpen(true);
    UseFile(prototest::Pattern(5000));
    finishCodes.clear();
    bool asked = false;
    protocol.OnProtocolStatus = [&](comm::TCustomProtocol* p, uint16_t) {
      if (asked || p->Record().BlockNumber.load() < 1) return;
      asked = true;
      if (closePort) {
        port.SetOpen(false);
      } else {
        p->CancelProtocol();
      }
    };
    protocol.StartTransmit();
    Peer([&] {
      Say("C");
      Take(1029);
      Say("\x06");
      pty.ReadUntilIdle(300);
    });
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(finishCodes, std::vector<int32_t>{ecCancelRequested});
    EXPECT_TRUE(asked);
    EXPECT_FALSE(protocol.InProgress());
    if (closePort) {
      ASSERT_TRUE(WaitUntil([&] { return port.OpenState() == comm::osClosed; }));
    }
  }
}

}  // namespace
