#pragma once
// vexilora-flash's engine: one TDeviceJob per device, all served by one main thread that never
// waits on any one device. Its loop polls the main-thread queue's wake-up, the udev monitor and
// the interrupt signals.

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

#include "app/flash/DeviceJob.h"
#include "app/flash/Options.h"
#include "app/flash/Output.h"
#include "app/flash/SleepInhibitor.h"
#include "platform/Udev.h"

namespace flash {

class TFleet {
 public:
  TFleet(const TOptions& options, std::FILE* out);
  ~TFleet();
  TFleet(const TFleet&) = delete;
  TFleet& operator=(const TFleet&) = delete;

  // Opens --log FILE for appending (with a header line when it is new); false and the reason
  // when it is not a regular file or cannot be written.
  bool OpenLog(std::string& error);

  // Sets the image the updates send, its version and the SHA-256 it must have (checked again
  // before every device's update). Without one the embedded image goes.
  void SetImage(std::vector<uint8_t> image, std::string version, std::string sha256);
  std::optional<std::span<const uint8_t>> Image() const;
  const std::string& ImageVersion() const { return imageVersion_; }
  const std::string& ImageDigest() const { return imageDigest_; }
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
  // Holds system sleep off for one device's update (see TSleepInhibitor); returns the lock's
  // number for AllowSleep.
  uint64_t HoldOffSleep(const std::string& why) { return inhibitor_.Take(why); }
  void AllowSleep(uint64_t lock) { inhibitor_.Release(lock); }
  // A new private folder for one device's temporary image.
  std::string MakeTempFolder();
  void InstallExceptionDisplay();

 private:
  // From here Ctrl-C, SIGTERM and SIGHUP are read by the loop (a signalfd): blocked in this
  // thread before any port starts its threads, which inherit the mask. Until then they keep
  // their usual effect, so that a program stuck before its loop can still be stopped.
  void TakeSignals();
  // Serves everything until done() holds or an interrupt ends the run (then false).
  bool Loop(const std::function<bool()>& done);
  // Station mode: lets finished devices go once their port is closed and their last line shown,
  // so that a station that runs for days keeps only the devices it is working on.
  void Reap();
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
  std::string imageDigest_;
  int logFd_ = -1;
  int wakeFd_ = -1;
  int signalFd_ = -1;
  std::unique_ptr<platform::TUdevMonitor> monitor_;
  std::vector<std::unique_ptr<TDeviceJob>> jobs_;
  TSleepInhibitor inhibitor_;
  std::vector<std::function<void()>> deferred_;
  std::multimap<TClock::time_point, std::function<void()>> timers_;
  bool redraw_ = false;
  bool interrupted_ = false;
  size_t liveLines_ = 0;
  TClock::time_point lastDraw_{};
  int finished_ = 0;
  int started_ = 0;
  // Finished devices by result (TResult's order).
  int counts_[6] = {};
  // A line of the record could not be written: the run fails.
  bool logFailed_ = false;
  // Each finished device also goes to the journal as a structured entry.
  bool journal_ = false;
  TClock::time_point lastSilenceCheck_{};
};

}  // namespace flash
