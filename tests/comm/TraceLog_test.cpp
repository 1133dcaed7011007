// The byte trace and the dispatch log: recorder control through the port's Tracing and
// Logging properties, and both files compared byte for byte with the text they must hold.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "comm/ComPort.h"
#include "comm/Dispatcher.h"
#include "comm/Exceptions.h"
#include "comm/IoQueue.h"
#include "comm/PlatformDispatcher.h"
#include "platform/SystemText.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

namespace comm {
namespace {

namespace fs = std::filesystem;

// A fresh folder for the files of one test, removed afterwards.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "tracelog-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// True when text has the shape: each '9' of the shape a digit, every other character itself.
bool Shaped(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

// ---- the trace file ---------------------------------------------------------------------------

// The dispatcher's recorder fed directly, for the file format alone.
class TraceFile : public ::testing::Test {
 protected:
  void Record(char kind, const std::string& bytes) {
    for (char c : bytes) d.RecordTraceByte(static_cast<uint8_t>(kind), static_cast<uint8_t>(c));
  }
  std::string Write(bool hex, bool allHex, bool append = false) {
    EXPECT_EQ(d.WriteTraceFile(path, append, hex, allHex), 0);
    return ReadFile(path);
  }

  TTempDir dir;
  std::string path = dir / "COMM.TRC";
  TBaseComponent owner;
  TPlatformDispatcher d{&owner};
};

TEST_F(TraceFile, SentAndReceivedBlocks) {
  ASSERT_EQ(d.BeginTrace(10000), 0);
  Record('T', "versw?\r\n");
  Record('R', "\nOK\r");
  EXPECT_EQ(Write(true, false), "Transmit: \r\nversw?[0D][0A]\r\n\r\nReceive: \r\n[0A]OK[0D]");
  // The write starts the ring over; the recorder keeps running.
  EXPECT_TRUE(d.TraceOn());
  Record('X', "a");
  EXPECT_EQ(Write(true, false), "Special-X: \r\na");
}

TEST_F(TraceFile, ItemsByHexSettings) {
  struct TCase {
    std::string bytes;
    bool hex, allHex;
    std::string items;
  };
  const std::vector<TCase> cases = {
      {"\r", true, false, "[0D]"},
      {"\r", false, false, "[13]"},
      {" ", false, false, " "},
      {" ", true, false, "[20]"},
      {"!~", true, false, "!~"},
      {std::string("\x7F\x05\xC8", 3), false, false, "[127][5][200]"},
      {std::string("\x7F\xC8", 2), true, false, "[7F][C8]"},
      {"Az", true, true, "[41][7A]"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.items);
    ASSERT_EQ(d.BeginTrace(100), 0);
    Record('T', c.bytes);
    EXPECT_EQ(Write(c.hex, c.allHex), "Transmit: \r\n" + c.items);
  }
}

TEST_F(TraceFile, LinesNeverPassColumn78) {
  ASSERT_EQ(d.BeginTrace(10000), 0);
  const std::string block = [] {
    std::string s;
    for (int i = 0; i < 100; ++i) s.push_back(static_cast<char>('A' + i % 26));
    return s;
  }();
  Record('T', block);
  EXPECT_EQ(Write(true, false), "Transmit: \r\n" + block.substr(0, 78) + "\r\n" + block.substr(78));

  // Four-column items: 19 fit (76), the 20th would reach 80.
  Record('R', std::string(20, '\0'));
  std::string items;
  for (int i = 0; i < 19; ++i) items += "[00]";
  EXPECT_EQ(Write(true, false), "Receive: \r\n" + items + "\r\n[00]");
}

TEST_F(TraceFile, FullRingKeepsTheLastEntriesOldestFirst) {
  ASSERT_EQ(d.BeginTrace(4), 0);
  Record('T', "ABCDEF");
  EXPECT_EQ(Write(true, false), "Transmit: \r\nCDEF");
}

TEST_F(TraceFile, EmptyRecorderTouchesNoFile) {
  WriteFile(path, "earlier run");
  EXPECT_EQ(d.WriteTraceFile(path, false, true, false), 0);  // no recorder at all
  ASSERT_EQ(d.BeginTrace(10), 0);
  EXPECT_EQ(d.WriteTraceFile(path, false, true, false), 0);  // a recorder holding nothing
  EXPECT_EQ(ReadFile(path), "earlier run");
}

TEST_F(TraceFile, AppendContinuesTheLastLine) {
  ASSERT_EQ(d.BeginTrace(10), 0);
  Record('T', "AB");
  Write(true, false);
  Record('T', "CD");
  EXPECT_EQ(Write(true, false, true), "Transmit: \r\nABTransmit: \r\nCD");
}

TEST_F(TraceFile, FileThatCannotBeCreatedDiscardsTheRecorder) {
  ASSERT_EQ(d.BeginTrace(10), 0);
  Record('T', "AB");
  EXPECT_EQ(d.WriteTraceFile(dir / "missing/COMM.TRC", false, true, false), -3);
  EXPECT_FALSE(d.TraceOn());
  EXPECT_EQ(d.WriteTraceFile(path, false, true, false), 0);
  EXPECT_FALSE(fs::exists(path));
}

// ---- the dispatch log file --------------------------------------------------------------------

class LogFile : public ::testing::Test {
 protected:
  LogFile() { d.SetDeviceName("\\\\.\\COM5"); }

  void Add(uint8_t kind, uint16_t subKind, uint32_t time, uint32_t data,
           const std::string& bytes = "") {
    d.LogQueue().Push(std::make_unique<TLogBuffer>(kind, subKind, time, data, bytes.data(),
                                                   static_cast<int32_t>(bytes.size())));
  }

  // The records' lines, after checking the seven header lines.
  std::string WriteRecords(bool hex = true, bool allHex = false) {
    EXPECT_EQ(d.WriteDispatchLogFile(path, false, hex, allHex), 0);
    const std::string text = ReadFile(path);
    std::vector<std::string> header;
    size_t pos = 0;
    for (int i = 0; i < 7; ++i) {
      const size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) {
        ADD_FAILURE() << "short header: " << text;
        return "";
      }
      header.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
    EXPECT_EQ(header[0], "COMM v4.07");
    EXPECT_TRUE(header[1].rfind("Compiler : GCC ", 0) == 0 ||
                header[1].rfind("Compiler : Clang ", 0) == 0)
        << header[1];
    EXPECT_EQ(header[2], "Operating System : " + platform::OperatingSystemText().substr(0, 80));
    EXPECT_EQ(header[3], "Device: \\\\.\\COM5");
    EXPECT_TRUE(Shaped(header[4], "Date/time: 99/99/99, 99:99:99")) << header[4];
    EXPECT_EQ(header[5], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(header[6], "--------  --------  ------------  --------  ---------");
    return text.substr(pos);
  }

  TTempDir dir;
  std::string path = dir / "COMM.LOG";
  TBaseComponent owner;
  TPlatformDispatcher d{&owner};
};

TEST_F(LogFile, RecordLines) {
  Add(1, 2, 1234, 8, "versw?\r\n");
  Add(5, 15, 1300, 0x13, std::string(1, '\3'));
  Add(6, 15, 1301, 0x15, std::string(1, '\5'));
  Add(2, 6, 12345678, 0x10);
  Add(9, 16, 0, 1);
  Add(2, 4, 7, 0x91, "x");
  EXPECT_EQ(WriteRecords(),
            "0001.234  Dispatch  WriteCom      00000008  versw?[0D][0A]\r\n"
            "0001.300  TrigAllc  Status        00000013  (Output buffer free)\r\n"
            "0001.301  TrigDisp  Status        00000015  (Output sent)\r\n"
            "12345.678  Trigger   Timer         00000010  \r\n"
            "0000.000  TrDatChg  Avail         00000001  \r\n"
            "0000.007  Trigger   Modem status  00000091  x(DCTS CTS DCD)\r\n");
  // Written records leave the queue; the log keeps running.
  EXPECT_TRUE(d.LogQueue().Empty());
}

TEST_F(LogFile, AttachedBytesWrapAfterColumn78OntoIndentedLines) {
  const std::string prefix = "0000.001  Dispatch  ReadCom       00000050  ";
  ASSERT_EQ(prefix.size(), 44u);
  Add(1, 1, 1, 80, std::string(80, 'a'));
  const std::string indent(44, ' ');
  EXPECT_EQ(WriteRecords(false, false), prefix + std::string(33, 'a') + "\r\n" + indent +
                                            std::string(33, 'a') + "\r\n" + indent +
                                            std::string(14, 'a') + "\r\n");

  // All hex writes bytes as [XX], except the text of user records.
  Add(1, 1, 1, 2, "ab");
  Add(19, 0, 1, 0, "ab");
  EXPECT_EQ(WriteRecords(true, true),
            "0000.001  Dispatch  ReadCom       00000002  [61][62]\r\n"
            "0000.001  User                    00000000  ab\r\n");
}

TEST_F(LogFile, EmptyLogTouchesNoFile) {
  WriteFile(path, "earlier run");
  EXPECT_EQ(d.WriteDispatchLogFile(path, false, true, false), 0);
  EXPECT_EQ(ReadFile(path), "earlier run");
}

TEST_F(LogFile, FileThatCannotBeCreatedKeepsTheRecords) {
  Add(1, 2, 1, 0);
  EXPECT_EQ(d.WriteDispatchLogFile(dir / "missing/COMM.LOG", false, true, false), -3);
  EXPECT_EQ(d.LogQueue().Count(), 1u);
}

// ---- through the port -------------------------------------------------------------------------

class PortRecorders : public ::testing::Test {
 protected:
  PortRecorders() {
    port.SetComNumber(TCustomComPort::PortNumberForPath(pty.SlavePath()));
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetInSize(1030);
    port.SetOutSize(1030);
    port.SetTraceName(dir / "COMM.TRC");
    port.SetLogName(dir / "COMM.LOG");
  }

  // Reads n received bytes on the main thread once they are in the ring.
  std::string Receive(size_t n) {
    EXPECT_TRUE(
        WaitUntil([&] { return port.ActiveDispatcher()->InputUsed() >= static_cast<int32_t>(n); }));
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(port.ReceiveByte()));
    return s;
  }

  TTempDir dir;
  PtyPair pty;
  TComPort port;
};

TEST_F(PortRecorders, FirstCloseWritesTheTraceAndLaterOpensRecordNothing) {
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  port.SendText("versw?\r\n");
  EXPECT_EQ(pty.ReadFor(8, 5000), "versw?\r\n");
  pty.Write("\nOK\r");
  EXPECT_EQ(Receive(4), "\nOK\r");
  port.SetOpen(false);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"),
            "Transmit: \r\nversw?[0D][0A]\r\n\r\nReceive: \r\n[0A]OK[0D]");
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(port.Logging(), tlOff);
  const std::string log = ReadFile(dir / "COMM.LOG");
  EXPECT_NE(log.find("Dispatch  WriteCom      00000008  versw?[0D][0A]\r\n"), std::string::npos)
      << log;

  // The next open re-applies tlOff: its close leaves both files as they are.
  port.SetOpen(true);
  port.SendText("more");
  EXPECT_EQ(pty.ReadFor(4, 5000), "more");
  port.SetOpen(false);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"),
            "Transmit: \r\nversw?[0D][0A]\r\n\r\nReceive: \r\n[0A]OK[0D]");
  EXPECT_EQ(ReadFile(dir / "COMM.LOG"), log);
}

TEST_F(PortRecorders, QuietOpenLeavesAnEarlierTraceAlone) {
  WriteFile(dir / "COMM.TRC", "earlier run");
  port.SetTracing(tlOn);
  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"), "earlier run");
}

TEST_F(PortRecorders, TracingSetterFollowsItsStateTable) {
  // Closed: only tlOff and tlOn are kept; a dump writes nothing.
  port.SetTracing(tlDump);
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetTracing(tlPause);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_FALSE(fs::exists(dir / "COMM.TRC"));

  port.SetOpen(true);
  port.SetTracing(tlPause);  // not recording: nothing happens
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetTracing(tlOn);
  port.SendText("ab");
  port.SetTracing(tlClear);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.SetTracing(tlPause);
  port.SendText("cd");  // not recorded
  port.SetTracing(tlOn);
  port.SendText("ef");
  port.SetTracing(tlAppendAndContinue);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.SendText("gh");
  port.SetTracing(tlAppend);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"), "Transmit: \r\nefTransmit: \r\ngh");
  EXPECT_EQ(pty.ReadFor(8, 5000), "abcdefgh");

  // A new size restarts a running recorder; a paused one stays off.
  port.SetTracing(tlOn);
  port.SendText("ij");
  port.SetTraceSize(2);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.SendText("klm");
  port.SetTracing(tlPause);
  port.SetTraceSize(50000000);
  EXPECT_EQ(port.TraceSize(), kMaxTraceSize);
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetTracing(tlOn);
  port.SendText("n");
  port.SetOpen(false);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"), "Transmit: \r\nn");
}

TEST_F(PortRecorders, TraceSizeChangeStartsARecorderOfTheNewSize) {
  port.SetTracing(tlOn);
  port.SetOpen(true);
  port.SendText("xyz");
  port.SetTraceSize(4);
  port.SendText("ABCDEF");
  port.SetOpen(false);
  EXPECT_EQ(ReadFile(dir / "COMM.TRC"), "Transmit: \r\nCDEF");
}

// Trace and log files that cannot be written never keep the port open: the close goes on,
// the failure is reported once on standard error (one line naming each file and why), and no
// later close of the port tries again. Both ways a close comes: Open := False, and a move to
// another device (ComNumber written while open), which reopens the port.
TEST_F(PortRecorders, UnwritableFilesNeverKeepThePortOpenAndAreReportedOnce) {
  struct TCase {
    const char* what;
    std::function<void()> prepare;  // run before the close, undone by restore
    std::function<void()> restore;
    std::string trace, log;                                   // file names
    std::vector<std::pair<std::string, std::string>> failed;  // file, reason
  };
  const std::string trace = dir / "COMM.TRC", log = dir / "COMM.LOG";
  const std::string missingTrace = dir / "missing/COMM.TRC", missingLog = dir / "missing/COMM.LOG";
  const std::string readOnly = dir / "read-only";
  const bool root = geteuid() == 0;
  const std::vector<TCase> cases = {
      {"a missing folder",
       nullptr,
       nullptr,
       missingTrace,
       missingLog,
       {{missingTrace, "Path not found"}, {missingLog, "Path not found"}}},
      {"a folder where the trace should be",
       [&] { fs::create_directory(trace); },
       [&] { fs::remove_all(trace); },
       trace,
       log,
       {{trace, "Is a directory"}}},
      {"a full device",
       nullptr,
       nullptr,
       "/dev/full",
       "/dev/full",
       {{"/dev/full", "Disk is full"}, {"/dev/full", "Disk is full"}}},
      {"a read-only folder",
       [&] {
         fs::create_directory(readOnly);
         fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
         if (root) setfsuid(65534);  // root writes anywhere: the close runs as nobody
       },
       [&] {
         if (root) setfsuid(0);
         fs::remove_all(readOnly);
       },
       readOnly + "/COMM.TRC",
       readOnly + "/COMM.LOG",
       {{readOnly + "/COMM.TRC", "File access denied"},
        {readOnly + "/COMM.LOG", "File access denied"}}},
  };
  for (const bool byMove : {false, true}) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (byMove ? ", closed by a move" : ", closed"));
      PtyPair other;
      chmod(other.SlavePath().c_str(), 0666);  // a move under another identity can open it
      TComPort p;
      p.SetComNumber(TCustomComPort::PortNumberForPath(pty.SlavePath()));
      p.SetPromptForPort(false);
      p.SetAutoOpen(false);
      p.SetTraceName(c.trace);
      p.SetLogName(c.log);
      p.SetTracing(tlOn);
      p.SetLogging(tlOn);
      p.SetOpen(true);
      p.SendText("a");
      EXPECT_EQ(pty.ReadFor(1, 5000), "a");

      if (c.prepare) c.prepare();
      testing::internal::CaptureStderr();
      if (byMove) {
        EXPECT_NO_THROW(p.SetComNumber(TCustomComPort::PortNumberForPath(other.SlavePath())));
      } else {
        EXPECT_NO_THROW(p.SetOpen(false));
      }
      const std::string err = testing::internal::GetCapturedStderr();
      if (c.restore) c.restore();
      EXPECT_EQ(p.OpenState(), byMove ? osOpen : osClosed);
      EXPECT_EQ(DispatcherTableSize(), byMove ? 1 : 0);
      ASSERT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      std::vector<TRecorderFileFailure> expected;
      for (const auto& [file, reason] : c.failed) expected.push_back({file, 0, reason});
      EXPECT_EQ(err, RecorderFailureLine(expected) + "\n");
      EXPECT_NE(err.find(c.failed[0].first + ": " + c.failed[0].second), std::string::npos) << err;
      if (c.failed.size() == 1) {
        EXPECT_NE(ReadFile(log).find("Device: "), std::string::npos);  // the log was written
      }

      // Nothing is retried, nothing reported again: the failed recorders stay off.
      testing::internal::CaptureStderr();
      if (byMove) {
        p.SendText("b");
        EXPECT_EQ(other.ReadFor(1, 5000), "b");
        p.SetOpen(false);
      }
      p.SetOpen(true);
      p.SendText("c");
      p.SetOpen(false);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      EXPECT_EQ(p.Tracing(), tlOff);
      EXPECT_EQ(p.Logging(), tlOff);
      EXPECT_EQ(p.OpenState(), osClosed);
      if (fs::exists(log)) fs::remove(log);
      pty.ReadUntilIdle(20);
    }
  }
}

// A library user takes the report instead of standard error, once the close has run; it may
// even open the port again from there.
TEST_F(PortRecorders, AnAssignedHandlerTakesTheFileFailures) {
  port.SetTraceName(dir / "missing/COMM.TRC");
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  std::vector<TRecorderFileFailure> taken;
  int calls = 0;
  port.OnRecorderFailure = [&](TCustomComPort* cp, const std::vector<TRecorderFileFailure>& f) {
    EXPECT_EQ(cp, &port);
    EXPECT_EQ(cp->OpenState(), osClosed);
    taken = f;
    ++calls;
    cp->SetOpen(true);
  };
  port.SetOpen(true);
  port.SendText("a");
  testing::internal::CaptureStderr();
  port.SetOpen(false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].FileName, dir / "missing/COMM.TRC");
  EXPECT_EQ(taken[0].ErrorCode, 3);
  EXPECT_EQ(taken[0].Reason, "Path not found");
  EXPECT_NE(ReadFile(dir / "COMM.LOG").find("Device: "), std::string::npos);  // written

  // Opened again by the handler, and quiet from then on.
  ASSERT_EQ(port.OpenState(), osOpen);
  port.SendText("b");
  EXPECT_EQ(pty.ReadFor(2, 5000), "ab");
  port.SetOpen(false);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(port.OpenState(), osClosed);
}

void IgnoreTrigger(uint32_t, uint32_t, int32_t) {}

// Each record kind of the dispatcher appears in the log of a real session.
TEST_F(PortRecorders, LogHoldsTheDispatcherRecords) {
  port.SetLogging(tlOn);
  port.SetLogSize(100000);
  port.SetOpen(true);
  TBaseDispatcher* d = port.ActiveDispatcher();
  std::atomic<bool> avail{false}, timerFired{false}, statusFired{false};
  d->AddEventHandler(this, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg == TriggerAvailMessage) {
      char buffer[64];
      port.ActiveDispatcher()->ReceiveBlock(buffer, static_cast<int32_t>(wParam));
      avail = true;
    }
    if (msg == TriggerTimerMessage) timerFired = true;
    if (msg == TriggerStatusMessage) statusFired = true;
  });
  const int32_t timer = port.NewTimerTrigger();
  port.ArmTimerTrigger(timer, 1, true);
  const int32_t sent = port.NewStatusTrigger(StatusOutputSent);
  port.ArmStatusTrigger(sent, 0, true);
  port.SendText("hi");
  EXPECT_EQ(pty.ReadFor(2, 5000), "hi");
  pty.Write("yo");
  ASSERT_TRUE(WaitUntil([&] { return avail && timerFired && statusFired; }));
  port.ArmTimerTrigger(timer, 0, false);
  port.DropTrigger(timer);
  port.DropTrigger(sent);
  d->RemoveEventHandler(this);
  d->AddProcedureHandler(&IgnoreTrigger);
  d->RemoveProcedureHandler(&IgnoreTrigger);

  // Input that finds the ring full waits in the queue, and each pass says so.
  pty.Write(std::string(kInputRingSize, 'f'));
  ASSERT_TRUE(WaitUntil([&] { return d->InputUsed() == kInputRingSize; }));
  const uint32_t records = d->LogQueue().Count();
  ASSERT_TRUE(WaitUntil([&] { return d->LogQueue().Count() > records; }));
  port.SetOpen(false);

  const std::string log = ReadFile(dir / "COMM.LOG");
  const std::vector<std::string> expected = {
      "Dispatch  WriteCom      00000002  hi",
      "Dispatch  ReadCom       0000000",
      "Dispatch  Status        00000000  Dispatch[20]buffer[20]full.",  // hex: spaces as [20]
      "Trigger   Avail         0000000",
      "Trigger   Timer         " +
          [&] {
            char h[16];
            std::snprintf(h, sizeof h, "%08X", timer);
            return std::string(h);
          }(),
      "Trigger   Status",
      "TrigAllc  Timer",
      "TrigAllc  Status        ",
      "TrigDisp  Timer",
      "TrigDisp  Status",
      "TrgHdAlc  Window",
      "TrgHdAlc  Method",
      "TrgHdDsp  Method",
      "TrgHdAlc  Procedure",
      "TrgHdDsp  Procedure",
      "TrDatChg  Timer         ",
      "TrDatChg  Status",
      "TrDatChg  Avail         00000001",
  };
  for (const std::string& piece : expected) {
    EXPECT_NE(log.find(piece), std::string::npos) << piece << "\n" << log;
  }
  EXPECT_NE(log.find("(Output sent)"), std::string::npos);
  EXPECT_NE(log.find("Deactivated"), std::string::npos);
}

}  // namespace
}  // namespace comm
