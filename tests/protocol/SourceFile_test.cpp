// The source file reader on real files: finding the file by mask, the read-ahead buffer, the
// 0x1A fill of the last block and the end test.

#include "protocol/SourceFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/protocol/TransferFixture.h"

namespace {

using namespace comm;
using prototest::Pattern;
using prototest::TempDir;
using prototest::WriteFile;

TEST(SourceFileSearch, MaskFindsTheFirstRegularFileByName) {
  TempDir dir;
  WriteFile(dir / "b.bin", "b");
  WriteFile(dir / "a.bin", "a");
  WriteFile(dir / "c.txt", "c");
  WriteFile(dir / "README", "r");
  ::mkdir((dir / "d.bin").c_str(), 0755);  // folders never match

  TransferRecord record;
  std::string found;
  record.SearchMask = dir / "*.bin";
  record.SearchPending = true;
  ASSERT_TRUE(NextFromMask(record, found));
  EXPECT_EQ(found, dir / "a.bin");
  EXPECT_TRUE(NextFromMask(record, found));  // the open search goes on
  EXPECT_EQ(found, dir / "b.bin");
  EXPECT_FALSE(NextFromMask(record, found));  // end of the matches: no error
  EXPECT_EQ(found, "");
  EXPECT_EQ(record.ErrorCode, 0);
  EXPECT_FALSE(record.SearchOpen);

  // "*.*" takes names without a dot too; '?' is one character.
  record.SearchMask = dir / "*.*";
  record.SearchPending = true;
  std::vector<std::string> all;
  while (NextFromMask(record, found)) all.push_back(found);
  EXPECT_EQ(
      all, (std::vector<std::string>{dir / "README", dir / "a.bin", dir / "b.bin", dir / "c.txt"}));
  record.SearchMask = dir / "?.txt";
  record.SearchPending = true;
  ASSERT_TRUE(NextFromMask(record, found));
  EXPECT_EQ(found, dir / "c.txt");
}

TEST(SourceFileSearch, FailuresReportTheirCodes) {
  TempDir dir;
  struct Case {
    std::string Mask;
    int32_t Code;
  };
  const Case cases[] = {{"", ecNoSearchMask},
                        {dir / "*.none", ecNoMatchingFiles},
                        {dir / "missing/*.bin", ecDirNotFound}};
  for (const Case& c : cases) {
    TransferRecord record;
    record.SearchMask = c.Mask;
    record.SearchPending = true;
    std::string found = "stale";
    EXPECT_FALSE(NextFromMask(record, found)) << c.Mask;
    EXPECT_EQ(record.ErrorCode, c.Code) << c.Mask;
    EXPECT_FALSE(record.SearchOpen);
  }
}

TEST(SourceFileSearch, FolderPartOfTheMask) {
  EXPECT_EQ(MaskFolder("*.bin"), "");
  EXPECT_EQ(MaskFolder("/*.bin"), "/");
  EXPECT_EQ(MaskFolder("/tmp/x/*.bin"), "/tmp/x");
  EXPECT_EQ(MaskFolder("x/*"), "x");
  // A mask without a folder gives the found name alone.
  TempDir dir;
  WriteFile(dir / "only.bin", "1");
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  TransferRecord record;
  record.SearchMask = "*.bin";
  record.SearchPending = true;
  std::string found;
  EXPECT_TRUE(NextFromMask(record, found));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(found, "only.bin");
}

TEST(SourceFileName, AssignPathName) {
  TransferRecord record;
  AssignPathName(record, "image.bin");  // no folder: the name alone
  EXPECT_EQ(record.PathName, "image.bin");
  record.DestinationFolder = "/srv/in";
  AssignPathName(record, "image.bin");
  EXPECT_EQ(record.PathName, "/srv/in/image.bin");
  record.DestinationFolder = "/srv/in/";
  AssignPathName(record, "image.bin");
  EXPECT_EQ(record.PathName, "/srv/in/image.bin");
  AssignPathName(record, "/other/image.bin");  // a path stays as it is
  EXPECT_EQ(record.PathName, "/other/image.bin");
  AssignPathName(record, "/" + std::string(300, 'x'));
  EXPECT_EQ(record.PathName.size(), 255u);
}

// Reads a whole file as the transmitter does: block after block until the end flag.
struct TReads {
  std::vector<int32_t> Counts;
  std::vector<int32_t> BufferStarts;  // distinct read-ahead positions, in order
  std::string Data;                   // every block as delivered, fill included
  std::string Last;                   // the last block
};

TReads ReadAll(TransferRecord& record, int32_t blockLength) {
  TReads r;
  std::vector<uint8_t> block(static_cast<size_t>(blockLength));
  for (int guard = 0; guard < 10000; ++guard) {
    int32_t count = blockLength;
    const bool end = ReadSourceBlock(record, block.data(), count);
    if (r.BufferStarts.empty() || r.BufferStarts.back() != record.BufferStart)
      r.BufferStarts.push_back(record.BufferStart);
    r.Counts.push_back(count);
    r.Last.assign(reinterpret_cast<const char*>(block.data()), block.size());
    r.Data += r.Last;
    if (end) break;
    record.FileOffset += blockLength;
  }
  return r;
}

TEST(SourceFileRead, FirmwareSizedFileInBlocksWithFill) {
  TempDir dir;
  const std::string file = Pattern(37648, 11);
  WriteFile(dir / "fw.bin", file);
  TransferRecord record;
  record.PathName = dir / "fw.bin";
  OpenSourceFile(record);
  ASSERT_EQ(record.ErrorCode, 0);
  ASSERT_TRUE(record.FileOpen);
  EXPECT_EQ(record.FileLength, 37648);
  EXPECT_EQ(record.BytesRemaining, 37648);

  const TReads r = ReadAll(record, 1024);
  ASSERT_EQ(r.Counts.size(), 37u);
  for (size_t i = 0; i + 1 < r.Counts.size(); ++i) EXPECT_EQ(r.Counts[i], 1024);
  EXPECT_EQ(r.Counts.back(), 784);
  EXPECT_EQ(r.Last.substr(784), std::string(240, '\x1A'));
  EXPECT_EQ(r.Data, file + std::string(240, '\x1A'));
  // Read ahead in five chunks.
  EXPECT_EQ(r.BufferStarts, (std::vector<int32_t>{0, 8192, 16384, 24576, 32768}));

  CloseSourceFile(record);
  EXPECT_FALSE(record.FileOpen);
  EXPECT_FALSE(record.FileBuffer);
}

TEST(SourceFileRead, EndTestAtExactMultiplesAndEmptyFiles) {
  TempDir dir;
  for (size_t size : {0u, 1024u, 8192u, 16384u + 128u}) {
    const std::string file = Pattern(size, 5);
    WriteFile(dir / "f.bin", file);
    for (int32_t blockLength : {128, 1024}) {
      SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(blockLength));
      TransferRecord record;
      record.PathName = dir / "f.bin";
      OpenSourceFile(record);
      const TReads r = ReadAll(record, blockLength);
      // The last read delivers data and says end; no empty read comes before it.
      const size_t blocks = size == 0 ? 1 : (size + blockLength - 1) / blockLength;
      ASSERT_EQ(r.Counts.size(), blocks);
      const int32_t rest = static_cast<int32_t>(size % blockLength);
      EXPECT_EQ(r.Counts.back(), size == 0 ? 0 : (rest == 0 ? blockLength : rest));
      if (size > 0) {
        std::string padded = file;
        padded.resize(blocks * blockLength, '\x1A');
        EXPECT_TRUE(r.Data == padded);
      }
      CloseSourceFile(record);
    }
  }
}

TEST(SourceFileRead, GoingBackReloadsTheBuffer) {
  TempDir dir;
  const std::string file = Pattern(20000, 2);
  WriteFile(dir / "f.bin", file);
  TransferRecord record;
  record.PathName = dir / "f.bin";
  OpenSourceFile(record);
  uint8_t block[1024];
  for (int32_t offset : {9000, 100, 19500}) {
    record.FileOffset = offset;
    int32_t count = 1024;
    const bool end = ReadSourceBlock(record, block, count);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), static_cast<size_t>(count)),
              file.substr(static_cast<size_t>(offset), static_cast<size_t>(count)))
        << offset;
    EXPECT_EQ(end, offset == 19500);
  }
  CloseSourceFile(record);
}

TEST(SourceFileOpen, MissingNameOrFile) {
  TransferRecord record;
  OpenSourceFile(record);
  EXPECT_EQ(record.ErrorCode, ecFileNotFound);
  record.PathName = "/nonexistent/file.bin";
  OpenSourceFile(record);
  EXPECT_EQ(record.ErrorCode, -2);
  EXPECT_FALSE(record.FileOpen);
  EXPECT_FALSE(record.FileBuffer);
}

}  // namespace
