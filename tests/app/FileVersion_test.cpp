#include "app/FileVersion.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/VersionRecord.h"

namespace {

using app::TStringTable;
using app::TTranslation;
using app::TVersionString;

class FileVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fileversion-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  std::string WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // An ELF object file whose only data section is the given record under the given name, made
  // by the system's objcopy as any ELF tool would.
  std::string ElfWithSection(const std::string& name, const std::vector<uint8_t>& record,
                             const std::string& section = app::kVersionSectionName) {
    const std::string raw = WriteBytes(name + ".bin", record);
    const std::string elf = dir_ + "/" + name + ".o";
    const std::string command = "cd '" + dir_ + "' && objcopy -I binary -O elf64-x86-64 " +
                                "--rename-section .data=" + section + " '" + name + ".bin' '" +
                                elf + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return elf;
  }

  std::string dir_;
};

std::vector<uint8_t> Record(std::initializer_list<TTranslation> translations,
                            std::initializer_list<TStringTable> tables) {
  return app::EncodeVersionRecord(std::span(translations.begin(), translations.size()),
                                  std::span(tables.begin(), tables.size()));
}

constexpr TVersionString kWithVersion[] = {{"ProductName", "x"}, {"FileVersion", "1.2.3.4"}};
constexpr TVersionString kWithoutVersion[] = {{"ProductName", "y"}};
constexpr TVersionString kOtherVersion[] = {{"FileVersion", "9.8.7.6"}};

TEST_F(FileVersionTest, TheProgramsOwnRecordGivesTheProjectVersion) {
  EXPECT_EQ(app::GetFileVersion(app::TForm1::SelfExePath()), "2.0.3017.3452");
}

TEST_F(FileVersionTest, TheRunningProgramsVersionIsItsOwnNotWhatItsPathHoldsNow) {
  // Read once at start-up from the program that runs.
  EXPECT_EQ(app::OwnFileVersion(), "2.0.3017.3452");
  EXPECT_EQ(app::OwnExePath(), app::TForm1::SelfExePath());
  EXPECT_EQ(app::ExeFileVersion(app::OwnExePath()), "2.0.3017.3452");
  // Any other executable is read from its file, as it is now.
  const std::string other =
      ElfWithSection("other", Record({{0x0419, 0x04E3}}, {{"041904e3", kOtherVersion}}));
  EXPECT_EQ(app::ExeFileVersion(other), "9.8.7.6");
  EXPECT_EQ(app::ExeFileVersion(dir_ + "/missing"), "");
  EXPECT_EQ(app::ExeFileVersion(""), "");
}

TEST_F(FileVersionTest, TheFirstTranslationWithAFileVersionWins) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Record;
    const char* Expected;
  };
  const Case cases[] = {
      {"first lacks FileVersion",
       Record({{0x0409, 0x04B0}, {0x0419, 0x04E3}},
              {{"040904b0", kWithoutVersion}, {"041904e3", kWithVersion}}),
       "1.2.3.4"},
      {"first has no table at all",
       Record({{0x0409, 0x04B0}, {0x0419, 0x04E3}}, {{"041904e3", kWithVersion}}), "1.2.3.4"},
      {"both have one: the first",
       Record({{0x0419, 0x04E3}, {0x0409, 0x04B0}},
              {{"040904b0", kOtherVersion}, {"041904e3", kWithVersion}}),
       "1.2.3.4"},
      {"four-digit language", Record({{0x0C0A, 0x04E4}}, {{"0c0a04e4", kWithVersion}}), "1.2.3.4"},
      {"table name in capitals", Record({{0x0419, 0x04E3}}, {{"041904E3", kWithVersion}}),
       "1.2.3.4"},
      {"no translation", Record({}, {{"041904e3", kWithVersion}}), ""},
      {"translation without table", Record({{0x0419, 0x04E3}}, {}), ""},
      {"no translation has one", Record({{0x0419, 0x04E3}}, {{"041904e3", kWithoutVersion}}), ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string elf = ElfWithSection("case" + std::to_string(i++), c.Record);
    EXPECT_EQ(app::GetFileVersion(elf), c.Expected) << c.Name;
  }
}

TEST_F(FileVersionTest, AMalformedRecordGivesNothing) {
  const std::vector<uint8_t> good =
      Record({{0x0409, 0x04B0}, {0x0419, 0x04E3}},
             {{"040904b0", kWithoutVersion}, {"041904e3", kWithVersion}});
  ASSERT_EQ(app::GetFileVersion(ElfWithSection("good", good)), "1.2.3.4");
  // Cut at every length: a record that ends early is no record.
  for (size_t n = 1; n < good.size(); ++n) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_EQ(app::GetFileVersion(ElfWithSection("cut", cut)), "") << "cut at " << n;
  }
  // Lengths and counts that point past the end, a wrong magic, a value without terminator.
  auto patched = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> r = good;
    r.at(at) = value;
    return r;
  };
  std::vector<uint8_t> noTerminator = good;
  noTerminator.at(noTerminator.size() - 1) = '4';  // the last value's terminating zero
  const std::vector<std::vector<uint8_t>> broken = {
      patched(0, 'X'),    // magic
      patched(4, 2),      // format
      patched(7, 0x7F),   // translation count
      patched(17, 0xFF),  // string table count (high byte)
      noTerminator,
  };
  for (size_t i = 0; i < broken.size(); ++i) {
    EXPECT_EQ(app::GetFileVersion(ElfWithSection("broken", broken[i])), "") << "case " << i;
  }
}

TEST_F(FileVersionTest, FilesThatAreNotWhatTheySeemGiveNothing) {
  EXPECT_EQ(app::GetFileVersion(""), "");
  EXPECT_EQ(app::GetFileVersion(dir_ + "/missing"), "");
  EXPECT_EQ(app::GetFileVersion(dir_), "");  // a folder
  EXPECT_EQ(app::GetFileVersion("/dev/null"), "");
  // An ELF file without the section.
  EXPECT_EQ(app::GetFileVersion(ElfWithSection("other", {1, 2, 3}, ".data")), "");

  std::mt19937 random(1234);
  std::vector<uint8_t> garbage(4096);
  for (uint8_t& b : garbage) b = static_cast<uint8_t>(random());
  EXPECT_EQ(app::GetFileVersion(WriteBytes("garbage", garbage)), "");
  std::vector<uint8_t> elfGarbage = garbage;
  std::memcpy(elfGarbage.data(), ELFMAG, SELFMAG);
  elfGarbage[EI_CLASS] = ELFCLASS64;
  elfGarbage[EI_DATA] = ELFDATA2LSB;
  elfGarbage[EI_VERSION] = EV_CURRENT;
  EXPECT_EQ(app::GetFileVersion(WriteBytes("elf-garbage", elfGarbage)), "");

  // The program itself cut short at several places: its section headers sit at the end.
  const std::vector<uint8_t> self = ReadBytes(app::TForm1::SelfExePath());
  ASSERT_GT(self.size(), 100000u);
  for (size_t n : {size_t{4}, size_t{63}, size_t{64}, size_t{4096}, self.size() / 2,
                   self.size() - 64, self.size() - 1}) {
    const std::vector<uint8_t> cut(self.begin(), self.begin() + static_cast<long>(n));
    EXPECT_EQ(app::GetFileVersion(WriteBytes("self-cut", cut)), "") << "cut at " << n;
  }
}

TEST_F(FileVersionTest, ASectionHeaderPointingOutsideTheFileIsRefused) {
  const std::vector<uint8_t> record = Record({{0x0419, 0x04E3}}, {{"041904e3", kWithVersion}});
  const std::vector<uint8_t> elf = ReadBytes(ElfWithSection("hostile", record));
  auto header = [&](const std::vector<uint8_t>& bytes) {
    Elf64_Ehdr eh;
    std::memcpy(&eh, bytes.data(), sizeof eh);
    return eh;
  };
  const Elf64_Ehdr eh = header(elf);
  // Find our section's header and bend its offset and size in turn.
  const Elf64_Off tableAt = eh.e_shoff;
  Elf64_Shdr names;
  std::memcpy(&names, elf.data() + tableAt + eh.e_shstrndx * sizeof(Elf64_Shdr), sizeof names);
  int ours = -1;
  for (int i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, elf.data() + tableAt + i * sizeof(Elf64_Shdr), sizeof sh);
    const char* name = reinterpret_cast<const char*>(elf.data() + names.sh_offset + sh.sh_name);
    if (std::strcmp(name, app::kVersionSectionName) == 0) ours = i;
  }
  ASSERT_GE(ours, 0);
  const size_t at = tableAt + static_cast<size_t>(ours) * sizeof(Elf64_Shdr);
  struct Bend {
    const char* Name;
    Elf64_Off Offset;
    Elf64_Xword Size;
  };
  const Bend bends[] = {
      {"offset past the end", 0x7FFFFFFF, record.size()},
      {"size past the end", 64, 0x7FFFFFFF},
      {"offset + size wrap", ~Elf64_Off{0} - 4, 64},
      {"huge size", 64, ~Elf64_Xword{0}},
  };
  for (const Bend& b : bends) {
    std::vector<uint8_t> bent = elf;
    Elf64_Shdr sh;
    std::memcpy(&sh, bent.data() + at, sizeof sh);
    sh.sh_offset = b.Offset;
    sh.sh_size = b.Size;
    std::memcpy(bent.data() + at, &sh, sizeof sh);
    EXPECT_EQ(app::GetFileVersion(WriteBytes("bent", bent)), "") << b.Name;
  }
}

}  // namespace
