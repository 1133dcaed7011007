#include "tests/app/support/UpdateFixture.h"

#include <dirent.h>
#include <unistd.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/FirmwareImage.h"
#include "platform/PortTable.h"

namespace apptest {

namespace {

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

int UnnamedThreads() {
  const std::string own = ReadLine("/proc/self/comm");
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || std::to_string(getpid()) == e->d_name) continue;
      if (ReadLine(std::string("/proc/self/task/") + e->d_name + "/comm") == own) ++n;
    }
    closedir(d);
  }
  return n;
}

void TUpdateFixture::SetUp() {
  char pattern[] = "/tmp/vexilora-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  exeDir_ = pattern;
  // The executable as the window sees it: a link in the private folder to this program, so
  // that its version record is read and the temporary image lands in the private folder.
  ASSERT_EQ(symlink(app::TForm1::SelfExePath().c_str(), (exeDir_ + "/vexilora-update").c_str()), 0);
}

void TUpdateFixture::TearDown() {
  window_.reset();
  // No shell: under umockdev's and a sanitizer's preload a child shell may not start.
  std::error_code error;
  std::filesystem::remove_all(exeDir_, error);
  EXPECT_FALSE(error) << error.message();
}

appqt::TMainWindow& TUpdateFixture::Window() {
  if (!window_) window_ = std::make_unique<appqt::TMainWindow>(exeDir_ + "/vexilora-update");
  return *window_;
}

int TUpdateFixture::ShownIcon() { return Window().ShownIcon(); }

bool TUpdateFixture::TempImageExists() const { return access(TempImagePath().c_str(), F_OK) == 0; }

void TUpdateFixture::ShowWithDeviceAt(const std::string& devicePath) {
  Form().DevicePresent = true;
  Form().ComName = "COM" + std::to_string(platform::EnterPortPath(devicePath));
  Window().show();
}

std::string TUpdateFixture::EmbeddedImage() {
  const auto image = app::FindResource(app::kFirmwareResourceName);
  if (!image) return {};
  return std::string(reinterpret_cast<const char*>(image->data()), image->size());
}

vexsim::TOptions QuickDevice() {
  vexsim::TOptions o;
  o.HardwareVersion = "2.0";
  o.SoftwareVersion = "2.0.0.3400";
  o.HandshakeIntervalMs = 200;
  return o;
}

}  // namespace apptest
