#include "app/flash/Fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/Discovery.h"
#include "app/FirmwareImage.h"
#include "app/ImageDigest.h"
#include "app/flash/Files.h"
#include "app/flash/Journal.h"
#include "comm/Exceptions.h"
#include "platform/MessageQueue.h"

namespace flash {

using namespace std::chrono_literals;

// ---- the fleet ----------------------------------------------------------------------------

TFleet::TFleet(const TOptions& options, std::FILE* out) : options_(options), out_(out) {
  live_ = !options_.Json && isatty(fileno(out_)) != 0;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int wake = wakeFd_;
  platform::SetWakeHook([wake] {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake, &one, sizeof one);
  });
  journal_ = OutputGoesToJournal();
}

void TFleet::TakeSignals() {
  if (signalFd_ >= 0) return;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // A closed terminal or an ending session: the devices still get their cancel sequence.
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signalFd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

TFleet::~TFleet() {
  timers_.clear();
  deferred_.clear();
  jobs_.clear();
  platform::SetWakeHook(nullptr);
  monitor_.reset();
  if (wakeFd_ >= 0) close(wakeFd_);
  if (signalFd_ >= 0) close(signalFd_);
  if (logFd_ >= 0) close(logFd_);
}

bool TFleet::OpenLog(std::string& error) {
  if (options_.LogPath.empty()) return true;
  bool empty = false;
  logFd_ = OpenLogFile(options_.LogPath, empty, error);
  if (logFd_ < 0) return false;
  if (empty && !WriteAll(logFd_, "time,location,old_version,new_version,seconds,result,error\n")) {
    error = "cannot write the log file '" + options_.LogPath + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

void TFleet::SetImage(std::vector<uint8_t> image, std::string version, std::string sha256) {
  image_ = std::move(image);
  haveImage_ = true;
  imageVersion_ = std::move(version);
  imageDigest_ = std::move(sha256);
}

std::optional<std::span<const uint8_t>> TFleet::Image() const {
  if (!haveImage_) return std::nullopt;
  return std::span<const uint8_t>(image_);
}

void TFleet::InstallExceptionDisplay() {
  // Each form makes itself the display when it is made and removes it when it goes; the
  // devices' own failures are caught around their events, so what is left is reported plainly.
  comm::SetExceptionDisplay(
      [](const std::exception& e) { std::fprintf(stderr, "vexilora-flash: %s\n", e.what()); });
}

std::string TFleet::MakeTempFolder() { return app::MakePrivateFolder("vexilora-flash"); }

void TFleet::Defer(std::function<void()> fn) { deferred_.push_back(std::move(fn)); }

void TFleet::AddTimer(uint32_t ms, std::function<void()> fn) {
  timers_.emplace(TClock::now() + std::chrono::milliseconds(ms), std::move(fn));
}

void TFleet::Emit(const std::string& plain, const TJsonObject& json) {
  if (quiet_) return;
  if (options_.Json) {
    std::fprintf(out_, "%s\n", json.Text().c_str());
  } else if (!live_) {
    std::fprintf(out_, "%s\n", Printable(plain).c_str());
  } else {
    return;
  }
  std::fflush(out_);
}

void TFleet::JobFinished(TDeviceJob& job, const std::string& csvLine) {
  ++finished_;
  ++counts_[static_cast<int>(job.Result())];
  if (logFd_ >= 0 && !WriteAll(logFd_, csvLine)) {
    // The station's record is what it is run for: a lost line fails the run, and says so.
    logFailed_ = true;
    std::fprintf(
        stderr, "vexilora-flash: cannot write the log file '%s': %s; the record of %s is lost\n",
        options_.LogPath.c_str(), std::strerror(errno), Printable(job.Port().DevicePath).c_str());
  }
  if (journal_ && job.Result() != TResult::Listed) {
    TJournalEntry entry;
    entry.Device = job.Port().DevicePath;
    entry.Location = job.Port().UsbLocation;
    entry.OldVersion = job.OldVersion();
    entry.NewVersion = job.NewVersion();
    entry.Result = ResultWord(job.Result());
    entry.Error = job.Error();
    entry.Seconds = job.Seconds();
    SendToJournal(entry);
  }
}

void TFleet::RunDue() {
  bool progressed = true;
  while (progressed) {
    progressed = false;
    while (platform::PumpOneMessage() == platform::TPumpResult::Dispatched) progressed = true;
    const auto now = TClock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
      std::function<void()> fn = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      fn();
      progressed = true;
    }
    if (!deferred_.empty()) {
      std::vector<std::function<void()>> batch;
      batch.swap(deferred_);
      for (auto& fn : batch) fn();
      progressed = true;
    }
  }
  const auto now = TClock::now();
  if (now - lastSilenceCheck_ >= 1s) {
    lastSilenceCheck_ = now;
    for (auto& job : jobs_) job->CheckSilence(now);
  }
  if (options_.Wait) Reap();
}

void TFleet::Reap() {
  // A job goes once its port has closed (its folder went with it) and, on a terminal, once its
  // last line has been printed for good.
  jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                             [&](const std::unique_ptr<TDeviceJob>& job) {
                               return job->Done() && !job->Holding() &&
                                      (!live_ || job->LineSettled());
                             }),
              jobs_.end());
}

void TFleet::Interrupt() {
  interrupted_ = true;
  for (auto& job : jobs_) job->Interrupt();
  RunDue();
}

bool TFleet::Loop(const std::function<bool()>& done) {
  while (true) {
    RunDue();
    if (interrupted_) return false;
    if (done()) return true;
    const auto now = TClock::now();
    if (live_ && !quiet_ && redraw_ && now - lastDraw_ >= 200ms) Redraw(false);

    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(1s);
    if (!timers_.empty())
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                timers_.begin()->first - now) +
                                1ms);
    if (live_ && redraw_) wait = std::min(wait, std::chrono::milliseconds(200));
    wait = std::max(wait, std::chrono::milliseconds(0));
    const int busWait = inhibitor_.TimeoutMs();
    if (busWait >= 0) wait = std::min(wait, std::chrono::milliseconds(busWait));

    pollfd fds[4] = {{wakeFd_, POLLIN, 0},
                     {signalFd_, POLLIN, 0},
                     {monitor_ ? monitor_->Fd() : -1, POLLIN, 0},
                     {inhibitor_.Fd(), inhibitor_.Events(), 0}};
    const int n = poll(fds, 4, static_cast<int>(wait.count()));
    if (fds[3].revents != 0 || busWait == 0) inhibitor_.Process();
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "vexilora-flash: poll: %s\n", std::strerror(errno));
      return false;
    }
    if (n <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_, &count, sizeof count);
    }
    if (fds[2].revents & POLLIN) ReadMonitor();
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t r = read(signalFd_, &info, sizeof info);
      Interrupt();
      return false;
    }
  }
}

void TFleet::Settle() {
  // The ports of finished devices close on the loop, some once their last bytes are out.
  const auto deadline = TClock::now() + 2s;
  while (true) {
    RunDue();
    if (std::none_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->Holding(); }))
      return;
    if (TClock::now() >= deadline) return;
    pollfd wake{wakeFd_, POLLIN, 0};
    if (poll(&wake, 1, 10) > 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_, &count, sizeof count);
    }
  }
}

void TFleet::ReadMonitor() {
  while (monitor_) {
    std::optional<platform::TUdevEvent> event = monitor_->Read();
    if (!event) return;
    if (event->Action == platform::TUdevAction::Removal) {
      for (auto& job : jobs_)
        if (!job->Done() && !event->DevicePath.empty() &&
            job->Port().DevicePath == event->DevicePath)
          job->Removed();
    } else if (options_.Wait && !interrupted_) {
      Arrival(*event);
    }
  }
}

void TFleet::Arrival(const platform::TUdevEvent& event) {
  // The test the window makes on its notifications.
  if (!discovery::IsVexiloraNotification(event)) return;
  if (options_.Count > 0 && started_ >= options_.Count) return;
  for (auto& job : jobs_)
    if (!job->Done() && job->Port().DevicePath == event.DevicePath) return;
  const auto ports = platform::EnumerateUsbSerialPorts(kVexiloraId);
  if (!ports) return;
  for (const platform::TUsbSerialPort& port : *ports) {
    if (port.DevicePath != event.DevicePath) continue;
    jobs_.push_back(std::make_unique<TDeviceJob>(*this, port, TDeviceJob::TPurpose::Update));
    ++started_;
    redraw_ = true;
    jobs_.back()->Start();
    return;
  }
}

void TFleet::Redraw(bool final) {
  if (!live_) return;
  const auto now = TClock::now();
  std::string text;
  if (liveLines_ > 0) text += "\x1b[" + std::to_string(liveLines_) + "A";
  // A device that finished is printed once, above the live lines, and leaves them.
  for (auto& job : jobs_) {
    if (!job->Done() || job->LineSettled()) continue;
    text += "\r\x1b[K" + Printable(job->StatusLine(now)) + "\n";
    job->SettleLine();
  }
  size_t live = 0;
  for (auto& job : jobs_) {
    if (job->Done()) continue;
    text += "\r\x1b[K" + Printable(job->StatusLine(now)) + "\n";
    ++live;
  }
  // Lines of devices that left the live view are cleared below the ones still there.
  if (live < liveLines_) text += "\x1b[J";
  liveLines_ = live;
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
  lastDraw_ = now;
  redraw_ = false;
  if (final) liveLines_ = 0;
}

int TFleet::ExitCode() const {
  if (logFailed_) return ecFailed;
  if (counts_[static_cast<int>(TResult::Failed)] > 0 ||
      counts_[static_cast<int>(TResult::Cancelled)] > 0)
    return ecFailed;
  if (std::any_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return !job->Done(); }))
    return ecFailed;
  return counts_[static_cast<int>(TResult::Refused)] > 0 ? ecRefused : ecAllDone;
}

void TFleet::Summary() {
  const int updated = counts_[static_cast<int>(TResult::Updated)];
  const int failed = counts_[static_cast<int>(TResult::Failed)];
  const int refused = counts_[static_cast<int>(TResult::Refused)];
  const int cancelled = counts_[static_cast<int>(TResult::Cancelled)];
  const int code = interrupted_ ? ecFailed : ExitCode();
  if (options_.Json) {
    TJsonObject json;
    json.Add("event", "summary")
        .Add("updated", updated)
        .Add("failed", failed)
        .Add("refused", refused)
        .Add("cancelled", cancelled)
        .Add("interrupted", interrupted_)
        .Add("log_failed", logFailed_)
        .Add("exit", code);
    std::fprintf(out_, "%s\n", json.Text().c_str());
  } else {
    if (interrupted_) {
      // What was done, device by device, for whoever pressed Ctrl-C.
      std::fprintf(out_, "interrupted:\n");
      const auto now = TClock::now();
      for (const auto& job : jobs_)
        std::fprintf(out_, "  %s\n", Printable(job->StatusLine(now)).c_str());
    }
    std::fprintf(out_, "%d updated, %d failed, %d refused, %d cancelled\n", updated, failed,
                 refused, cancelled);
  }
  std::fflush(out_);
}

int TFleet::Update(const std::vector<platform::TUsbSerialPort>& ports) {
  TakeSignals();
  monitor_ = std::make_unique<platform::TUdevMonitor>();
  for (const platform::TUsbSerialPort& port : ports)
    jobs_.push_back(std::make_unique<TDeviceJob>(*this, port, TDeviceJob::TPurpose::Update));
  started_ = static_cast<int>(jobs_.size());
  redraw_ = true;
  for (auto& job : jobs_) job->Start();
  const bool wait = options_.Wait;
  const int count = options_.Count;
  if (wait) {
    // Said once the monitor listens: a device plugged in from now on is seen.
    const std::string text = "waiting for Vexilora devices to be plugged in" +
                             (count > 0 ? " (" + std::to_string(count) + ")" : std::string()) +
                             "; Ctrl-C ends";
    TJsonObject json;
    json.Add("event", "waiting").Add("count", count);
    if (live_)
      std::fprintf(out_, "%s\n", text.c_str());
    else
      Emit(text, json);
    std::fflush(out_);
  }
  Loop([&] {
    const bool allDone =
        std::all_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->Done(); });
    if (!allDone) return false;
    if (!wait) return true;
    return count > 0 && finished_ >= count;
  });
  Settle();
  if (logFd_ >= 0) {
    // The record's last lines may be lost only now (a file system that reports at close).
    if (close(logFd_) != 0) {
      logFailed_ = true;
      std::fprintf(stderr, "vexilora-flash: cannot write the log file '%s': %s\n",
                   options_.LogPath.c_str(), std::strerror(errno));
    }
    logFd_ = -1;
  }
  Redraw(true);
  Summary();
  return interrupted_ ? ecFailed : ExitCode();
}

int TFleet::List(const std::vector<platform::TUsbSerialPort>& ports) {
  if (options_.Query) {
    TakeSignals();
    // Lines come once per device at the end, in the order of the devices.
    quiet_ = true;
    for (const platform::TUsbSerialPort& port : ports)
      jobs_.push_back(std::make_unique<TDeviceJob>(*this, port, TDeviceJob::TPurpose::Query));
    for (auto& job : jobs_) job->Start();
    Loop([&] {
      return std::all_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->Done(); });
    });
    Settle();
    quiet_ = false;
  }
  std::optional<std::pair<std::string, std::string>> imageInfo;
  if (const auto embedded = app::FindResource(app::kFirmwareResourceName))
    imageInfo.emplace(app::GetUpdateVersion(*embedded), app::Sha256Hex(*embedded));
  int code = ecAllDone;
  for (size_t i = 0; i < ports.size(); ++i) {
    const platform::TUsbSerialPort& port = ports[i];
    const TDeviceJob* job = options_.Query && i < jobs_.size() ? jobs_[i].get() : nullptr;
    const std::string comName = "COM" + std::to_string(port.PortNumber);
    if (options_.Json) {
      TJsonObject json;
      json.Add("device", port.DevicePath)
          .Add("port", comName)
          .Add("location", port.UsbLocation)
          .Add("bus", port.UsbBusNumber)
          .Add("port_path", port.UsbPortPath);
      // What an update would send, so that a script can check it before it starts one.
      if (imageInfo) {
        json.Add("image_version", imageInfo->first).Add("image_sha256", imageInfo->second);
      } else {
        json.AddNull("image_version").AddNull("image_sha256");
      }
      if (job != nullptr) {
        if (job->Result() == TResult::Listed) {
          json.Add("hardware", job->Hardware());
          if (job->OldVersion().empty())
            json.AddNull("software");
          else
            json.Add("software", job->OldVersion());
          json.Add("password", job->PasswordSet());
        } else {
          json.Add("error", job->Error());
        }
      }
      std::fprintf(out_, "%s\n", json.Text().c_str());
    } else {
      std::string line = port.DevicePath + "  " + comName + "  " +
                         (port.UsbLocation.empty() ? std::string("?") : port.UsbLocation);
      if (job != nullptr) {
        if (job->Result() == TResult::Listed)
          line += "  hardware " + job->Hardware() + "  software " +
                  (job->OldVersion().empty() ? std::string("unreadable") : job->OldVersion()) +
                  "  password " + (job->PasswordSet() ? "set" : "none");
        else
          line += "  error: " + job->Error();
      }
      std::fprintf(out_, "%s\n", Printable(line).c_str());
    }
    if (job != nullptr && job->Result() != TResult::Listed) code = ecFailed;
  }
  std::fflush(out_);
  if (interrupted_) return ecFailed;
  return code;
}

}  // namespace flash
