#include "app/FirmwareImage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

// The executable's folder is used only when nobody else can write to it; otherwise a private
// folder (0700) is made for the update, and goes with it.
TEST_F(TempFileTest, UsesAPrivateFolderUnlessTheExecutablesFolderIsTheUsersAlone) {
  const bool root = geteuid() == 0;
  struct Case {
    const char* Name;
    mode_t Mode;
    bool OwnedBySomeoneElse;
    bool NotAFolder;
    bool Private;
  };
  const Case cases[] = {
      {"own folder, 0755", 0755, false, false, false},
      {"own folder, 0700", 0700, false, false, false},
      {"writable by the group", 0775, false, false, true},
      {"writable by everyone", 0777, false, false, true},
      {"sticky, writable by everyone", 01777, false, false, true},
      // root may write into a 0555 folder; for root a path that is no folder stands for it.
      {"read-only", 0555, false, root, true},
      {"someone else's", 0755, true, false, true},
  };
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.OwnedBySomeoneElse && !root) continue;
    std::string exeDir = dir_ + "/bin";
    if (c.NotAFolder) {
      exeDir = dir_ + "/file";
      std::ofstream(exeDir) << "x";
    } else {
      ASSERT_EQ(mkdir(exeDir.c_str(), 0700), 0);
      ASSERT_EQ(chmod(exeDir.c_str(), c.Mode), 0);
      if (c.OwnedBySomeoneElse) {
        ASSERT_EQ(chown(exeDir.c_str(), 65534, 65534), 0);
      }
    }
    std::string privateFolder;
    {
      app::TTempImageFile file(exeDir);
      file.Write(Bytes("image"));
      privateFolder = file.PrivateFolder();
      EXPECT_EQ(ReadFile(file.Path()), "image");
      if (!c.Private) {
        EXPECT_EQ(privateFolder, "");
        EXPECT_EQ(file.Path(), exeDir + "/WBlock");
      } else {
        ASSERT_FALSE(privateFolder.empty());
        EXPECT_EQ(privateFolder.rfind(dir_ + "/vexilora-update-", 0), 0u) << privateFolder;
        EXPECT_EQ(file.Path(), privateFolder + "/WBlock");
        struct stat st {};
        ASSERT_EQ(stat(privateFolder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_NE(access((exeDir + "/WBlock").c_str(), F_OK), 0);
        // Remove takes the folder; the next write makes a new one.
        file.Remove();
        EXPECT_NE(access(privateFolder.c_str(), F_OK), 0);
        file.Write(Bytes("again"));
        EXPECT_NE(file.PrivateFolder(), "");
        privateFolder = file.PrivateFolder();
      }
    }
    // The file and the private folder go with the object.
    if (!privateFolder.empty()) {
      EXPECT_NE(access(privateFolder.c_str(), F_OK), 0);
    }
    EXPECT_NE(access((exeDir + "/WBlock").c_str(), F_OK), 0);
    std::filesystem::remove_all(exeDir);
  }
  unsetenv("XDG_RUNTIME_DIR");
}

// Whatever someone planted at the path goes, and a fresh file of the user's own (mode 0600)
// takes its place: nothing is written through a link, into a FIFO, or into a file someone
// else may still hold open.
TEST_F(TempFileTest, AlwaysWritesAFreshFileInPlaceOfAnythingPlanted) {
  const std::string victim = dir_ + "/victim";
  const std::string path = dir_ + "/WBlock";
  struct Case {
    const char* Name;
    std::function<void()> Plant;
  };
  const Case cases[] = {
      {"a symbolic link", [&] { ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0); }},
      {"a dangling link",
       [&] { ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), path.c_str()), 0); }},
      {"a hard link", [&] { ASSERT_EQ(link(victim.c_str(), path.c_str()), 0); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }},
      {"a file anyone may write",
       [&] {
         std::ofstream(path) << "someone else's longer content";
         ASSERT_EQ(chmod(path.c_str(), 0666), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::ofstream(victim) << "precious";
    c.Plant();
    struct stat before {};
    lstat(path.c_str(), &before);
    {
      app::TTempImageFile file(dir_);
      file.Write(Bytes("image"));
      struct stat st {};
      ASSERT_EQ(lstat(path.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      EXPECT_EQ(st.st_nlink, 1u);
      EXPECT_EQ(ReadFile(path), "image");
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    unlink(victim.c_str());
  }
}

// What cannot be removed or written is reported with the path and the system's reason, and no
// partial file stays behind.
TEST_F(TempFileTest, AFileThatCannotBeMadeIsReportedWithItsReason) {
  const std::string planted = dir_ + "/WBlock";
  ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
  std::ofstream(planted + "/inside") << "x";
  app::TTempImageFile file(dir_);
  try {
    file.Write(Bytes("image"));
    FAIL() << "wrote over a folder";
  } catch (const comm::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(planted), std::string::npos) << e.what();
    EXPECT_EQ(file.LastError(), EISDIR);
  }
  std::filesystem::remove_all(planted);

  // A full disk: a 16 KiB file system, in a mount namespace of a child of its own; then no
  // folder for the file anywhere.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=16k,mode=0700") != 0)
      _exit(77);
    app::TTempImageFile small(dir_);
    const std::vector<uint8_t> image(40000, 0x5A);
    try {
      small.Write(image);
      _exit(1);
    } catch (const comm::Exception&) {
    }
    if (small.LastError() != ENOSPC) _exit(2);
    if (access((dir_ + "/WBlock").c_str(), F_OK) == 0) _exit(3);  // no partial file

    // A folder that takes no files and no private folder to be had anywhere: the temporary
    // folders are read-only file systems.
    if (mount("tmpfs", "/tmp", "tmpfs", MS_RDONLY, nullptr) != 0) _exit(77);
    setenv("XDG_RUNTIME_DIR", "/tmp", 1);
    unsetenv("TMPDIR");
    app::TTempImageFile nowhere("/dev/null");
    try {
      nowhere.Write(image);
      _exit(4);
    } catch (const comm::Exception&) {
    }
    if (nowhere.LastError() != EROFS) _exit(5);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
