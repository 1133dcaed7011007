#include "app/flash/DeviceJob.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "app/FileVersion.h"
#include "app/Versions.h"
#include "app/flash/Fleet.h"
#include "comm/ErrorText.h"
#include "comm/Exceptions.h"

namespace flash {

using namespace std::chrono_literals;

const char* ResultWord(TResult result) {
  switch (result) {
    case TResult::None:
      return "running";
    case TResult::Listed:
      return "listed";
    case TResult::Updated:
      return "updated";
    case TResult::Failed:
      return "failed";
    case TResult::Refused:
      return "refused";
    case TResult::Cancelled:
      return "cancelled";
  }
  return "";
}

bool VersionComparable(const std::string& version) {
  int number = 0;
  return app::TryStrToInt(app::GetField(version, ".", 4), number);
}

namespace {

// A device silent this long to the probe is sent the cancel sequence and the probe again (the
// window's reply limit).
constexpr TClock::duration kProbeRepeatAfter = 5s;

double SecondsBetween(TClock::time_point from, TClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string Duration(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

// The command whose reply ended a dialogue silently, by the state the dialogue was in.
std::string SilentEndReason(app::TDialogueState state, bool passwordRequired) {
  switch (state) {
    case app::dsAwaitSoftwareVersion:
      return "the device answered ERROR to the software version query";
    case app::dsAwaitBootloader:
    case app::dsAwaitBootThenUnlock:
      return "the device answered ERROR when told to start its bootloader";
    case app::dsAwaitHardwareVersion:
      return "the device answered ERROR to the hardware version query";
    case app::dsAwaitUnlocked:
      return passwordRequired ? "the device refused the password"
                              : "the device answered ERROR when told to start its bootloader";
    case app::dsAwaitProgramReady:
      return "the device answered ERROR when told to prepare for programming";
    case app::dsAwaitHandshake:
      return "the device answered ERROR instead of starting the transfer";
    case app::dsAwaitVerdict:
      return "the device rejected the image (ERROR after the transfer)";
    case app::dsAwaitRunning:
      return "the device answered ERROR when told to run the new firmware";
    case app::dsAwaitNewVersion:
      return "the device answered ERROR to the software version query after the update";
    default:
      return "the device answered ERROR (dialogue state " + std::to_string(state) + ")";
  }
}

}  // namespace

// ---- one device -----------------------------------------------------------------------------

TDeviceJob::TDeviceJob(TFleet& fleet, platform::TUsbSerialPort port, TPurpose purpose)
    : fleet_(fleet), port_(std::move(port)), purpose_(purpose) {
  started_ = lastActivity_ = TClock::now();
}

TDeviceJob::~TDeviceJob() {
  form_.reset();
  RemoveTempFolder();
  if (sleepLock_ != 0) fleet_.AllowSleep(sleepLock_);
}

std::function<void()> TDeviceJob::WhileAlive(std::function<void()> fn) const {
  return [alive = std::weak_ptr<const bool>(alive_), fn = std::move(fn)] {
    if (!alive.expired()) fn();
  };
}

void TDeviceJob::RemoveTempFolder() {
  if (tempFolder_.empty()) return;
  unlink((tempFolder_ + "/" + app::kTempImageName).c_str());
  rmdir(tempFolder_.c_str());
  tempFolder_.clear();
}

std::string TDeviceJob::Name() const {
  return (port_.UsbLocation.empty() ? std::string("?") : port_.UsbLocation) + " " +
         port_.DevicePath;
}

TJsonObject TDeviceJob::Event(const char* kind) const {
  TJsonObject json;
  json.Add("event", kind).Add("device", port_.DevicePath).Add("location", port_.UsbLocation);
  return json;
}

void TDeviceJob::Start() {
  fleet_.Emit(Name() + ": found (COM" + std::to_string(port_.PortNumber) + ")",
              Event("found").Add("port", "COM" + std::to_string(port_.PortNumber)));
  try {
    tempFolder_ = fleet_.MakeTempFolder();
    // The path the program was started from: its version is the one it was started with, even
    // when a package upgrade has replaced the file since.
    form_ = std::make_unique<app::TForm1>(*this, app::OwnExePath(), tempFolder_);
  } catch (const std::exception& e) {
    Fail(e.what());
    return;
  }
  fleet_.InstallExceptionDisplay();
  // The window's trace and dispatch log would be written by every port into the same two
  // files of the working folder, each overwriting the last: the updater keeps its own record.
  form_->ComPort1.SetTracing(comm::tlOff);
  form_->ComPort1.SetLogging(comm::tlOff);
  // Progress every fifth tick (about a quarter of a second) instead of every tick: still at
  // least once every tenth of the image at the line's rate (three blocks), and a fifth of the
  // status events, which cost every device in flight wake-ups of its dispatch thread and of the
  // main thread.
  form_->XModem1.SetStatusInterval(5);
  if (const auto image = fleet_.Image())
    form_->SetFirmwareImage(*image, fleet_.ImageDigest().empty()
                                        ? std::nullopt
                                        : std::optional<std::string>(fleet_.ImageDigest()));
  form_->SetUpVerText(fleet_.ImageVersion());
  WireEvents();

  // As the device search does for the device it found: the port's number, a fresh dialogue.
  phase_ = TPhase::Querying;
  form_->ComName = "COM" + std::to_string(port_.PortNumber);
  form_->DevicePresent = true;
  try {
    form_->ComPort1.SetComNumber(static_cast<uint16_t>(port_.PortNumber));
    form_->DialogueState = app::dsAwaitProbe;
    form_->ComPort1.SetOpen(true);
  } catch (const std::exception& e) {
    Fail(std::string("cannot open the port: ") + e.what());
    return;
  }
  if (!Done() && !form_->ComPort1.Open()) Fail("cannot open the port");
}

void TDeviceJob::WireEvents() {
  app::TForm1& f = *form_;
  f.ComPort1.OnPortOpen = [this](comm::TCustomComPort* CP) {
    Touch();
    Guard([&] { form_->ComPort1PortOpen(CP); });
    // The handler arms the packet for good (AutoEnable) only when the dialogue's first command
    // went out; no step can disarm it before this event returns, as steps run on this thread.
    if (!Done() && !form_->DataPacket1.AutoEnable())
      Fail("cannot write to the device: " + form_->View().uiLabel1);
  };
  f.DataPacket1.OnStringPacket = [this](comm::TDataPacket* Sender, const std::string& Data) {
    if (Done()) return;
    const app::TDialogueState previous = form_->DialogueState;
    // The software version as the device reported it, before the presentation may replace
    // an unreadable one by the bootloader's name.
    if (previous == app::dsAwaitPasswordState && phase_ == TPhase::Querying) {
      const std::string& shown = form_->View().uiTESWVer;
      oldVersion_ = shown == app::kAbsent ? std::string() : shown;
    }
    // After the restart only what the device says now counts, whatever the window's boxes
    // still show from before: the line is judged here as the dialogue judges it (the other
    // marker first), with the markers it was read with.
    std::optional<bool> newVersionIsMain;
    std::string newVersionText;
    if (previous == app::dsAwaitNewVersion) {
      newVersionText = Data.size() >= 3 ? Data.substr(1, Data.size() - 2) : std::string();
      const std::string& main = form_->MainMarker;
      const std::string& alt = form_->AltMarker;
      if (!alt.empty() && newVersionText.find(alt) != std::string::npos) {
        newVersionIsMain = false;
      } else if (!main.empty() && newVersionText.find(main) != std::string::npos) {
        newVersionIsMain = true;
        newVersionText = newVersionText.substr(newVersionText.find(main) + main.size());
      }
    }
    Guard([&] { form_->DataPacket1StringPacket(Sender, Data); });
    if (Done()) return;
    if (newVersionIsMain.has_value()) {
      Touch();
      NewVersionReply(*newVersionIsMain, newVersionText);
      return;
    }
    // Only a step of the dialogue counts as the device answering: a device that chatters
    // lines the dialogue passes over still runs into the silence limit.
    if (form_->DialogueState != previous) Touch();
    AfterStep(previous);
  };
  f.DataPacket1.OnTimeout = [this](comm::TDataPacket* Sender) {
    if (Done()) return;
    const bool repeated = form_->ProbeRepeated();
    Guard([&] { form_->DataPacket1Timeout(Sender); });
    if (Done()) return;
    // Bytes that were no reply to the probe (a receiver's handshakes): the dialogue sent the
    // probe again behind the cancel sequence.
    if (!repeated && form_->ProbeRepeated()) {
      Touch();
      return;
    }
    Fail("no reply from the device: a reply line was begun and never ended");
  };
  f.XModem1.OnProtocolStatus = [this](comm::TCustomProtocol* CP, uint16_t Options) {
    if (Done()) return;
    Guard([&] { form_->Xmodem1ProtocolStatus(CP, Options); });
    if (!Done()) Progress();
  };
  f.XModem1.OnProtocolFinish = [this](comm::TCustomProtocol* CP, int32_t ErrorCode) {
    if (Done()) return;
    Touch();
    Guard([&] { form_->Xmodem1ProtocolFinish(CP, ErrorCode); });
    if (Done()) return;
    if (ErrorCode != 0) {
      // The window waits for the device's verdict; nobody stands at a bench to press the
      // button again, so a transfer the protocol gave up fails the device at once.
      Fail("the transfer failed: " + comm::ErrorText(ErrorCode));
      return;
    }
    bytes_ = total_;
    Progress();
    phase_ = TPhase::Confirming;
    fleet_.JobChanged();
  };
}

void TDeviceJob::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    Fail(e.what());
  } catch (...) {
    Fail("unknown failure");
  }
}

void TDeviceJob::AfterStep(app::TDialogueState previous) {
  app::TForm1& f = *form_;
  if (previous == app::dsAwaitHandshake && f.DialogueState == app::dsAwaitVerdict) {
    phase_ = TPhase::Transferring;
    // From here the device has no application until the new one is in: the machine must not
    // fall asleep under it.
    if (sleepLock_ == 0)
      sleepLock_ = fleet_.HoldOffSleep("Updating the firmware of the Vexilora at " + Name());
    transferStarted_ = TClock::now();
    total_ = f.XModem1.FileLength();
    bytes_ = 0;
    fleet_.Emit(Name() + ": sending " + std::to_string(total_) + " bytes (version " +
                    fleet_.ImageVersion() + ")",
                Event("transfer").Add("total", total_).Add("version", fleet_.ImageVersion()));
    fleet_.JobChanged();
    return;
  }
  if (f.DialogueState != app::dsAwaitProbe || f.DataPacket1.Enabled()) return;
  // The dialogue has ended.
  if (previous == app::dsAwaitPasswordState && phase_ == TPhase::Querying) {
    QueryDone();
  } else {
    Fail(SilentEndReason(previous, f.PasswordRequired));
  }
}

std::string TDeviceJob::SoftwareShown() const {
  const std::string& shown = form_->View().uiTESWVer;
  return shown == app::kAbsent || shown == app::kBootloader ? std::string() : shown;
}

void TDeviceJob::QueryDone() {
  app::TForm1& f = *form_;
  hardware_ = f.View().uiTEHWVer == app::kAbsent ? std::string() : f.View().uiTEHWVer;
  passwordSet_ = f.PasswordRequired;
  // A device in its bootloader tells no software version; one that tells a version of another
  // form is shown as it said it.
  const bool reported = !oldVersion_.empty();
  TJsonObject json = Event("versions").Add("hardware", hardware_);
  if (reported)
    json.Add("software", oldVersion_);
  else
    json.AddNull("software");
  json.Add("password", passwordSet_).Add("update", fleet_.ImageVersion());
  fleet_.Emit(Name() + ": hardware " + hardware_ + ", software " +
                  (reported ? oldVersion_ : std::string("unreadable")) + ", password " +
                  (passwordSet_ ? "set" : "none"),
              json);
  fleet_.JobChanged();
  if (purpose_ == TPurpose::Query) {
    Finish(TResult::Listed, "");
    return;
  }
  if (f.View().uiImage1 == app::iiError) {
    Fail("the device did not report its hardware version");
    return;
  }
  // The hardware rule with the version this program was started with, whatever the window's
  // presentation read: nothing on disk decides it.
  const std::string& fileVersion = app::OwnFileVersion();
  if (f.View().uiImage1 == app::iiNotAllowed || fileVersion.empty() ||
      !app::IsHardwareCompatible(hardware_, fileVersion)) {
    Finish(TResult::Refused,
           "hardware version " + hardware_ + " is not supported: this updater takes hardware " +
               app::GetField(fileVersion, ".", 1) + "." + app::GetField(fileVersion, ".", 2));
    return;
  }
  const std::string& image = fleet_.ImageVersion();
  const bool imageComparable = VersionComparable(image);
  const bool deviceComparable = VersionComparable(oldVersion_);
  if (!imageComparable) {
    // The program refuses such an image at its start unless the operator allowed it.
    warning_ = "the image's version " + image + " cannot be compared with the installed " +
               (reported ? oldVersion_ : std::string("software")) +
               "; installing it as --allow-downgrade says";
  } else if (!deviceComparable) {
    warning_ = reported ? "the installed software's version " + oldVersion_ +
                              " cannot be compared; updating anyway"
                        : "the software version could not be read; updating anyway";
  } else if (app::CompareSoftwareVersions(oldVersion_, image) == 1) {
    if (!fleet_.Options().AllowDowngrade) {
      Finish(TResult::Refused, "the image (" + image + ") is older than the installed software (" +
                                   oldVersion_ + "); --allow-downgrade installs it");
      return;
    }
    warning_ = "installing an older version (" + image + " over " + oldVersion_ + ")";
  }
  if (!warning_.empty())
    fleet_.Emit(Name() + ": warning: " + warning_, Event("warning").Add("message", warning_));
  BeginUpdate();
}

void TDeviceJob::BeginUpdate() {
  phase_ = TPhase::Updating;
  fleet_.JobChanged();
  // The button press of the window, once the query's last event has returned: the update
  // closes and reopens the port.
  fleet_.Defer(WhileAlive([this] {
    if (Done()) return;
    Touch();
    Guard([&] { form_->uiButton1Click(); });
    if (!Done() && !form_->ComPort1.Open()) Fail("cannot reopen the port for the update");
  }));
}

void TDeviceJob::OpenPasswordWindow() {
  const std::optional<std::string>& password = fleet_.Options().Password;
  if (!password) {
    Fail("the device is protected by a password: give --password or --password-file");
    return;
  }
  // What the password window does when its OK button is pressed.
  form_->SetPassword(*password);
  form_->StartUpdate();
}

void TDeviceJob::NewVersionReply(bool isMain, const std::string& text) {
  if (!isMain) {
    Fail(
        "the device did not report its version after restarting: it answered ERROR to the "
        "software version query");
    return;
  }
  newVersion_ = text;
  if (newVersion_ != fleet_.ImageVersion()) {
    Fail("after the update the device reports software " +
         (newVersion_.empty() ? std::string("without a version") : newVersion_) +
         ", not the image's " + fleet_.ImageVersion());
    return;
  }
  Finish(TResult::Updated, "");
}

void TDeviceJob::Progress() {
  if (phase_ != TPhase::Transferring) return;
  const int32_t bytes = std::clamp(form_->XModem1.BytesTransferred(), 0, std::max(total_, 0));
  // Blocks the device takes count as its answer; status reports alone do not.
  if (bytes > bytes_) Touch();
  bytes_ = bytes;
  fleet_.JobChanged();
  if (total_ <= 0) return;
  const int percent = static_cast<int>(int64_t{bytes_} * 100 / total_);
  // Plain lines at every quarter, JSON at every tenth: enough to see it move in a log.
  const int step = fleet_.Options().Json ? percent / 10 : percent / 25;
  if (step == reportedStep_) return;
  reportedStep_ = step;
  const double elapsed = SecondsBetween(transferStarted_, TClock::now());
  const double rate = elapsed > 0 ? bytes_ / elapsed : 0;
  const double left = rate > 0 ? (total_ - bytes_) / rate : 0;
  fleet_.Emit(Name() + ": " + std::to_string(percent) + "% (" + std::to_string(bytes_) + "/" +
                  std::to_string(total_) + " bytes, " + Fixed(rate / 1000, 1) + " kB/s, " +
                  Duration(left) + " left)",
              Event("progress")
                  .Add("bytes", bytes_)
                  .Add("total", total_)
                  .Add("percent", percent)
                  .Add("rate", rate, 0)
                  .Add("eta", left, 1));
}

std::string TDeviceJob::StatusLine(TClock::time_point now) const {
  std::string text = Name() + "  ";
  switch (phase_) {
    case TPhase::Opening:
      text += "opening";
      break;
    case TPhase::Querying:
      text += "querying";
      break;
    case TPhase::Updating:
      text += "preparing the update";
      break;
    case TPhase::Transferring: {
      const double elapsed = SecondsBetween(transferStarted_, now);
      const double rate = elapsed > 0 ? bytes_ / elapsed : 0;
      const double left = rate > 0 ? (total_ - bytes_) / rate : 0;
      const int percent = total_ > 0 ? static_cast<int>(int64_t{bytes_} * 100 / total_) : 0;
      text += std::to_string(bytes_) + "/" + std::to_string(total_) + " B  " +
              std::to_string(percent) + "%  " + Fixed(rate / 1000, 1) + " kB/s  " + Duration(left) +
              " left";
      break;
    }
    case TPhase::Confirming:
      text += "sent; waiting for the device to confirm and restart";
      break;
    case TPhase::Done:
      text += ResultWord(result_);
      if (result_ == TResult::Updated)
        text += " " + (oldVersion_.empty() ? std::string("?") : oldVersion_) + " -> " +
                newVersion_ + " in " + Fixed(seconds_, 1) + " s";
      if (!error_.empty()) text += ": " + error_;
      break;
  }
  if (!warning_.empty() && phase_ != TPhase::Done) text += "  (warning: " + warning_ + ")";
  return text;
}

void TDeviceJob::Fail(const std::string& reason, TResult result) {
  if (Done()) return;
  Finish(result, reason);
}

void TDeviceJob::Finish(TResult result, const std::string& error) {
  if (Done()) return;
  result_ = result;
  error_ = error;
  phase_ = TPhase::Done;
  if (sleepLock_ != 0) {
    fleet_.AllowSleep(sleepLock_);
    sleepLock_ = 0;
  }
  seconds_ = SecondsBetween(started_, TClock::now());
  if (result != TResult::Listed) {
    TJsonObject json = Event("result").Add("result", ResultWord(result));
    json.Add("old_version", oldVersion_).Add("new_version", newVersion_);
    json.Add("seconds", seconds_, 1).Add("error", error_);
    std::string plain = Name() + ": " + ResultWord(result);
    if (result == TResult::Updated)
      plain += " " + (oldVersion_.empty() ? std::string("?") : oldVersion_) + " -> " + newVersion_ +
               " in " + Fixed(seconds_, 1) + " s";
    if (!error_.empty()) plain += ": " + error_;
    fleet_.Emit(plain, json);
  }
  const std::string csv = IsoTimeUtc(std::chrono::system_clock::now()) + "," +
                          CsvField(port_.UsbLocation) + "," + CsvField(oldVersion_) + "," +
                          CsvField(newVersion_) + "," + Fixed(seconds_, 1) + "," +
                          ResultWord(result) + "," + CsvField(error_) + "\n";
  fleet_.JobFinished(*this, csv);
  fleet_.JobChanged();
  Release();
}

void TDeviceJob::Release() {
  fleet_.Defer(WhileAlive([this] {
    if (!form_) return;
    bool cancelled = false;
    try {
      // A transfer still running is cancelled first: the device hears the cancel sequence.
      if (form_->XModem1.InProgress()) {
        form_->XModem1.CancelProtocol();
        cancelled = true;
      }
    } catch (...) {
    }
    if (!cancelled) {
      CloseNow();
      return;
    }
    // Closing clears what is still waiting to be written: the port closes once the cancel
    // sequence is out (or the line stays stuck for half a second), without holding up the
    // other devices meanwhile.
    CloseWhenSent(TClock::now() + 500ms, 0);
  }));
}

void TDeviceJob::CloseWhenSent(TClock::time_point deadline, int quietRounds) {
  if (!form_) return;
  int32_t waiting = 0;
  try {
    waiting = form_->ComPort1.Open() ? form_->ComPort1.OutputUsed() : 0;
  } catch (...) {
  }
  // One more round once the ring is empty: the write thread may still hold the last bytes.
  if ((waiting <= 0 && quietRounds >= 1) || TClock::now() >= deadline) {
    CloseNow();
    return;
  }
  fleet_.AddTimer(10, WhileAlive([this, deadline, quietRounds, waiting] {
                    CloseWhenSent(deadline, waiting <= 0 ? quietRounds + 1 : 0);
                  }));
}

void TDeviceJob::CloseNow() {
  if (!form_) return;
  try {
    form_->ComPort1.SetOpen(false);
  } catch (...) {
  }
  form_.reset();
  fleet_.InstallExceptionDisplay();
  // The port is closed and the transfer over: the image's private folder goes with them.
  RemoveTempFolder();
}

void TDeviceJob::Interrupt() {
  // Releasing the port cancels a running transfer and lets the cancel sequence out first.
  Finish(TResult::Cancelled, "interrupted");
}

void TDeviceJob::Removed() { Fail("the device was pulled out"); }

void TDeviceJob::CheckSilence(TClock::time_point now) {
  if (Done()) return;
  const auto limit = std::chrono::seconds(fleet_.Options().TimeoutSeconds);
  // A device silent to the probe may be a receiver waiting for blocks that never come (its
  // last update broken off): well before the limit it is sent the cancel sequence and the
  // probe again.
  if (form_ && !form_->ProbeRepeated() &&
      now - lastActivity_ > std::min<TClock::duration>(kProbeRepeatAfter, limit / 2)) {
    bool repeated = false;
    Guard([&] { repeated = form_->RepeatProbe(); });
    if (Done()) return;
    if (repeated) {
      Touch();
      return;
    }
  }
  if (now - lastActivity_ <= limit) return;
  const std::string silence =
      "no reply from the device for " + std::to_string(fleet_.Options().TimeoutSeconds) + " s";
  if (form_ && form_->DialogueState == app::dsAwaitNewVersion)
    Fail("the device did not report its version after restarting (" + silence + ")");
  else
    Fail(silence);
}

// ---- TForm1View ---------------------------------------------------------------------------

void TDeviceJob::StateChanged() { fleet_.JobChanged(); }

void TDeviceJob::MessageBox(const std::string&, const std::string& text, app::TMessageIcon icon) {
  // The success box of the update needs no one to close it here; the dialogue goes on at
  // once. An error box is the form's exception display: it fails this device.
  if (icon == app::TMessageIcon::Error) Fail(text);
}

void TDeviceJob::Pause(uint32_t ms) {
  // Not reached: PauseThen takes every pause. Kept correct for a step that would call it.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool TDeviceJob::PauseThen(uint32_t ms, std::function<void()> resume) {
  fleet_.AddTimer(ms, WhileAlive([this, resume = std::move(resume)] {
                    if (Done() || !form_) return;
                    Touch();
                    Guard(resume);
                  }));
  return true;
}

}  // namespace flash
