#include "app/Main.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/FileVersion.h"
#include "app/ImageDigest.h"
#include "app/Versions.h"
#include "comm/Exceptions.h"
#include "platform/PortTable.h"

namespace app {

namespace {

// Messages of the main window's own hidden window.
constexpr uint32_t kShowPendingExceptions = 0x0401;
constexpr uint32_t kRunDeferred = 0x0402;
constexpr uint32_t kSearchAfresh = 0x0403;

constexpr const char* kImageMissing =
    QT_TRANSLATE_NOOP("TForm1",
                      "В исполняемом файле утилиты для обновления Vexilora "
                      "отсутствует программное обеспечение Vexilora!");
constexpr const char* kImageDamaged = QT_TRANSLATE_NOOP(
    "TForm1",
    "Программное обеспечение Vexilora в утилите повреждено (не совпадает контрольная сумма). "
    "Обновление не начато. Переустановите утилиту.");
constexpr const char* kTempImageFailed = QT_TRANSLATE_NOOP(
    "TForm1",
    "Не удается записать временный файл обновления: %1. Обновление не начато, Vexilora не "
    "затронута.");

// How many runs keep their trace in the state folder.
constexpr size_t kKeptTraceRuns = 10;

}  // namespace

std::string TForm1::SelfExePath() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<size_t>(n));
}

TForm1::TForm1(TForm1View& view, std::string exePath, std::string tempFolder)
    : viewInterface_(view),
      exePath_(std::move(exePath)),
      tempImage_(tempFolder.empty() ? DirectoryOf(exePath_) : std::move(tempFolder)) {
  // The serial port: the device's line, 115200 8N1 without flow control, DTR and RTS off.
  ComPort1.SetBaud(115200);
  ComPort1.SetPromptForPort(false);
  ComPort1.SetInSize(1030);
  ComPort1.SetOutSize(1030);
  ComPort1.SetAutoOpen(false);
  ComPort1.SetDTR(false);
  ComPort1.SetRTS(false);
  ComPort1.SetTraceName("COMM.TRC");
  ComPort1.SetTracing(comm::tlOn);
  ComPort1.SetLogName("COMM.LOG");
  ComPort1.SetLogging(comm::tlOn);
  ComPort1.SetUseEventWord(false);
  ComPort1.SetTapiMode(comm::tmNone);
  ComPort1.OnPortOpen = [this](comm::TCustomComPort* CP) { ComPort1PortOpen(CP); };

  // The packet: one reply line, from a line feed to a carriage return.
  DataPacket1.SetComPort(&ComPort1);
  DataPacket1.SetEnabled(false);
  DataPacket1.SetAutoEnable(false);
  DataPacket1.SetEndCond({comm::ecString});
  DataPacket1.SetStartString("\n");
  DataPacket1.SetEndString("\r");
  DataPacket1.SetPacketSize(0);
  DataPacket1.SetTimeOut(500);
  DataPacket1.OnStringPacket = [this](comm::TDataPacket* Sender, const std::string& Data) {
    DataPacket1StringPacket(Sender, Data);
  };
  DataPacket1.OnTimeout = [this](comm::TDataPacket* Sender) { DataPacket1Timeout(Sender); };

  // The protocol: Xmodem-1K with CRC-16.
  XModem1.SetComPort(&ComPort1);
  XModem1.SetProtocolType(comm::ptXmodem1K);
  XModem1.SetFileMask("*.*");
  XModem1.SetBlockCheckMethod(comm::bcmCrc16);
  XModem1.SetHandshakeWait(1092);
  XModem1.SetFinishWait(0);
  XModem1.SetTurnDelay(1000);
  XModem1.SetOverhead(5);
  XModem1.SetStatusInterval(1);
  XModem1.OnProtocolStatus = [this](comm::TCustomProtocol* CP, uint16_t Options) {
    Xmodem1ProtocolStatus(CP, Options);
  };
  XModem1.OnProtocolFinish = [this](comm::TCustomProtocol* CP, int32_t ErrorCode) {
    Xmodem1ProtocolFinish(CP, ErrorCode);
  };

  // The reply watchdog belongs to the open port: it goes when the port closes. A closed port
  // also ends a running update (the device pulled out, the form going away).
  ComPort1.AttachPortUser(this, [this](comm::TCustomComPort*, comm::TPortNotice kind) {
    if (kind != comm::NoticeOpen && platform::IsMainThread()) DisarmWatchdog();
    if (kind == comm::NoticeClosed) CheckUpdateEnded();
  });

  window_ = platform::CreateHiddenWindow(
      "TForm1", [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        return WindowProc(msg, wParam, lParam);
      });
  comm::SetExceptionDisplay([this](const std::exception& e) { ShowExceptionMessage(e.what()); });
}

TForm1::~TForm1() {
  // Closing the window ends the program: a port still open is closed on the way, while the
  // components that use it are all still there. A reply still on its way when the close
  // serves the queue drives no step (and opens no box) in a form that is going.
  MainMarker.clear();
  AltMarker.clear();
  try {
    ComPort1.SetOpen(false);
  } catch (...) {
  }
  DisarmWatchdog();
  ComPort1.DetachPortUser(this);
  if (updateRunning_) EndUpdate();
  comm::SetExceptionDisplay(nullptr);
  platform::DestroyHiddenWindow(window_);
}

// ---- window events --------------------------------------------------------------------------

void TForm1::FormCreate() {
  PinToFirstProcessor();
  ChooseTraceFolder();
  // Arrivals and removals reach DeviceChange through the view, which watches the platform's
  // device monitor from its event loop.
  SetCaption(std::string(kDesignCaption) + " v" + GetFileVersion(exePath_));
  if (FindResource(kFirmwareResourceName)) {
    SetUpVerText(GetUpdateVersion());
  } else {
    ModalMessageBox(QT_TRANSLATE_NOOP("TForm1", "Ошибка"), kImageMissing, TMessageIcon::Error);
  }
}

void TForm1::FormShow() { FindDevice(); }

// ---- view state -----------------------------------------------------------------------------

void TForm1::Changed() { viewInterface_.StateChanged(); }

namespace {
template <typename T>
bool Assign(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}
}  // namespace

void TForm1::SetCaption(const std::string& text) {
  if (Assign(view_.Caption, text)) Changed();
}
void TForm1::SetHWVerText(const std::string& text) {
  if (Assign(view_.uiTEHWVer, text)) Changed();
}
void TForm1::SetSWVerText(const std::string& text) {
  if (Assign(view_.uiTESWVer, text)) Changed();
}
void TForm1::SetUpVerText(const std::string& text) {
  if (Assign(view_.uiTEUpVer, text)) Changed();
}
void TForm1::SetStatusText(const std::string& text) { SetStatusText(text, {}); }
void TForm1::SetStatusText(const std::string& text, std::vector<std::string> args) {
  const std::string filled = FillTemplate(text, args);
  if (view_.uiLabel1 == filled && view_.uiLabel1Template == text && view_.uiLabel1Args == args)
    return;
  view_.uiLabel1 = filled;
  view_.uiLabel1Template = text;
  view_.uiLabel1Args = std::move(args);
  view_.TraceNote.clear();
  Changed();
}
void TForm1::ShowTraceNote() {
  std::string folder = TraceFolder();
  if (folder.empty() || folder == ".") {
    std::vector<char> buffer(4096);
    if (getcwd(buffer.data(), buffer.size()) == nullptr) return;
    folder = buffer.data();
  }
  if (Assign(view_.TraceNote, folder)) Changed();
}
void TForm1::ShowIcon(int index) {
  if (Assign(view_.uiImage1, index)) Changed();
}
void TForm1::SetButtonEnabled(bool value) {
  if (Assign(view_.uiButton1Enabled, value)) Changed();
}
void TForm1::SetProgressPosition(int value) {
  if (Assign(view_.ProgressPosition, value)) Changed();
}
void TForm1::SetProgressMax(int value) {
  if (Assign(view_.ProgressMax, value)) Changed();
}
void TForm1::SetEnabled(bool value) {
  if (Assign(view_.Enabled, value)) Changed();
}

// ---- helpers --------------------------------------------------------------------------------

uint16_t TForm1::PortNumberOfComName(const std::string& comName) {
  int number = 0;
  const std::string digits = comName.size() > 3 ? comName.substr(3) : std::string();
  if (!TryStrToInt(digits, number) || number < 1 || number > 65535)
    throw comm::Exception("'" + digits + "' is not a valid integer value");
  return static_cast<uint16_t>(number);
}

void TForm1::ModalMessageBox(const std::string& caption, const std::string& text,
                             TMessageIcon icon) {
  ++modalDepth_;
  try {
    viewInterface_.MessageBox(caption, text, icon);
  } catch (...) {
    --modalDepth_;
    throw;
  }
  --modalDepth_;
  if (modalDepth_ == 0 && !deferred_.empty()) platform::PostMessage(window_, kRunDeferred, 0, 0);
}

void TForm1::ModalPause(uint32_t ms) {
  ++modalDepth_;
  try {
    viewInterface_.Pause(ms);
  } catch (...) {
    --modalDepth_;
    throw;
  }
  --modalDepth_;
  if (modalDepth_ == 0 && !deferred_.empty()) platform::PostMessage(window_, kRunDeferred, 0, 0);
}

void TForm1::PauseThen(uint32_t ms, std::function<void()> then) {
  const TDialogueState state = DialogueState;
  auto resume = [this, state, then] {
    // A port closed meanwhile (the device pulled out) or a dialogue begun afresh has left the
    // step behind: nothing is sent to whatever is there now.
    if (DialogueState != state || !ComPort1.Open() || portDeviceRemoved_) return;
    then();
  };
  if (viewInterface_.PauseThen(ms, resume)) {
    // The packet stays armed meanwhile: replies that come early are passed over, as the
    // markers they would be classified by belong to the step that has not run yet.
    MainMarker.clear();
    AltMarker.clear();
    return;
  }
  ModalPause(ms);
  then();
}

std::optional<std::span<const uint8_t>> TForm1::FirmwareImage() const {
  if (firmwareImage_) return firmwareImage_;
  return FindResource(kFirmwareResourceName);
}

void TForm1::PostSearchAfresh() { platform::PostMessage(window_, kSearchAfresh, 0, 0); }

bool TForm1::DeferWhileModal(std::function<void()> fn) {
  if (modalDepth_ == 0) return false;
  deferred_.push_back(std::move(fn));
  return true;
}

void TForm1::ShowExceptionMessage(const std::string& message) {
  if (platform::IsMainThread()) {
    ModalMessageBox(kApplicationTitle, message, TMessageIcon::Error);
    return;
  }
  {
    std::lock_guard lock(pendingLock_);
    pendingExceptions_.push_back(message);
  }
  platform::PostMessage(window_, kShowPendingExceptions, 0, 0);
}

intptr_t TForm1::WindowProc(uint32_t msg, uintptr_t, intptr_t) {
  switch (msg) {
    case kShowPendingExceptions:
      while (true) {
        std::string message;
        {
          std::lock_guard lock(pendingLock_);
          if (pendingExceptions_.empty()) break;
          message = std::move(pendingExceptions_.front());
          pendingExceptions_.pop_front();
        }
        ModalMessageBox(kApplicationTitle, message, TMessageIcon::Error);
      }
      return 0;
    case kRunDeferred:
      // Device changes that came while a message box or the pause was open: the step that
      // opened it has returned by now.
      while (modalDepth_ == 0 && !deferred_.empty()) {
        std::function<void()> fn = std::move(deferred_.front());
        deferred_.pop_front();
        try {
          fn();
        } catch (...) {
          comm::ShowCurrentException();
        }
      }
      CheckUpdateEnded();
      return 0;
    case kSearchAfresh:
      SearchAfresh();
      return 0;
    default:
      return 0;
  }
}

// ---- the update's beginning and ending -----------------------------------------------------

bool TForm1::PrepareUpdateImage() {
  auto refuse = [this](const std::string& status, std::vector<std::string> args,
                       const std::string& reason) {
    TempImage().Remove();
    SetStatusText(status, std::move(args));
    ShowIcon(iiError);
    SetProgressPosition(0);
    // Nothing was sent: the device is as the query left it, and pressing again may succeed
    // once the cause is mended.
    SetButtonEnabled(true);
    viewInterface_.UpdateNotStarted(reason + "; nothing was sent to the device");
    return false;
  };
  const std::optional<std::span<const uint8_t>> image = FirmwareImage();
  if (!image) return refuse(kImageMissing, {}, "the program carries no firmware image");
  // The embedded image, or a copy of it (vexilora-flash holds one), is held to the digest the
  // build recorded; another image to the digest given with it, if any.
  const std::optional<std::span<const uint8_t>> embedded = FindResource(kFirmwareResourceName);
  const bool isEmbedded =
      !firmwareImage_ ||
      (embedded && std::equal(image->begin(), image->end(), embedded->begin(), embedded->end()));
  const std::optional<std::string> expected = firmwareDigest_ ? firmwareDigest_
                                              : isEmbedded    ? RecordedImageDigest()
                                                              : std::nullopt;
  if (expected || isEmbedded) {
    const std::string actual = Sha256Hex(*image);
    const std::optional<std::string> wanted =
        expected ? NormalizeSha256Hex(*expected) : std::nullopt;
    if (!wanted || *wanted != actual)
      return refuse(kImageDamaged, {},
                    "the firmware image is damaged: its SHA-256 is " + actual + ", expected " +
                        (expected ? *expected : std::string("(none recorded)")));
  }
  try {
    TempImage().Write(*image);
  } catch (const std::exception& e) {
    const int error = TempImage().LastError();
    return refuse(kTempImageFailed, {error != 0 ? std::strerror(error) : e.what()}, e.what());
  }
  return true;
}

void TForm1::CheckUpdateEnded() {
  if (!updateRunning_) return;
  bool open = false, transferring = false;
  try {
    open = ComPort1.Open();
    transferring = XModem1.InProgress();
  } catch (...) {
  }
  // A transfer still running keeps the update alive whatever the dialogue says: the device is
  // still taking the image, and the file is still being read.
  if (open && transferring) return;
  if (open && !transferFailed_ && DialogueState >= dsAwaitUpdateProbe) return;
  // Runs from destructors of handler guards: nothing may escape.
  try {
    EndUpdate();
  } catch (...) {
    updateRunning_ = false;
  }
}

void TForm1::EndUpdate() {
  updateRunning_ = false;
  transferFailed_ = false;
  TempImage().Remove();
  viewInterface_.UpdateEnded();
  // Arrivals and removals of other devices held back while the update ran.
  if (hotplugPending_) PostSearchAfresh();
}

bool TForm1::CancelTransfer() {
  if (!XModem1.InProgress()) return false;
  XModem1.CancelProtocol();
  return true;
}

// ---- where the trace goes -------------------------------------------------------------------

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return {};
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Whether a file can be made in dir: tried, as permissions alone do not tell (a read-only
// mount, a folder such as /proc).
bool CanCreateFileIn(const std::string& dir) {
  std::string pattern = dir + "/.vexilora-probe-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  unlink(name.data());
  return true;
}

bool MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A run folder's name: its start time, "YYYY-MM-DD_HH-MM-SS", with "-N" when several runs
// started within the same second.
bool IsRunFolderName(const std::string& name) {
  static constexpr char kForm[] = "dddd-dd-dd_dd-dd-dd";
  if (name.size() < sizeof kForm - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kForm; ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (kForm[i] == 'd' ? !digit : name[i] != kForm[i]) return false;
  }
  const std::string rest = name.substr(sizeof kForm - 1);
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest[0] != '-') return false;
  return std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Older runs' folders beyond the kept number go: their trace and log files, then the folder
// (a folder someone put other files into stays).
void PruneRunFolders(const std::string& base, const std::string& current) {
  std::vector<std::pair<timespec, std::string>> runs;
  const int baseFd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (baseFd < 0) return;
  if (DIR* dir = fdopendir(dup(baseFd))) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (!IsRunFolderName(name)) continue;
      struct stat st {};
      if (fstatat(baseFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        continue;
      runs.emplace_back(st.st_mtim, name);
    }
    closedir(dir);
  }
  // Oldest first, by the name (the start time) and, among equal names' kind, by age.
  std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
    if (a.second.substr(0, 19) != b.second.substr(0, 19)) return a.second < b.second;
    if (a.first.tv_sec != b.first.tv_sec) return a.first.tv_sec < b.first.tv_sec;
    return a.first.tv_nsec < b.first.tv_nsec;
  });
  size_t excess = runs.size() > kKeptTraceRuns ? runs.size() - kKeptTraceRuns : 0;
  for (size_t i = 0; i < runs.size() && excess > 0; ++i) {
    const std::string& name = runs[i].second;
    if (name == current) continue;
    const int runFd = openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (runFd >= 0) {
      unlinkat(runFd, "COMM.TRC", 0);
      unlinkat(runFd, "COMM.LOG", 0);
      close(runFd);
    }
    unlinkat(baseFd, name.c_str(), AT_REMOVEDIR);
    --excess;
  }
  close(baseFd);
}

}  // namespace

void TForm1::ChooseTraceFolder() {
  std::vector<char> buffer(4096);
  const std::string cwd = getcwd(buffer.data(), buffer.size()) ? buffer.data() : std::string();
  traceFolder_ = cwd.empty() ? "." : cwd;
  // Started from the desktop the program runs in the home folder (or wherever the session
  // put it): the trace must not pile up there, nor fail in a folder that takes no files.
  const std::string home = HomeFolder();
  if (!cwd.empty() && !SameFolder(cwd, home) && CanCreateFileIn(cwd)) return;

  std::string state;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
    state = xdg;
  } else if (!home.empty()) {
    state = home + "/.local/state";
  } else {
    return;
  }
  const std::string base = state + "/vexilora-update";
  if (!MakeFolders(base)) {
    std::fprintf(stderr, "%s: cannot make %s for the trace: %s\n", kApplicationTitle, base.c_str(),
                 std::strerror(errno));
    return;
  }
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
  std::string name;
  for (int n = 0; n < 1000; ++n) {
    name = n == 0 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
    if (mkdir((base + "/" + name).c_str(), 0700) == 0) break;
    if (errno != EEXIST) {
      std::fprintf(stderr, "%s: cannot make %s/%s for the trace: %s\n", kApplicationTitle,
                   base.c_str(), name.c_str(), std::strerror(errno));
      return;
    }
    name.clear();
  }
  if (name.empty()) return;
  PruneRunFolders(base, name);
  traceFolder_ = base + "/" + name;
  ComPort1.SetTraceName(traceFolder_ + "/COMM.TRC");
  ComPort1.SetLogName(traceFolder_ + "/COMM.LOG");
}

// ---- processor affinity ---------------------------------------------------------------------

bool PinToFirstProcessor() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  if (CPU_COUNT(&allowed) < 2) return false;
  // The first processor the process may run on (processor 0 may be outside its set).
  int first = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      first = cpu;
      break;
    }
  }
  if (first < 0) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  // Affinity belongs to each thread on this system: set it for every thread the process has
  // (threads started later inherit it from their creator).
  bool ok = sched_setaffinity(0, sizeof one, &one) == 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
      if (tid > 0 && sched_setaffinity(tid, sizeof one, &one) != 0) ok = false;
    }
    closedir(tasks);
  }
  return ok;
}

}  // namespace app
