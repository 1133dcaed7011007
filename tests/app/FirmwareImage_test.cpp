#include "app/FirmwareImage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/Cp1251.h"
#include "comm/Exceptions.h"

namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

uint32_t Word(std::span<const uint8_t> image, size_t at) {
  return image[at] | (image[at + 1] << 8) | (image[at + 2] << 16) |
         (static_cast<uint32_t>(image[at + 3]) << 24);
}

TEST(FirmwareImage, TheEmbeddedImageLooksLikeTheDevicesFirmware) {
  const auto image = app::FindResource("WBLOCK");
  ASSERT_TRUE(image.has_value());
  ASSERT_EQ(image->size(), 37648u);
  // Cortex-M vector table: the initial stack pointer in RAM, the reset handler in flash with
  // the Thumb bit set.
  const uint32_t sp = Word(*image, 0);
  EXPECT_EQ(sp & 0xFFF00000u, 0x20000000u);
  EXPECT_EQ(sp % 8, 0u);
  for (size_t v = 1; v < 16; ++v) {
    const uint32_t handler = Word(*image, v * 4);
    if (handler == 0) continue;  // reserved entries
    EXPECT_EQ(handler & 1u, 1u) << "vector " << v;
    EXPECT_EQ(handler & 0xFF000000u, 0x08000000u) << "vector " << v;
  }
  // The version string at its place, zero-terminated on both sides, and nowhere else.
  const std::string tagged = "VERSW=2.0.0.3452\n";
  EXPECT_EQ(image->data()[27639], 0);
  EXPECT_EQ(std::memcmp(image->data() + 27640, tagged.data(), tagged.size()), 0);
  EXPECT_EQ(image->data()[27640 + tagged.size()], 0);
  const std::string_view all(reinterpret_cast<const char*>(image->data()), image->size());
  EXPECT_EQ(all.find("VERSW="), 27640u);
  EXPECT_EQ(all.find("VERSW=", 27641), std::string_view::npos);
  // The lookup hands out the linked bytes themselves, the same on every call.
  EXPECT_EQ(app::FindResource("WBLOCK")->data(), image->data());
  EXPECT_FALSE(app::FindResource("wblock").has_value());
  EXPECT_FALSE(app::FindResource("").has_value());
}

TEST(FirmwareImage, TheEmbeddedImageIsTheBuildsImageFile) {
  const std::string file = WBLOCK_FILE;
  ASSERT_FALSE(file.empty());
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> onDisk{std::istreambuf_iterator<char>(in), {}};
  const auto image = app::FindResource("WBLOCK");
  ASSERT_TRUE(image.has_value());
  EXPECT_TRUE(std::equal(image->begin(), image->end(), onDisk.begin(), onDisk.end()));
}

TEST(GetUpdateVersion, ReadsTheFirstStringHoldingTheTag) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Image;
    const char* Expected;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"tag string in the middle", Bytes("\x01\x02\0abc\0VERSW=2.0.0.3452\n\0tail"s), "2.0.0.3452"},
      {"tag string first", Bytes("VERSW=1.2.3.4\n\0"s), "1.2.3.4"},
      {"first of two wins", Bytes("VERSW=1.1.1.1\n\0VERSW=2.2.2.2\n\0"s), "1.1.1.1"},
      {"tag not at the string's start: from the seventh character on",
       Bytes("\0xxVERSW=2.0.0.3452\n\0"s), "W=2.0.0.3452"},
      {"no line feed: the last digit is lost", Bytes("\0VERSW=2.0.0.3452\0"s), "2.0.0.345"},
      {"tag at the very end without a terminator", Bytes("\0\0VERSW=2.0.0.3452"s), "2.0.0.345"},
      {"bare tag at the very end", Bytes("abc\0VERSW="s), ""},
      {"tag split by a zero", Bytes("VERS\0W=1.0.0.1\n\0"s), ""},
      {"no tag", Bytes("VERSION=1\n\0versw=2.0.0.1\n\0"s), ""},
      {"empty image", {}, ""},
      {"only zeros", std::vector<uint8_t>(64, 0), ""},
  };
  for (const Case& c : cases) {
    // Each image in a buffer of exactly its size, so that ASan sees a read past the end.
    std::vector<uint8_t> exact(c.Image.begin(), c.Image.end());
    EXPECT_EQ(app::GetUpdateVersion(exact), c.Expected) << c.Name;
  }
  EXPECT_EQ(app::GetUpdateVersion(), "2.0.0.3452");
}

// A scratch folder per test, removed at the end.
class TempFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wblock-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    const std::string command = "chmod -R u+w '" + dir_ + "' && rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string dir_;
};

TEST_F(TempFileTest, WritesBesideTheExecutableOverwritesAndDeletes) {
  app::TTempImageFile file(dir_);
  EXPECT_EQ(file.Path(), dir_ + "/WBlock");
  EXPECT_EQ(file.PrivateFolder(), "");
  const std::vector<uint8_t> big(5000, 0xAB);
  file.Write(big);
  EXPECT_EQ(ReadFile(file.Path()), std::string(5000, '\xAB'));
  struct stat st {};
  ASSERT_EQ(stat(file.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A shorter image leaves nothing of the longer one behind.
  file.Write(Bytes("short"));
  EXPECT_EQ(ReadFile(file.Path()), "short");
  file.Delete();
  EXPECT_NE(access(file.Path().c_str(), F_OK), 0);
  file.Delete();  // deleting a missing file is quietly nothing
}

TEST_F(TempFileTest, UsesAPrivateFolderWhenTheExecutablesFolderIsReadOnly) {
  const std::string readOnly = dir_ + "/bin";
  ASSERT_EQ(mkdir(readOnly.c_str(), 0555), 0);
  std::string privateFolder;
  {
    // root may write into a 0555 folder; a path that is not a folder at all is unwritable for
    // everyone.
    const std::string notAFolder = dir_ + "/file";
    std::ofstream(notAFolder) << "x";
    app::TTempImageFile file(geteuid() == 0 ? notAFolder : readOnly);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    file.Write(Bytes("image"));
    unsetenv("XDG_RUNTIME_DIR");
    privateFolder = file.PrivateFolder();
    ASSERT_FALSE(privateFolder.empty());
    EXPECT_EQ(privateFolder.rfind(dir_ + "/vexilora-update-", 0), 0u) << privateFolder;
    EXPECT_EQ(file.Path(), privateFolder + "/WBlock");
    struct stat st {};
    ASSERT_EQ(stat(privateFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadFile(file.Path()), "image");
  }
  // The run's folder goes with the program.
  EXPECT_NE(access(privateFolder.c_str(), F_OK), 0);
}

TEST_F(TempFileTest, NeverWritesThroughAPlantedLinkOrIntoAFifo) {
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious";
  ASSERT_EQ(symlink(victim.c_str(), (dir_ + "/WBlock").c_str()), 0);
  {
    app::TTempImageFile file(dir_);
    EXPECT_THROW(file.Write(Bytes("image")), comm::Exception);
  }
  EXPECT_EQ(ReadFile(victim), "precious");

  const std::string fifoDir = dir_ + "/fifo";
  ASSERT_EQ(mkdir(fifoDir.c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((fifoDir + "/WBlock").c_str(), 0600), 0);
  app::TTempImageFile file(fifoDir);
  try {
    file.Write(Bytes("image"));
    FAIL() << "wrote into a FIFO";
  } catch (const comm::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(fifoDir + "/WBlock"), std::string::npos) << e.what();
  }
}

TEST(Cp1251, ConvertsWhatTheCodePageHasAndRefusesTheRest) {
  EXPECT_EQ(app::Utf8ToCp1251("abc123"), "abc123");
  EXPECT_EQ(app::Utf8ToCp1251("Пароль"), "\xCF\xE0\xF0\xEE\xEB\xFC");
  EXPECT_EQ(app::Utf8ToCp1251("АЯая"), "\xC0\xDF\xE0\xFF");
  EXPECT_EQ(app::Utf8ToCp1251("Ёё№€"), "\xA8\xB8\xB9\x88");
  EXPECT_EQ(app::Utf8ToCp1251(""), "");
  EXPECT_FALSE(app::Utf8ToCp1251("日本").has_value());          // not in the code page
  EXPECT_FALSE(app::Utf8ToCp1251("\xC3").has_value());          // cut short
  EXPECT_FALSE(app::Utf8ToCp1251("\xC0\xAF").has_value());      // overlong
  EXPECT_FALSE(app::Utf8ToCp1251("\xED\xA0\x80").has_value());  // surrogate
  EXPECT_FALSE(app::Cp1251Byte(0x0098).has_value());
}

}  // namespace
