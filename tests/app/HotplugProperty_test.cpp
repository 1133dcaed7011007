// Random hot-plug sequences against the real window: Vexilora simulators plugged in and pulled
// out through udev (umockdev in this process), a second device beside the first, re-plugs as
// the next node (also with the new node's arrival heard before the old node's removal) and in
// the bootloader, and update clicks, at random moments: once things have settled, or in the
// middle of a query, of an update's dialogue, of its transfer, while its success box is open
// or during its pause before the version query.
//
// After every step, once things have settled, the window must be in one of two states: no
// device and "not connected", or the port open on a present device whose versions the window
// shows with the icon, text and button of the version presentation's rows. No error box ever
// (the update's success box is the only box), and at the end of each sequence the port's
// threads and every descriptor are gone.
//
// VEXILORA_HOTPLUG_SEQUENCES sets how many sequences run (for a long soak) and
// VEXILORA_HOTPLUG_SEED the first one's seed; sequence i uses seed + i, so a failure, which
// names its seed and its steps, is replayed with that seed and one sequence.

#include <dirent.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/PortTable.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/MockUsb.h"

namespace {

using apptest::QtWaitUntil;
using apptest::TBoxCloser;
using apptest::UnnamedThreads;

using apptest::Q;

using apptest::kBootloaderText;
using apptest::kNotConnected;
using apptest::kUnplugged;
using apptest::kUpdatable;
using apptest::kUpdated;
const char* const kOlderImage =
    "В результате обновления в Vexilora будет установленая предыдущая версия программного "
    "обеспечения.";
const char* const kNotAllowed =
    "Поддерживается обновление Vexilora с аппаратной версией 2.0. \nОбновление Vexilora "
    "невозможно.";
const char* const kAbsent = "Отсутствует";
const char* const kBootloader = "Загрузчик";

// The kinds of Vexilora a sequence plugs in: behind the image, on it, ahead of it, in its
// bootloader, and of a hardware the image is not for.
struct TProfile {
  const char* Name;
  const char* Hardware;
  const char* Software;
  bool InBootloader;
};
const TProfile kProfiles[] = {
    {"older", "2.0", "2.0.0.3400", false},   {"same", "2.0", "2.0.0.3452", false},
    {"newer", "2.0", "2.0.0.3500", false},   {"loader", "2.0", "2.0.0.3400", true},
    {"otherhw", "2.1", "2.0.0.3400", false},
};

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      // The mocked devices' pty masters stay with umockdev for the life of the process (it
      // cannot hand out a pty number twice): they are the test bench's, not the window's.
      char target[64] = {};
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::string(target) == "/dev/ptmx")
        continue;
      ++n;
    }
    closedir(d);
  }
  return n - 1;  // the listing's own
}

unsigned EnvNumber(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == '\0' ? static_cast<unsigned>(value) : fallback;
}

// Each case of the normal build takes a few seconds; the sanitizer builds run slower and
// check the same paths with fewer sequences.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kDefaultSequences = 3;
#else
constexpr unsigned kDefaultSequences = 12;
#endif

class HotplugPropertyTest : public apptest::TUpdateFixture {
 protected:
  struct TDevice {
    int Number = 0;  // d1, d2, ... in the step list
    const TProfile* Profile = nullptr;
    std::unique_ptr<vexsim::TSimulator> Sim;
    TMockDevice Mock;
  };

  void SetUp() override {
    TUpdateFixture::SetUp();
    // A sanitizer runtime starts a thread of its own with the process's first thread.
    std::thread([] {}).join();
  }

  void TearDown() override {
    EndSequence();
    mock_.reset();
    TUpdateFixture::TearDown();
  }

  // ---- the record of a sequence, for every failure message

  void Note(const std::string& step) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - sequenceStart_)
                        .count();
    steps_.push_back("[" + std::to_string(ms) + " ms] " + step);
  }
  std::chrono::steady_clock::time_point sequenceStart_;

  std::string Replay() {
    std::ostringstream out;
    out << "\n  replay: VEXILORA_HOTPLUG_SEED=" << seed_
        << " VEXILORA_HOTPLUG_SEQUENCES=1\n  steps:";
    for (size_t i = 0; i < steps_.size(); ++i) out << "\n    " << i + 1 << ". " << steps_[i];
    out << "\n  window: state " << (window_ ? Form().DialogueState : -1);
    if (window_) {
      out << ", port " << (Form().ComPort1.Open() ? "open" : "closed") << " on "
          << platform::PortPath(Form().ComPort1.ComNumber()) << ", status \""
          << Label().toStdString() << "\", hw \"" << Box("uiTEHWVer").toStdString() << "\", sw \""
          << Box("uiTESWVer").toStdString() << "\", button " << ButtonEnabled()
          << ", update running " << Form().UpdateRunning() << ", held back "
          << Form().ChangesHeldBack() << ", packet armed " << Form().DataPacket1.AutoEnable()
          << ", transfer " << Form().XModem1.InProgress() << ", modal step " << Form().InModalStep()
          << ", box open " << (apptest::FindMessageBox() != nullptr) << ", udev events read "
          << Window().DeviceWatch().Idle();
    }
    for (const TDevice& d : devices_) {
      const std::string bytes = d.Sim->CommandBytes();
      out << "\n  d" << d.Number << " (" << d.Profile->Name << ") at " << d.Mock.DevicePath
          << " took \"..."
          << vexsim::Escape(bytes.substr(bytes.size() > 120 ? bytes.size() - 120 : 0))
          << "\", mode " << vexsim::ModeName(d.Sim->Mode());
    }
    if (closer_) {
      for (const apptest::TSeenBox& box : closer_->Seen())
        out << "\n  box: \"" << box.Text.toStdString() << "\"";
    }
    return out.str();
  }

  // ---- the user's and the devices' actions

  TDevice* PortDevice() {
    if (!window_ || !Form().ComPort1.Open()) return nullptr;
    const std::string path = platform::PortPath(Form().ComPort1.ComNumber());
    for (TDevice& d : devices_) {
      if (d.Mock.DevicePath == path) return &d;
    }
    return nullptr;
  }

  std::string NextLocation() {
    // Random places on the bus, so that the device enumerated last (the one the port goes to)
    // is sometimes the newcomer and sometimes not.
    return "1-" + std::to_string(1 + rng_() % 4) + "." + std::to_string(nextPort_++);
  }

  bool WaitEventsTaken() {
    // umockdev aborts the process when a monitor's queue overflows: the window reads each
    // event before the next is sent.
    return QtWaitUntil([&] { return !window_ || Window().DeviceWatch().Idle(); }, 60000);
  }

  // A device of a random kind (or the one given, with its options changed by fault).
  void PlugNew(const TProfile* profile = nullptr,
               const std::function<void(vexsim::TOptions&)>& fault = nullptr,
               const std::string& location = {}) {
    TDevice d;
    d.Number = ++lastNumber_;
    d.Profile = profile != nullptr ? profile : &kProfiles[rng_() % std::size(kProfiles)];
    vexsim::TOptions o = apptest::QuickDevice();
    o.HardwareVersion = d.Profile->Hardware;
    o.SoftwareVersion = d.Profile->Software;
    o.StartInBootloader = d.Profile->InBootloader;
    if (fault) fault(o);
    d.Sim = std::make_unique<vexsim::TSimulator>(o);
    TUsbDescription place;
    // A given kind goes behind every device there: the port moves to it.
    place.Location = !location.empty()    ? location
                     : profile != nullptr ? "1-9." + std::to_string(nextPort_++)
                                          : NextLocation();
    Note("plug d" + std::to_string(d.Number) + " (" + d.Profile->Name + ") at " + place.Location);
    d.Mock = mock_->PlugIn(place);
    ASSERT_TRUE(d.Sim->Start(d.Mock.Master));
    devices_.push_back(std::move(d));
    ASSERT_TRUE(WaitEventsTaken()) << Replay();
  }

  void Pull(size_t index) {
    TDevice& d = devices_[index];
    Note("pull d" + std::to_string(d.Number));
    d.Sim->Stop();
    mock_->HangUp(d.Mock);
    mock_->PullOut(d.Mock);
    devices_.erase(devices_.begin() + static_cast<long>(index));
    ASSERT_TRUE(WaitEventsTaken()) << Replay();
  }

  // The same device back as the next node; with arrivalFirst the new node's arrival comes
  // before the old node's removal (a quick re-plug as udev may report it). inBootloader: the
  // user holds it in its bootloader while plugging it in.
  void Replug(size_t index, bool arrivalFirst, bool inBootloader) {
    TDevice& d = devices_[index];
    Note(std::string("re-plug d") + std::to_string(d.Number) +
         (inBootloader ? " in its bootloader" : "") +
         (arrivalFirst ? ", arrival before removal" : ""));
    d.Sim->Stop();
    mock_->HangUp(d.Mock);
    const TMockDevice old = d.Mock;
    if (!arrivalFirst) {
      mock_->PullOut(old);
      ASSERT_TRUE(WaitEventsTaken()) << Replay();
    }
    if (inBootloader) {
      // A device started in its bootloader: what it holds stays (its versions), only its mode
      // at power-up differs.
      vexsim::TOptions o = apptest::QuickDevice();
      o.HardwareVersion = d.Sim->HardwareVersion();
      o.SoftwareVersion = d.Sim->SoftwareVersion();
      o.StartInBootloader = true;
      d.Sim = std::make_unique<vexsim::TSimulator>(o);
    }
    TUsbDescription place;
    place.Location = NextLocation();
    d.Mock = mock_->PlugIn(place);
    ASSERT_TRUE(d.Sim->Start(d.Mock.Master));
    ASSERT_TRUE(WaitEventsTaken()) << Replay();
    if (arrivalFirst) {
      mock_->PullOut(old);
      ASSERT_TRUE(WaitEventsTaken()) << Replay();
    }
  }

  void Click() {
    const bool enabled = ButtonEnabled();
    Note(std::string("click update") + (enabled ? "" : " (disabled: nothing happens)"));
    QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  }

  // One random action.
  void RandomAction() {
    const unsigned roll = rng_() % 100;
    if (devices_.empty() || (roll < 25 && devices_.size() < 3)) {
      PlugNew();
    } else if (roll < 40) {
      Pull(rng_() % devices_.size());
    } else if (roll < 55) {
      Replug(rng_() % devices_.size(), rng_() % 2 == 0, false);
    } else if (roll < 65) {
      Replug(rng_() % devices_.size(), false, true);
    } else {
      Click();
    }
  }

  // ---- random moments

  // Waits, after an action, for a random moment of what it started: settled, or a number of
  // command bytes into the port device's dialogue, a number of blocks into its transfer, its
  // success box open, or its pause before the version query. The next action happens there.
  // False when the next action has already run (inside the success box).
  bool WaitRandomMoment(const std::function<void()>& next) {
    const unsigned kind = rng_() % 10;
    TDevice* d = PortDevice();
    if (kind < 4 || d == nullptr) {
      EXPECT_TRUE(Settle()) << "did not settle" << Replay();
      return true;
    }
    vexsim::TSimulator* sim = d->Sim.get();
    if (kind < 6) {
      const size_t bytes = sim->CommandBytes().size() + 1 + rng_() % 40;
      Note("... once d" + std::to_string(d->Number) + " has taken " + std::to_string(bytes) +
           " command bytes");
      QtWaitUntil([&] { return sim->CommandBytes().size() >= bytes || Settled(); }, 20000);
      return true;
    }
    if (kind < 8) {
      const uint32_t blocks = sim->BlocksAccepted() + 1 + rng_() % 37;
      Note("... once d" + std::to_string(d->Number) + " has accepted block " +
           std::to_string(blocks));
      QtWaitUntil([&] { return sim->BlocksAccepted() >= blocks || Settled(); }, 20000);
      return true;
    }
    if (kind < 9) {
      Note("... while the pause before the version query runs");
      QtWaitUntil([&] { return Form().DialogueState == app::dsAwaitNewVersion || Settled(); },
                  20000);
      return true;
    }
    Note("... inside the success box");
    bool ran = false;
    inBox_ = [&] {
      ran = true;
      next();
    };
    QtWaitUntil([&] { return ran || Settled(); }, 20000);
    inBox_ = nullptr;
    return !ran;
  }

  // ---- settling and the invariants

  bool Settled() {
    if (!window_) return true;
    app::TForm1& f = Form();
    return Window().DeviceWatch().Idle() && apptest::FindMessageBox() == nullptr &&
           !f.InModalStep() && !f.UpdateRunning() && !f.XModem1.InProgress() &&
           !f.ChangesHeldBack() && f.DialogueState == app::dsAwaitProbe &&
           // (A packet left armed on a closed port waits for nothing; the next opening arms
           // it afresh.)
           (!f.ComPort1.Open() || !f.DataPacket1.AutoEnable()) &&
           (devices_.empty() || f.ComPort1.Open()) && (!devices_.empty() || !f.ComPort1.Open());
  }

  bool Settle() {
    return QtWaitUntil([&] { return Settled(); }, 60000);
  }

  void CheckInvariants() {
    ASSERT_TRUE(Settle()) << "did not settle" << Replay();
    for (const apptest::TSeenBox& box : closer_->Seen()) {
      ASSERT_TRUE(box.Text == Q(kUpdated) && box.Icon == QMessageBox::Information)
          << "a box other than the update's success: \"" << box.Text.toStdString() << "\""
          << Replay();
    }
    if (devices_.empty()) {
      ASSERT_TRUE(Label() == Q(kNotConnected) || Label() == Q(kUnplugged))
          << "no device, yet not \"not connected\"" << Replay();
      ASSERT_EQ(ShownIcon(), Label() == Q(kNotConnected) ? app::iiInformation : app::iiError)
          << Replay();
      ASSERT_EQ(Box("uiTEHWVer"), Q(kAbsent)) << Replay();
      ASSERT_EQ(Box("uiTESWVer"), Q(kAbsent)) << Replay();
      ASSERT_FALSE(ButtonEnabled()) << Replay();
      ASSERT_EQ(Progress()->value(), 0) << Replay();
      ASSERT_FALSE(Form().ComPort1.Open()) << Replay();
      return;
    }
    const TDevice* d = PortDevice();
    ASSERT_NE(d, nullptr) << "the port is not open on a present device" << Replay();
    const std::string hw = d->Sim->HardwareVersion();
    ASSERT_EQ(Box("uiTEHWVer"), QString::fromStdString(hw))
        << "not the port device's hardware version" << Replay();
    const QString sw = Box("uiTESWVer");
    // A device queried in its bootloader tells no software version: the presentation writes
    // "bootloader" into the box, except for a hardware the image is not for (the box stays
    // "absent").
    const QString inBootloader = Q(hw == "2.0" ? kBootloader : kAbsent);
    ASSERT_TRUE(sw == QString::fromStdString(d->Sim->SoftwareVersion()) || sw == inBootloader)
        << "not the port device's software version (" << d->Sim->SoftwareVersion() << ")"
        << Replay();
    // The version presentation's rows, for the image 2.0.0.3452 and the file version 2.0.x.
    if (hw != "2.0") {
      ASSERT_EQ(Label(), Q(kNotAllowed)) << Replay();
      ASSERT_EQ(ShownIcon(), app::iiNotAllowed) << Replay();
      // The row leaves the button as it was, and the query turned it off.
      ASSERT_FALSE(ButtonEnabled()) << Replay();
      return;
    }
    if (sw == Q(kBootloader)) {
      ASSERT_EQ(Label(), Q(kBootloaderText)) << Replay();
      ASSERT_EQ(ShownIcon(), app::iiWarning) << Replay();
    } else if (sw == Q("2.0.0.3500")) {
      ASSERT_EQ(Label(), Q(kOlderImage)) << Replay();
      ASSERT_EQ(ShownIcon(), app::iiWarning) << Replay();
    } else {
      ASSERT_EQ(Label(), Q(kUpdatable)) << Replay();
      ASSERT_EQ(ShownIcon(), app::iiSuccess) << Replay();
    }
    ASSERT_TRUE(ButtonEnabled()) << Replay();
  }

  // ---- one sequence

  void BeginSequence(unsigned seed) {
    seed_ = seed;
    sequenceStart_ = std::chrono::steady_clock::now();
    rng_.seed(seed);
    steps_.clear();
    lastNumber_ = 0;
    nextPort_ = 1;
    // One mocked udev for every sequence: umockdev keeps a descriptor pair of each testbed
    // for the life of the process. Each window opens its monitor after it.
    if (!mock_) mock_ = std::make_unique<TMockUsb>();
    closer_ = std::make_unique<TBoxCloser>([this](const apptest::TSeenBox&) {
      if (inBox_) {
        const std::function<void()> fn = std::move(inBox_);
        inBox_ = nullptr;
        fn();
      }
    });
  }

  void EndSequence() {
    inBox_ = nullptr;
    window_.reset();
    closer_.reset();
    for (TDevice& d : devices_) d.Sim->Stop();
    devices_.clear();
  }

  void RunSequence(unsigned seed) {
    BeginSequence(seed);
    // Zero, one or two devices there before the window starts.
    const unsigned before = rng_() % 3;
    for (unsigned i = 0; i < before; ++i) {
      PlugNew();
      if (HasFatalFailure()) return;
    }
    Note("window shown");
    Window().show();
    CheckInvariants();
    if (HasFatalFailure()) return;
    const unsigned steps = 4 + rng_() % 6;
    for (unsigned i = 0; i < steps; ++i) {
      RandomAction();
      if (HasFatalFailure()) return;
      ++stepsRun_;
      // Sometimes the next action comes at a random moment of what this one started.
      if (i + 1 < steps && rng_() % 2 == 0) {
        bool nextRan = false;
        const bool waited = WaitRandomMoment([&] {
          nextRan = true;
          RandomAction();
        });
        if (HasFatalFailure()) return;
        if (waited || nextRan) {
          if (!nextRan) RandomAction();
          if (HasFatalFailure()) return;
          ++stepsRun_;
          ++i;
        }
      }
      Note("(settled)");
      CheckInvariants();
      if (HasFatalFailure()) return;
    }
    // Every device pulled out: "not connected", and nothing of the port left running.
    while (!devices_.empty()) {
      Pull(devices_.size() - 1);
      if (HasFatalFailure()) return;
    }
    CheckInvariants();
    if (HasFatalFailure()) return;
    EndSequence();
    // The first window of the process opens what Qt and udev keep for its life (the display
    // connection, the thread pool, notifiers): what the first sequence leaves is the baseline
    // every later one returns to.
    if (baselineThreads_ < 0) {
      QtWaitUntil([&] { return UnnamedThreads() <= threadsBefore_; }, 2000);
      baselineThreads_ = UnnamedThreads();
      baselineDescriptors_ = OpenDescriptors();
      baselineList_ = OpenDescriptorList();
      return;
    }
    EXPECT_TRUE(QtWaitUntil([&] { return UnnamedThreads() <= baselineThreads_; }))
        << UnnamedThreads() << " unnamed threads, " << baselineThreads_ << " before" << Replay();
    EXPECT_TRUE(QtWaitUntil([&] { return OpenDescriptors() <= baselineDescriptors_; }))
        << OpenDescriptors() << " descriptors open, " << baselineDescriptors_ << " before"
        << Replay() << OpenDescriptorList() << "\n  baseline" << baselineList_;
  }

  static std::string OpenDescriptorList() {
    std::string list = "\n  open:";
    if (DIR* d = opendir("/proc/self/fd")) {
      while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
        list += std::string(" ") + e->d_name + "=" + target;
      }
      closedir(d);
    }
    return list;
  }

  int threadsBefore_ = UnnamedThreads();
  int baselineThreads_ = -1;
  int baselineDescriptors_ = -1;
  std::string baselineList_;

  std::unique_ptr<TMockUsb> mock_;
  std::unique_ptr<TBoxCloser> closer_;
  std::vector<TDevice> devices_;
  std::function<void()> inBox_;
  std::mt19937 rng_;
  unsigned seed_ = 0;
  std::vector<std::string> steps_;
  int lastNumber_ = 0;
  int nextPort_ = 1;
  uint64_t stepsRun_ = 0;
};

TEST_F(HotplugPropertyTest, RandomPlugsPullsAndUpdatesNeverWedgeTheWindow) {
  const unsigned sequences = EnvNumber("VEXILORA_HOTPLUG_SEQUENCES", kDefaultSequences);
  const unsigned seed =
      EnvNumber("VEXILORA_HOTPLUG_SEED", static_cast<unsigned>(std::random_device{}()));
  // Printed first: a crash must still tell how to replay it.
  std::printf("hot-plug sequences from seed %u\n", seed);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  unsigned done = 0;
  for (; done < sequences; ++done) {
    RunSequence(seed + done);
    if (HasFailure()) break;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("hot-plug sequences: %u of %u from seed %u, %llu steps, %.1f s\n", done, sequences,
              seed, static_cast<unsigned long long>(stepsRun_), seconds);
}

// Once "wr_prog" has gone out the device's receiver takes nothing but the image: a hurried
// second press must not start the dialogue over (its probe would go unanswered and the update
// fail as a silent device). The button is off from then on, and the update ends well.
TEST_F(HotplugPropertyTest, ASecondPressOnceProgrammingHasBegunChangesNothing) {
  BeginSequence(0);
  PlugNew(&kProfiles[0]);
  Window().show();
  CheckInvariants();
  Click();
  vexsim::TSimulator& sim = *devices_[0].Sim;
  ASSERT_TRUE(QtWaitUntil([&] { return sim.CommandBytes().find("wr_prog") != std::string::npos; }))
      << Replay();
  EXPECT_FALSE(ButtonEnabled()) << Replay();
  Click();
  CheckInvariants();
  EXPECT_EQ(Box("uiTESWVer"), Q("2.0.0.3452")) << Replay();
  EXPECT_EQ(Form().UpdateOutcome(), app::uoUpdated) << Replay();
  EXPECT_EQ(closer_->Seen().size(), 1u) << Replay();
}

// An update ended by the window's reply limit (the device went silent after "wr_prog") has
// ended: its temporary image is gone, and a Vexilora plugged in afterwards is queried, not
// held back for an update that no longer runs.
TEST_F(HotplugPropertyTest, AnUpdateEndedByTheReplyLimitHoldsNothingBack) {
  BeginSequence(0);
  PlugNew(&kProfiles[0], [](vexsim::TOptions& o) { o.SilentFrom = "wr_prog"; });
  Window().show();
  CheckInvariants();
  Form().SetReplyTimeout(500);
  Click();
  ASSERT_TRUE(QtWaitUntil([&] { return Form().UpdateOutcome() == app::uoNoAnswer; }, 30000))
      << Replay();
  EXPECT_FALSE(Form().UpdateRunning()) << Replay();
  EXPECT_FALSE(TempImageExists()) << Replay();
  PlugNew(&kProfiles[2]);
  CheckInvariants();
  EXPECT_EQ(Box("uiTESWVer"), Q("2.0.0.3500")) << Replay();
}

// A device plugged in behind the one shown takes the port and is queried: until it has been
// judged, the button must not offer to update it on the strength of the last device's
// versions (a press then would send the image to a device whose hardware nobody checked).
TEST_F(HotplugPropertyTest, TheButtonWaitsForTheNewDevicesQuery) {
  BeginSequence(0);
  PlugNew(&kProfiles[0]);
  Window().show();
  CheckInvariants();
  ASSERT_TRUE(ButtonEnabled());
  PlugNew(&kProfiles[4], [](vexsim::TOptions& o) { o.ReplyDelayMs = 300; });
  vexsim::TSimulator& second = *devices_[1].Sim;
  ASSERT_TRUE(QtWaitUntil([&] { return !second.CommandBytes().empty(); })) << Replay();
  EXPECT_FALSE(ButtonEnabled()) << Replay();
  CheckInvariants();
}

// Devices that change while a query runs, each of which once ended it in the no-reply text
// for a healthy device: another Vexilora plugged in in front of it (the port stays where it
// is, and so must the dialogue), and one plugged in behind it and pulled out again at once
// (the port goes there and back, and the queried device's reply to the first probe is still
// in the line when the second goes out).
TEST_F(HotplugPropertyTest, AQueryGoesOnThroughOtherDevicesComingAndGoing) {
  BeginSequence(0);
  Window().show();
  PlugNew(
      &kProfiles[0], [](vexsim::TOptions& o) { o.ReplyDelayMs = 100; }, "1-5.91");
  vexsim::TSimulator& queried = *devices_[0].Sim;
  ASSERT_TRUE(QtWaitUntil([&] { return queried.CommandBytes().find("boot") != std::string::npos; }))
      << Replay();
  PlugNew(&kProfiles[1], nullptr, "1-1.92");  // enumerated first: the port stays
  CheckInvariants();
  EXPECT_EQ(Box("uiTESWVer"), Q("2.0.0.3400")) << Replay();

  // The queried device back (powered up in its application), and a newcomer behind it that
  // goes at once, while the first probe's reply is on its way.
  Replug(0, false, false);
  ASSERT_TRUE(QtWaitUntil([&] { return !devices_[0].Sim->CommandBytes().empty(); })) << Replay();
  PlugNew(&kProfiles[2], nullptr, "1-9.93");
  Pull(devices_.size() - 1);
  CheckInvariants();
}

}  // namespace
