// Where a run's trace COMM.TRC and dispatch log COMM.LOG go: the current folder as designed,
// but not the home folder (a start from the desktop) nor a folder that takes no files; there
// the last ten runs keep theirs under $XDG_STATE_HOME/vexilora-update, a folder each.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTest>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/qt/MainWindow.h"
#include "platform/PortTable.h"
#include "tests/app/support/QtWait.h"
#include "tests/support/Pty.h"

namespace {

namespace fs = std::filesystem;

class TraceFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vexilora-trace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    home_ = root_ + "/home";
    fs::create_directories(home_);
    cwd_ = fs::current_path();
    Save("HOME");
    Save("XDG_STATE_HOME");
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
  }
  void TearDown() override {
    fs::current_path(cwd_);
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    std::error_code error;
    fs::remove_all(root_, error);
  }
  void Save(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  static std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& e : fs::directory_iterator(dir, error)) names.insert(e.path().filename());
    return names;
  }
  // A short exchange on a pty and the port's first close, which writes both files.
  static void RecordSomething(app::TForm1& form) {
    PtyPair pty;
    form.ComPort1.SetComNumber(static_cast<uint16_t>(platform::EnterPortPath(pty.SlavePath())));
    form.ComPort1.SetOpen(true);
    ASSERT_NE(pty.ReadFor(8, 5000).size(), 0u);
    form.ComPort1.SetOpen(false);
  }

  std::string root_, home_;
  fs::path cwd_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(TraceFolderTest, EachStartingFolderGetsItsTraceWhereItBelongs) {
  const std::string elsewhere = root_ + "/work";
  fs::create_directories(elsewhere);
  const std::string state = root_ + "/state";
  struct Case {
    const char* Name;
    std::string Cwd;
    const char* XdgState;  // null: unset
    std::string Base;      // where the run folders go; "" for the current folder
  };
  const Case cases[] = {
      {"a working folder", elsewhere, nullptr, ""},
      {"the home folder", home_, nullptr, home_ + "/.local/state/vexilora-update"},
      {"the home folder with XDG_STATE_HOME", home_, state.c_str(), state + "/vexilora-update"},
      {"a folder that takes no files", "/proc", nullptr, home_ + "/.local/state/vexilora-update"},
      {"a relative XDG_STATE_HOME is not used", home_, "relative",
       home_ + "/.local/state/vexilora-update"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::current_path(c.Cwd);
    if (c.XdgState)
      setenv("XDG_STATE_HOME", c.XdgState, 1);
    else
      unsetenv("XDG_STATE_HOME");
    apptest::TBoxCloser closer;
    appqt::TMainWindow window;
    app::TForm1& form = window.Form();
    if (c.Base.empty()) {
      EXPECT_EQ(form.TraceFolder(), c.Cwd);
      EXPECT_EQ(form.ComPort1.TraceName(), "COMM.TRC");
      EXPECT_FALSE(fs::exists(home_ + "/.local"));
    } else {
      const std::string folder = form.TraceFolder();
      EXPECT_EQ(fs::path(folder).parent_path(), c.Base);
      struct stat st {};
      ASSERT_EQ(stat(folder.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      EXPECT_EQ(form.ComPort1.TraceName(), folder + "/COMM.TRC");
      EXPECT_EQ(form.ComPort1.LogName(), folder + "/COMM.LOG");
    }
    RecordSomething(form);
    const std::string written = c.Base.empty() ? c.Cwd : form.TraceFolder();
    EXPECT_TRUE(fs::exists(written + "/COMM.TRC"));
    EXPECT_TRUE(fs::exists(written + "/COMM.LOG"));
    EXPECT_FALSE(fs::exists(home_ + "/COMM.TRC"));
    EXPECT_FALSE(fs::exists(home_ + "/COMM.LOG"));
  }
}

TEST_F(TraceFolderTest, TheLastTenRunsKeepTheirTrace) {
  const std::string base = home_ + "/.local/state/vexilora-update";
  fs::create_directories(base);
  // Eleven earlier runs, one of them holding a file of someone's own; and things that are not
  // runs at all.
  for (int day = 1; day <= 11; ++day) {
    char name[32];
    std::snprintf(name, sizeof name, "2020-01-%02d_10-00-00", day);
    fs::create_directories(base + "/" + name);
    std::ofstream(base + "/" + name + "/COMM.TRC") << "trace";
    std::ofstream(base + "/" + name + "/COMM.LOG") << "log";
  }
  std::ofstream(base + "/2020-01-02_10-00-00/notes.txt") << "mine";
  fs::create_directories(base + "/keep-me");
  std::ofstream(base + "/README") << "x";
  fs::current_path(home_);

  std::set<std::string> runs;
  for (int start = 1; start <= 3; ++start) {
    SCOPED_TRACE(start);
    apptest::TBoxCloser closer;
    appqt::TMainWindow window;
    runs.insert(fs::path(window.Form().TraceFolder()).filename());
    RecordSomething(window.Form());
  }
  // Three runs started within a second or two: each has a folder of its own.
  EXPECT_EQ(runs.size(), 3u);
  const std::set<std::string> left = Entries(base);
  std::set<std::string> expected = {"keep-me", "README", "2020-01-02_10-00-00"};
  // The ten newest runs: the three new ones and seven of the old.
  for (int day = 5; day <= 11; ++day) {
    char name[32];
    std::snprintf(name, sizeof name, "2020-01-%02d_10-00-00", day);
    expected.insert(name);
  }
  expected.insert(runs.begin(), runs.end());
  EXPECT_EQ(left, expected);
  // The run with someone's own file lost its trace but kept the file.
  EXPECT_EQ(Entries(base + "/2020-01-02_10-00-00"), std::set<std::string>{"notes.txt"});
  for (const std::string& run : runs) {
    EXPECT_TRUE(fs::exists(base + "/" + run + "/COMM.TRC"));
  }
}

}  // namespace
