#pragma once
// One device of vexilora-flash: its form (the dialogue, with its own port and dispatcher) and
// what the updater learned of it. The form's view: it turns the window's boxes and message
// boxes into the updater's lines, events and result.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Main.h"
#include "app/flash/Output.h"
#include "platform/Udev.h"

namespace flash {

using TClock = std::chrono::steady_clock;

// The identifier every Vexilora carries.
inline constexpr const char* kVexiloraId = "USB\\Vid_ffff&Pid_0005\\VEXILORA";

enum class TResult { None, Listed, Updated, Failed, Refused, Cancelled };
const char* ResultWord(TResult result);
// A version the version rules can compare: a number in its fourth field.
bool VersionComparable(const std::string& version);

class TFleet;

// One device: its form (the dialogue) and what the updater learned of it. The form's view.
class TDeviceJob : public app::TForm1View {
 public:
  enum class TPurpose { Query, Update };

  TDeviceJob(TFleet& fleet, platform::TUsbSerialPort port, TPurpose purpose);
  ~TDeviceJob() override;
  TDeviceJob(const TDeviceJob&) = delete;
  TDeviceJob& operator=(const TDeviceJob&) = delete;

  // Opens the port, which starts the query dialogue.
  void Start();
  // Ends the job as failed (or cancelled) and closes the port soon after.
  void Fail(const std::string& reason, TResult result = TResult::Failed);
  // Ctrl-C: a running transfer is cancelled (the device gets the cancel sequence).
  void Interrupt();
  // The device's tty went away.
  void Removed();
  // Fails the job when the device has been silent longer than the fleet's timeout.
  void CheckSilence(TClock::time_point now);

  bool Done() const { return result_ != TResult::None; }
  // The form (and its port) is still there.
  bool Holding() const { return form_ != nullptr; }
  TResult Result() const { return result_; }
  const platform::TUsbSerialPort& Port() const { return port_; }
  // The live line of a terminal.
  std::string StatusLine(TClock::time_point now) const;
  // What a query learned ("" when not known) and why the job failed.
  const std::string& Hardware() const { return hardware_; }
  const std::string& OldVersion() const { return oldVersion_; }
  // The version the device reported after the update ("" when it reported none).
  const std::string& NewVersion() const { return newVersion_; }
  bool PasswordSet() const { return passwordSet_; }
  const std::string& Error() const { return error_; }
  // Seconds from the start of the job to its end.
  double Seconds() const { return seconds_; }
  // The terminal has shown this finished device's last line for good.
  bool LineSettled() const { return lineSettled_; }
  void SettleLine() { lineSettled_ = true; }

  // ---- TForm1View
  void StateChanged() override;
  void MessageBox(const std::string& caption, const std::string& text,
                  app::TMessageIcon icon) override;
  void Pause(uint32_t ms) override;
  bool PauseThen(uint32_t ms, std::function<void()> resume) override;
  void OpenPasswordWindow() override;

 private:
  enum class TPhase { Opening, Querying, Updating, Transferring, Confirming, Done };

  void WireEvents();
  // Runs an event handler of the form; a failure escaping it fails this device.
  void Guard(const std::function<void()>& fn);
  void AfterStep(app::TDialogueState previousState);
  void QueryDone();
  void BeginUpdate();
  void Progress();
  void Finish(TResult result, const std::string& error);
  // The device's answer to the version query after its restart, as it sent it: the new version
  // (isMain) or its refusal.
  void NewVersionReply(bool isMain, const std::string& text);
  void RemoveTempFolder();
  // fn, to be run on the fleet's loop only while this job still exists.
  std::function<void()> WhileAlive(std::function<void()> fn) const;
  // Closes the port and lets the form go, once the event that ended the job has returned.
  void Release();
  void CloseWhenSent(TClock::time_point deadline, int quietRounds);
  void CloseNow();
  // "1-1.2 /dev/ttyACM0": how the lines name the device.
  std::string Name() const;
  TJsonObject Event(const char* kind) const;
  void Touch() { lastActivity_ = TClock::now(); }
  std::string SoftwareShown() const;

  TFleet& fleet_;
  platform::TUsbSerialPort port_;
  TPurpose purpose_;
  std::string tempFolder_;
  std::unique_ptr<app::TForm1> form_;
  TPhase phase_ = TPhase::Opening;
  TResult result_ = TResult::None;
  std::string error_;
  std::string hardware_;
  std::string oldVersion_;  // "" when unreadable
  std::string newVersion_;
  bool passwordSet_ = false;
  std::string warning_;
  TClock::time_point started_;
  TClock::time_point transferStarted_;
  TClock::time_point lastActivity_;
  double seconds_ = 0;
  int32_t bytes_ = 0;
  int32_t total_ = 0;
  int reportedStep_ = -1;
  bool lineSettled_ = false;
  // The fleet's hold on system sleep for this device's update (0: none).
  uint64_t sleepLock_ = 0;
  // Work the job leaves on the fleet's loop (deferred steps, timers) checks this first: a
  // station lets finished jobs go while such work may still be waiting.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace flash
