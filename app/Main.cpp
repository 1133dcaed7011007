#include "app/Main.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "app/FileVersion.h"
#include "app/Versions.h"
#include "comm/Exceptions.h"

namespace app {

namespace {

// Messages of the main window's own hidden window.
constexpr uint32_t kShowPendingExceptions = 0x0401;
constexpr uint32_t kRunDeferred = 0x0402;
constexpr uint32_t kSearchAfresh = 0x0403;

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

  // The reply watchdog belongs to the open port: it goes when the port closes.
  ComPort1.AttachPortUser(this, [this](comm::TCustomComPort*, comm::TPortNotice kind) {
    if (kind != comm::NoticeOpen && platform::IsMainThread()) DisarmWatchdog();
  });

  window_ = platform::CreateHiddenWindow(
      "TForm1", [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        return WindowProc(msg, wParam, lParam);
      });
  comm::SetExceptionDisplay([this](const std::exception& e) { ShowExceptionMessage(e.what()); });
}

TForm1::~TForm1() {
  // Closing the window ends the program: a port still open is closed on the way, while the
  // components that use it are all still there.
  try {
    ComPort1.SetOpen(false);
  } catch (...) {
  }
  DisarmWatchdog();
  ComPort1.DetachPortUser(this);
  comm::SetExceptionDisplay(nullptr);
  platform::DestroyHiddenWindow(window_);
}

// ---- window events --------------------------------------------------------------------------

void TForm1::FormCreate() {
  PinToFirstProcessor();
  // Arrivals and removals reach DeviceChange through the view, which watches the platform's
  // device monitor from its event loop.
  SetCaption(std::string(kDesignCaption) + " v" + GetFileVersion(exePath_));
  if (FindResource(kFirmwareResourceName)) {
    SetUpVerText(GetUpdateVersion());
  } else {
    ModalMessageBox(QT_TRANSLATE_NOOP("TForm1", "Ошибка"),
                    QT_TRANSLATE_NOOP("TForm1",
                                      "В исполняемом файле утилиты для обновления Vexilora "
                                      "отсутствует программное обеспечение Vexilora!"),
                    TMessageIcon::Error);
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
  Changed();
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
      return 0;
    case kSearchAfresh:
      SearchAfresh();
      return 0;
    default:
      return 0;
  }
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
