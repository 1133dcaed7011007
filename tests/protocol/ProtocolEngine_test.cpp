// The engine's arithmetic and bookkeeping: block checks, the BytesTransferred rule, the
// counters and first/last status reports, and how EndTransfer turns a status into a code.

#include "protocol/ProtocolEngine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/protocol/TransferFixture.h"

namespace {

using namespace comm;

TEST(BlockChecks, Crc16IsXmodemCrcWithHighByteFirstConvention) {
  const std::string digits = "123456789";
  EXPECT_EQ(BlockCrc16(reinterpret_cast<const uint8_t*>(digits.data()), 9), 0x31C3);
  // The table-driven register agrees with the bit-by-bit definition on arbitrary data.
  for (size_t size : {0u, 1u, 128u, 1024u}) {
    const std::string data = prototest::Pattern(size, static_cast<uint32_t>(size) + 3);
    EXPECT_EQ(BlockCrc16(reinterpret_cast<const uint8_t*>(data.data()), static_cast<int32_t>(size)),
              prototest::ReferenceCrc(data))
        << size;
  }
}

// Known block checks of real blocks, worked out apart from this code: the CRC is
// CRC-16/XMODEM, the checksum the low byte of a sum that must not stop at 8 or 16 bits
// (1024 bytes of 0xFF add up to 261,120).
TEST(BlockChecks, KnownChecksOfRealBlocks) {
  struct Case {
    const char* Name;
    std::string Data;
    uint16_t Crc;
    uint32_t Sum;
  };
  std::string ramp(1024, '\0');
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(i & 0xFF);
  std::string text = "Vexilora firmware 2.1\r\n";
  text.resize(128, '\x1A');
  const Case cases[] = {
      {"the nine digits", "123456789", 0x31C3, 477},
      {"a last 128-byte block of text with its fill", text, 0x4DA2, 4665},
      {"a 128-byte block of fill alone", std::string(128, '\x1A'), 0xF8B0, 3328},
      {"1024 bytes of 0xFF", std::string(1024, '\xFF'), 0xC084, 261120},
      {"1024 zero bytes", std::string(1024, '\0'), 0x0000, 0},
      {"1024 bytes counting up", ramp, 0xC2E0, 130560},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.Data.data());
    const auto size = static_cast<int32_t>(c.Data.size());
    EXPECT_EQ(BlockCrc16(bytes, size), c.Crc);
    uint16_t reg = 0;
    for (int32_t i = 0; i < size; ++i) reg = UpdateCrc16(bytes[i], reg);
    reg = UpdateCrc16(0, UpdateCrc16(0, reg));  // the block's CRC: two zero bytes after the data
    EXPECT_EQ(reg, c.Crc);
    uint32_t sum = 0;
    for (int32_t i = 0; i < size; ++i) sum = UpdateChecksum(bytes[i], sum);
    EXPECT_EQ(sum, c.Sum);
  }
}

TEST(BytesTransferred, DiscountsWholeBlocksStillQueued) {
  struct Case {
    int32_t Raw, Used, BlockLength, Overhead, Expected;
  };
  const Case cases[] = {
      {3072, 0, 1024, 5, 3072},     // empty output buffer
      {3072, 1029, 1024, 5, 2048},  // a fresh 1029-byte block queued
      {3072, 1023, 1024, 5, 3072},  // less than a block left
      {0, 2058, 1024, 5, 0},        // never below 0
      {100, 10, 0, 5, 90},          // no block length: no overhead term
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BytesTransferredFor(c.Raw, c.Used, c.BlockLength, c.Overhead), c.Expected)
        << c.Raw << " " << c.Used;
  }
  TransferRecord record;  // no port: nothing transferred
  record.RawBytesTransferred = 500;
  EXPECT_EQ(ComputeBytesTransferred(record), 0);
}

int g_notifications = 0;
std::vector<uint16_t> g_options;
void CountStatus(TransferRecord&, uint16_t options) {
  ++g_notifications;
  g_options.push_back(options);
}

TEST(StatusReports, FirstAndLastPairUp) {
  TransferRecord record;
  record.Hooks.StatusNotify = CountStatus;
  g_notifications = 0;
  g_options.clear();

  ReportLastStatus(record);  // unmatched: nothing
  EXPECT_EQ(g_notifications, 0);
  EXPECT_EQ(record.InProgressCount, 0);

  ReportFirstStatus(record);
  ReportFirstStatus(record);  // nested: an update, not a first report
  ReportLastStatus(record);
  ReportLastStatus(record);
  EXPECT_EQ(g_options, (std::vector<uint16_t>{soFirstReport, 0, 0, soLastReport}));
  EXPECT_EQ(record.InProgressCount, 0);
}

TEST(StatusReports, ResetCountersKeepsTheLengthOfARunningTransfer) {
  TransferRecord record;
  record.FileLength = 37648;
  record.BytesRemaining = 100;
  record.RawBytesTransferred = 1024;
  record.ErrorCode = -6005;
  record.StatusCode = psCancelRequested;
  record.InProgressCount = 1;
  ResetCounters(record);
  EXPECT_EQ(record.FileLength, 37648);
  EXPECT_EQ(record.RawBytesTransferred, 0);
  EXPECT_EQ(record.StatusCode, psOK);
  EXPECT_EQ(record.ErrorCode, 0);
  record.InProgressCount = 0;
  ResetCounters(record);
  EXPECT_EQ(record.FileLength, 0);
  EXPECT_EQ(record.BytesRemaining, 0);
}

TEST(EndTransfer, DerivesTheFinishCodeFromTheStatus) {
  const std::pair<int32_t, int32_t> cases[] = {
      {psFileRejected, ecFileRejected},
      {psCantWriteFile, ecCantWriteFile},
      {psTimeout, ecTimeout},
      {psProtocolError, ecProtocolError},
      {psCancelRequested, ecCancelRequested},
      {psSequenceError, ecSequenceError},
      {psAbortNoCarrier, ecAbortNoCarrier},
      {psAbort, ecProtocolAbort},
      {psEndFile, 0},
      {psOK, 0},
  };
  for (const auto& [status, code] : cases) {
    TransferRecord record;
    record.StatusCode = status;
    EndTransfer(record);
    EXPECT_EQ(record.ErrorCode, code) << status;
  }
  TransferRecord reported;  // a code already reported stays
  reported.StatusCode = psCancelRequested;
  reported.ErrorCode = ecTooManyErrors;
  EndTransfer(reported);
  EXPECT_EQ(reported.ErrorCode, ecTooManyErrors);
}

TEST(LineSpeed, TenBitsPerCharacterWithoutAnOpenPort) {
  TransferRecord record;
  ComputeCharsPerSecond(record, 115200);
  EXPECT_EQ(record.CharsPerSecond, 11520);
}

}  // namespace
