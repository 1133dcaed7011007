#include "app/Discovery.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "app/Main.h"
#include "comm/Exceptions.h"
#include "platform/PortTable.h"
#include "platform/Udev.h"

namespace discovery {

bool IsVexiloraNotification(const platform::TUdevEvent& event) {
  static const std::optional<platform::TUsbInstanceId> searched =
      platform::ParseUsbInstanceId(kDeviceInstanceId);
  if (event.Usb && searched && platform::MatchesInstanceId(*event.Usb, *searched)) return true;
  return event.InterfacePath.find(kNameTest) != std::string::npos;
}

std::string ComNameFromFriendlyName(const std::string& friendlyName) {
  size_t p = friendlyName.find("COM");
  if (p == std::string::npos) return friendlyName;
  // From "COM" on, less the last character of the name (the closing bracket).
  std::string name = friendlyName.substr(p);
  name.pop_back();
  return name;
}

std::string FriendlyNameInBuffer(const std::string& name) {
  std::string text = name.substr(0, name.find('\0'));
  return text.size() + 1 > kFriendlyNameBuffer ? std::string() : text;
}

TOpenFailure ClassifyOpenFailure(const std::exception& failure) {
  if (auto* io = dynamic_cast<const comm::EInOutError*>(&failure); io && io->ErrorCode() == 13)
    return TOpenFailure::PermissionDenied;
  if (dynamic_cast<const comm::EAlreadyOpen*>(&failure)) return TOpenFailure::InUse;
  return TOpenFailure::Other;
}

namespace {

bool TryParsePid(const std::string& text, int& pid) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value <= 0) return false;
  pid = value;
  return true;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string LinkTarget(const std::string& path) {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

TPortHolder HolderOf(int pid) {
  TPortHolder holder;
  holder.Pid = pid;
  const std::string proc = "/proc/" + std::to_string(pid);
  holder.Program = FirstLine(proc + "/comm");
  const std::string exe = LinkTarget(proc + "/exe");
  // The executable is known for the user's own processes; another user's copy is told by its
  // name.
  holder.ThisUtility = (!exe.empty() && exe == LinkTarget("/proc/self/exe")) ||
                       holder.Program == "vexilora-update" || holder.Program == "vexilora-flash";
  return holder;
}

// The process whose exclusive lock (flock, as this utility takes one) is on the node: any
// user's lock shows in /proc/locks, by the device and inode of the locked file.
std::optional<int> LockHolder(const struct stat& node) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:567 0 EOF"; a waiter's line has "->" after the
    // number.
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    if (!(fields >> number >> kind) || kind == "->" || kind != "FLOCK") continue;
    if (!(fields >> mode >> access >> pid >> file)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major != ::major(node.st_dev) || minor != ::minor(node.st_dev) || inode != node.st_ino)
      continue;
    int holder = 0;
    if (TryParsePid(pid, holder)) return holder;
  }
  return std::nullopt;
}

// One of the processes that have the device open, as far as they can be seen (the user's own,
// or all of them for root).
std::optional<int> OpenHolder(const struct stat& node) {
  DIR* processes = opendir("/proc");
  if (!processes) return std::nullopt;
  std::optional<int> found;
  while (const dirent* entry = readdir(processes)) {
    int pid = 0;
    if (!TryParsePid(entry->d_name, pid) || pid == getpid()) continue;
    const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
    DIR* open = opendir(fds.c_str());
    if (!open) continue;
    while (const dirent* fd = readdir(open)) {
      if (fd->d_name[0] == '.') continue;
      struct stat target;
      if (stat((fds + "/" + fd->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
          target.st_rdev == node.st_rdev) {
        found = pid;
        break;
      }
    }
    closedir(open);
    if (found) break;
  }
  closedir(processes);
  return found;
}

}  // namespace

std::optional<TPortHolder> FindPortHolder(const std::string& devicePath) {
  struct stat node;
  if (stat(devicePath.c_str(), &node) != 0) return std::nullopt;
  if (std::optional<int> pid = LockHolder(node)) return HolderOf(*pid);
  if (!S_ISCHR(node.st_mode)) return std::nullopt;
  if (std::optional<int> pid = OpenHolder(node)) return HolderOf(*pid);
  return std::nullopt;
}

std::string OpenFailureAdvice(const std::string& devicePath, const std::exception& failure) {
  if (auto* io = dynamic_cast<const comm::EInOutError*>(&failure); io && io->ErrorCode() == 13) {
    return std::string(program_invocation_short_name) + ": cannot open " + devicePath +
           ": permission denied; install the udev rule shipped with this program "
           "(/usr/lib/udev/rules.d/70-vexilora.rules) and plug the device in again, or add "
           "your user to the 'dialout' group and log in again";
  }
  if (dynamic_cast<const comm::EAlreadyOpen*>(&failure)) {
    return std::string(program_invocation_short_name) + ": cannot open " + devicePath +
           ": the port is in use by another program (a modem manager probing new serial "
           "devices, a terminal program); close that program and plug the device in again";
  }
  return {};
}

}  // namespace discovery

namespace app {

namespace {

constexpr const char* kPermissionDenied = QT_TRANSLATE_NOOP(
    "TForm1",
    "Нет прав на доступ к Vexilora. Установите правило udev программы или добавьте пользователя "
    "в группу dialout и войдите заново, затем подключите Vexilora снова.");
constexpr const char* kInUse = QT_TRANSLATE_NOOP(
    "TForm1",
    "Vexilora занята другой программой (например, программой для модемов или терминалом). "
    "Закройте её, затем отключите Vexilora от компьютера и подключите снова.");
constexpr const char* kInUseBy = QT_TRANSLATE_NOOP(
    "TForm1",
    "Vexilora занята другой программой (%1, PID %2). Закройте её, затем отключите Vexilora от "
    "компьютера и подключите снова.");
constexpr const char* kInUseByCopy = QT_TRANSLATE_NOOP(
    "TForm1",
    "Vexilora уже используется другой копией программы обновления (%1, PID %2). Закройте её, "
    "затем отключите Vexilora от компьютера и подключите снова.");

}  // namespace

std::string TForm1::GetFriendlyName(const platform::TUsbSerialPort& Device) {
  return discovery::FriendlyNameInBuffer(Device.FriendlyName);
}

void TForm1::FindDevice() {
  // A search afresh: what was held back during an update is covered by it.
  hotplugPending_ = false;
  hotplugArrival_ = false;
  std::optional<std::vector<platform::TUsbSerialPort>> members =
      platform::EnumerateUsbSerialPorts(discovery::kDeviceInstanceId);
  // udev cannot be asked: the window stays as it is.
  if (!members) return;
  // Each member overwrites the port name: with several devices the last one wins.
  for (const platform::TUsbSerialPort& member : *members) {
    DevicePresent = true;
    ComName = discovery::ComNameFromFriendlyName(GetFriendlyName(member));
  }
  if (DevicePresent) {
    // Found now, or announced by an arrival that the enumeration may not list yet. On the
    // number the port is already open on, only the dialogue starts over (nothing is sent);
    // on another number the port closes and opens there.
    try {
      const uint16_t number = PortNumberOfComName(ComName);
      // Open on that device already: nothing is sent, so the dialogue it runs goes on. Put
      // back to its start it would take the reply to its current question for the probe's,
      // ask the wrong next question, and end in the no-reply text for a healthy device.
      const bool keepsDialogue = ComPort1.Open() && ComPort1.ComNumber() == number;
      ComPort1.SetComNumber(number);
      if (!keepsDialogue) DialogueState = dsAwaitProbe;
      ComPort1.SetOpen(true);
    } catch (const std::exception& failure) {
      // A failure the user can mend is named in the window and on standard error; any other
      // leaves the window as it was.
      ShowOpenFailure(failure, false);
    } catch (...) {
    }
    return;
  }
  ShowNotConnected();
}

bool TForm1::ShowOpenFailure(const std::exception& failure, bool forUpdate) {
  const std::string device = platform::PortPath(ComPort1.ComNumber());
  std::string advice = discovery::OpenFailureAdvice(device, failure);
  if (!advice.empty()) std::fprintf(stderr, "%s\n", advice.c_str());
  switch (discovery::ClassifyOpenFailure(failure)) {
    case discovery::TOpenFailure::PermissionDenied:
      SetStatusText(kPermissionDenied);
      ShowIcon(iiError);
      break;
    case discovery::TOpenFailure::InUse: {
      const std::optional<discovery::TPortHolder> holder = discovery::FindPortHolder(device);
      if (!holder) {
        SetStatusText(kInUse);
      } else {
        SetStatusText(holder->ThisUtility ? kInUseByCopy : kInUseBy,
                      {holder->Program, std::to_string(holder->Pid)});
      }
      ShowIcon(iiWarning);
      break;
    }
    case discovery::TOpenFailure::Other:
      return false;
  }
  // The device could not be asked: nothing is known of it. An update can be tried again once
  // the cause has gone; a device never queried cannot be judged.
  SetHWVerText(kAbsent);
  SetSWVerText(kAbsent);
  SetProgressPosition(0);
  SetButtonEnabled(forUpdate);
  return true;
}

bool TForm1::PortKeepsItsDevice() const {
  if (!ComPort1.Open() || ComPort1.ComNumber() == 0) return false;
  const std::optional<std::vector<platform::TUsbSerialPort>> members =
      platform::EnumerateUsbSerialPorts(discovery::kDeviceInstanceId);
  if (!members || members->empty()) return false;
  // The search's rule: the last member found is the one the port goes to.
  const std::string comName = discovery::ComNameFromFriendlyName(GetFriendlyName(members->back()));
  try {
    return PortNumberOfComName(comName) == ComPort1.ComNumber();
  } catch (const std::exception&) {
    return false;
  }
}

bool TForm1::IsPortDevice(const platform::TUdevEvent& Event) const {
  return !Event.DevicePath.empty() && ComPort1.ComNumber() != 0 &&
         platform::PortPath(ComPort1.ComNumber()) == Event.DevicePath;
}

void TForm1::SearchAfresh() {
  // An update begun meanwhile holds them back again; it posts this anew when it ends.
  if (!hotplugPending_ || UpdateRunning()) return;
  if (DeferWhileModal([this] { SearchAfresh(); })) return;
  const bool arrival = hotplugArrival_;
  hotplugPending_ = false;
  hotplugArrival_ = false;
  if (arrival) DevicePresent = true;
  FindDevice();
}

void TForm1::DeviceChange(const platform::TUdevEvent& Event) {
  if (!discovery::IsVexiloraNotification(Event)) return;
  const TUpdateEndCheck endCheck(*this);
  const bool arrival = Event.Action == platform::TUdevAction::Arrival;
  // An update must not lose its port to another device: while it runs, only the removal of
  // the device being updated ends it. The others are looked at once it has ended.
  if (UpdateRunning() && (arrival || !IsPortDevice(Event))) {
    hotplugPending_ = true;
    if (arrival) hotplugArrival_ = true;
    return;
  }
  if (!arrival && IsPortDevice(Event)) portDeviceRemoved_ = true;
  auto react = [this, arrival, Event] {
    // Another Vexilora went while the port's own device stays the one the search picks: the
    // port keeps its device and its dialogue. Closing and opening again would only ask the
    // device afresh while the reply to the first question may still be on its way, and that
    // late reply would then be taken for the answer to the next one.
    if (!arrival && !IsPortDevice(Event) && PortKeepsItsDevice()) return;
    // Pulled out in the middle of its update, or after one that failed: the window says the
    // update did not complete, not merely that no device is there.
    const bool interrupted =
        !arrival && (UpdateRunning() || (updateOutcome_ != uoNone && updateOutcome_ != uoUpdated));
    if (arrival) {
      DevicePresent = true;
    } else {
      try {
        ComPort1.SetOpen(false);
      } catch (...) {
      }
      DevicePresent = false;
    }
    FindDevice();
    // No other device in its place (the port's close may finish later, once a delivery under
    // way has ended).
    if (interrupted && !DevicePresent) FailUpdate(uoUnplugged);
  };
  // A message box or pause of a dialogue step is open: the step still uses the port, so the
  // change is handled once the step has returned.
  if (DeferWhileModal(react)) return;
  react();
}

void TForm1::ShowNotConnected() {
  SetStatusText(QT_TRANSLATE_NOOP("TForm1", "Пожалуйста, подключите Vexilora к компьютеру!"));
  ShowIcon(iiInformation);
  SetProgressPosition(0);
  SetButtonEnabled(false);
  SetHWVerText(kAbsent);
  SetSWVerText(kAbsent);
  DialogueState = dsAwaitProbe;
  if (ComPort1.Open()) {
    try {
      ComPort1.ClearInput();
      ComPort1.ClearOutput();
    } catch (...) {
    }
    // Closed even when clearing failed (a device that hung up has no buffers left): a port
    // left open would hold the vanished device's node and keep its number busy.
    try {
      ComPort1.SetOpen(false);
    } catch (...) {
    }
  }
}

}  // namespace app
