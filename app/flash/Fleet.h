#pragma once
// vexilora-flash's engine: one TForm1 per device, each with its own port, dispatcher and
// dialogue, all served by one main thread that never waits on any one device. Its loop polls
// the main-thread queue's wake-up, the udev monitor and the interrupt signals.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/flash/Options.h"
#include "app/flash/Output.h"
#include "platform/Udev.h"

namespace flash {

using TClock = std::chrono::steady_clock;

// The identifier every Vexilora carries.
inline constexpr const char* kVexiloraId = "USB\\Vid_ffff&Pid_0005\\VEXILORA";

enum class TResult { None, Listed, Updated, Failed, Refused, Cancelled };
const char* ResultWord(TResult result);

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
  bool PasswordSet() const { return passwordSet_; }
  const std::string& Error() const { return error_; }

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
  void AfterStep(int32_t previousState);
  void QueryDone();
  void UpdateDone();
  void BeginUpdate();
  void Progress();
  void Finish(TResult result, const std::string& error);
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
};

class TFleet {
 public:
  TFleet(const TOptions& options, std::FILE* out);
  ~TFleet();
  TFleet(const TFleet&) = delete;
  TFleet& operator=(const TFleet&) = delete;

  // Opens --log FILE for appending (with a header line when it is new); false and the reason
  // when it cannot be written.
  bool OpenLog(std::string& error);

  // Sets the image the updates send and its version. Without one the embedded image goes.
  void SetImage(std::vector<uint8_t> image, std::string version);
  std::optional<std::span<const uint8_t>> Image() const;
  const std::string& ImageVersion() const { return imageVersion_; }
  const TOptions& Options() const { return options_; }

  // list [--query]; returns the exit code.
  int List(const std::vector<platform::TUsbSerialPort>& ports);
  // update over the given devices, or station mode (ports empty and --wait).
  int Update(const std::vector<platform::TUsbSerialPort>& ports);

  // ---- for the jobs
  // Runs fn on the main loop once the current event has returned.
  void Defer(std::function<void()> fn);
  // Runs fn on the main loop ms milliseconds from now.
  void AddTimer(uint32_t ms, std::function<void()> fn);
  void Emit(const std::string& plain, const TJsonObject& json);
  void JobChanged() { redraw_ = true; }
  void JobFinished(TDeviceJob& job, const std::string& csvLine);
  // A new private folder for one device's temporary image.
  std::string MakeTempFolder();
  void InstallExceptionDisplay();

 private:
  // Serves everything until done() holds or an interrupt ends the run (then false).
  bool Loop(const std::function<bool()>& done);
  void RunDue();
  void Interrupt();
  // Serves the loop until every finished device's port has closed (2 s at most).
  void Settle();
  void ReadMonitor();
  void Arrival(const platform::TUdevEvent& event);
  void Redraw(bool final);
  int ExitCode() const;
  void Summary();

  TOptions options_;
  std::FILE* out_;
  bool live_ = false;   // a terminal: live lines instead of plain ones
  bool quiet_ = false;  // list --query: no event lines, one line per device at the end
  std::vector<uint8_t> image_;
  bool haveImage_ = false;
  std::string imageVersion_;
  int logFd_ = -1;
  int wakeFd_ = -1;
  int signalFd_ = -1;
  std::unique_ptr<platform::TUdevMonitor> monitor_;
  std::vector<std::unique_ptr<TDeviceJob>> jobs_;
  std::vector<std::function<void()>> deferred_;
  std::multimap<TClock::time_point, std::function<void()>> timers_;
  bool redraw_ = false;
  bool interrupted_ = false;
  size_t liveLines_ = 0;
  TClock::time_point lastDraw_{};
  int finished_ = 0;
  TClock::time_point lastSilenceCheck_{};
};

}  // namespace flash
