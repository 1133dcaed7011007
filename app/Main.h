#pragma once
// The main window's logic: TForm1's state fields, its components with their design values,
// its handlers and the state of what the window shows. It holds no Qt type: a view (the Qt
// window, a command-line front end) shows the view state and forwards the user's actions.
//
// Files: Main.cpp (start-up, view state), Discovery.cpp (device search and hot-plug),
// Dialogue.cpp (device dialogue and update), Versions.cpp (version checks and presentation),
// FirmwareImage.cpp (embedded image, temporary file), FileVersion.cpp (version record).
//
// Threads: everything here runs on the main thread, where the components deliver their events.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/FirmwareImage.h"
#include "app/Texts.h"
#include "comm/ComPort.h"
#include "packet/DataPacket.h"
#include "platform/MessageQueue.h"
#include "protocol/Protocol.h"

namespace platform {
struct TUsbSerialPort;
struct TUdevEvent;
}  // namespace platform

namespace app {

// Indexes of the window's image list uiImageList1.
enum TIconIndex : int {
  iiError = 0,
  iiWarning = 1,
  iiInformation = 2,
  iiNotAllowed = 3,
  iiSuccess = 4,
};

enum class TMessageIcon { Error, Warning, Information };

// The states of the device dialogue, by what each one waits for. The numbers are the
// dialogue's own (logs and tests show them): 0 to 4 query the device, 10 to 17 update it, and
// 0 also means that no dialogue runs. 5 to 9 are not used.
enum TDialogueState : int32_t {
  // The reply to the enter-loader probe: "ERROR" from the application, "OK" from the
  // bootloader. Also the state of a window with no dialogue running.
  dsAwaitProbe = 0,
  // "VERSW=" and the application's software version.
  dsAwaitSoftwareVersion = 1,
  // "BOOTLOADER": the device restarts into its bootloader.
  dsAwaitBootloader = 2,
  // "VERHW=" and the hardware version.
  dsAwaitHardwareVersion = 3,
  // "OK" (no password) or "PASSWORD ERROR" (the device is locked); the query ends here.
  dsAwaitPasswordState = 4,
  // The update's probe reply: "ERROR" from the application, "OK" from the bootloader.
  dsAwaitUpdateProbe = 10,
  // "BOOTLOADER", after which the password goes out.
  dsAwaitBootThenUnlock = 11,
  // "BOOTLOADER" (no password) or the password's "OK", after which "wr_prog" goes out.
  dsAwaitUnlocked = 12,
  // The device's "wr_prog" line: it is ready to be programmed.
  dsAwaitProgramReady = 13,
  // The receiver's handshake characters "CC" that start the transfer.
  dsAwaitHandshake = 14,
  // The device's verdict on the transferred image.
  dsAwaitVerdict = 15,
  // The "OK" to "run": the device starts its new application.
  dsAwaitRunning = 16,
  // "VERSW=" and the new software version; the update ends here.
  dsAwaitNewVersion = 17,
};

// How the last update ended (TForm1::UpdateOutcome). Every value past uoUpdated is a failure the
// window shows with its own text.
enum TUpdateOutcome : int {
  uoNone = 0,        // no update has been started
  uoRunning,         // an update runs
  uoUpdated,         // the device reports the image's version
  uoWrongPassword,   // the device refused the password
  uoRefused,         // ERROR to "boot" or "wr_prog", or instead of the receiver's handshake
  uoImageRejected,   // the device's verdict on the whole transferred image was ERROR
  uoTransferBroken,  // the transfer was cancelled, given up, or never started
  uoNoAnswer,        // the device stopped answering before its verdict
  uoNotRestarted,    // ERROR or silence after "run"
  uoNoVersion,       // ERROR or silence to "versw?" after "run"
  uoWrongVersion,    // after "run" the device reports a version other than the image's
  uoUnplugged,       // the device being updated was pulled out
  uoCannotOpen,      // the port could not be opened again for the update
};

inline constexpr const char* kDesignCaption = QT_TRANSLATE_NOOP("TForm1", "Обновление Vexilora ");
inline constexpr const char* kAbsent = QT_TRANSLATE_NOOP("TForm1", "Отсутствует");
inline constexpr const char* kBootloader = QT_TRANSLATE_NOOP("TForm1", "Загрузчик");
// The caption of the application's standard exception display.
inline constexpr const char* kApplicationTitle = "vexilora-update";

// The note under a failure that says where this run's trace and dispatch log are kept, so that
// a user can attach them to a report (%1: the folder).
inline constexpr const char* kTraceNote = QT_TRANSLATE_NOOP("TForm1", "Журнал обмена: %1");

// Everything the main window shows that the logic decides.
struct TViewState {
  std::string Caption = kDesignCaption;
  std::string uiTEHWVer = kAbsent;
  std::string uiTESWVer = kAbsent;
  std::string uiTEUpVer;
  // The status line; a carriage return in it is a line break. It is uiLabel1Template filled
  // in with uiLabel1Args (see Texts.h): a view that translates shows the template's
  // translation filled in with the same arguments.
  std::string uiLabel1 = QT_TRANSLATE_NOOP("TForm1", "Подключите изделие к ПК.");
  std::string uiLabel1Template = uiLabel1;
  std::vector<std::string> uiLabel1Args;
  // After a failure: the folder that holds this run's COMM.TRC and COMM.LOG (shown with
  // kTraceNote); empty otherwise. A new status text clears it.
  std::string TraceNote;
  int uiImage1 = iiInformation;  // index into uiImageList1
  bool uiButton1Enabled = false;
  int ProgressPosition = 0;
  int ProgressMax = 100;
  bool Enabled = true;  // the whole window accepts input
};

// What the logic needs of whatever shows it. All calls come on the main thread.
class TForm1View {
 public:
  virtual ~TForm1View() = default;
  // Some of the view state changed: show it.
  virtual void StateChanged() = 0;
  // A modal message box with one OK button, owned by no window; returns when it is closed.
  // The main-thread queue keeps being served meanwhile.
  virtual void MessageBox(const std::string& caption, const std::string& text,
                          TMessageIcon icon) = 0;
  // Waits ms milliseconds: the window keeps painting, the user's input waits.
  virtual void Pause(uint32_t ms) = 0;
  // A wait that leaves the main thread free: returns at once and calls resume on the main
  // thread ms milliseconds later, unless the form is destroyed first (the view then drops
  // it; an exception escaping resume is the view's to report). A view that serves several
  // devices from one main thread takes this, so that one device's pause does not hold up the
  // others. False (the default): the step waits with Pause instead.
  virtual bool PauseThen(uint32_t ms, std::function<void()> resume) {
    (void)ms;
    (void)resume;
    return false;
  }
  // Opens a new password window (TForm2) over the main window.
  virtual void OpenPasswordWindow() = 0;
  // An update has begun on the device at devicePath: from now until UpdateEnded the device may
  // be without its application (a view holds off system sleep meanwhile, for example).
  virtual void UpdateStarted(const std::string& devicePath) { (void)devicePath; }
  // The update begun last has ended, however it ended (success, failure, cancel, the device
  // pulled out, the form destroyed).
  virtual void UpdateEnded() {}
  // The update was not started because the image cannot be sent as it should be (reason: an
  // English text naming the cause). Nothing was sent to the device. The form has already put
  // the failure into its status line with the error icon; a view without one (a command-line
  // front end) learns of it here: by default through an error message box.
  virtual void UpdateNotStarted(const std::string& reason) {
    MessageBox(kApplicationTitle, reason, TMessageIcon::Error);
  }
  // A one-shot timer: fire runs on the main thread ms milliseconds from now, unless KillTimer
  // comes first (after which it never runs). Returns the timer's number, or 0 when the view
  // keeps no timers (the default): the form then does without what it wanted one for.
  virtual uint32_t SetTimer(uint32_t ms, std::function<void()> fire) {
    (void)ms;
    (void)fire;
    return 0;
  }
  virtual void KillTimer(uint32_t id) { (void)id; }
};

class TForm1 : public comm::TBaseComponent {
 public:
  // exePath: the executable whose version record gives the file version and beside which the
  // temporary image goes; by default the running program's own file.
  // tempFolder: where the temporary image goes; by default the executable's folder (or a
  // private one when that is not writable). Forms that update devices side by side each need
  // a folder of their own, or they would overwrite one another's image under a transfer.
  explicit TForm1(TForm1View& view, std::string exePath = SelfExePath(),
                  std::string tempFolder = {});
  ~TForm1() override;

  static std::string SelfExePath();

  // ---- components (design values set by the constructor)
  comm::TComPort ComPort1{this};
  comm::TDataPacket DataPacket1{this};
  comm::TProtocol XModem1{this};

  // ---- state fields
  bool DevicePresent = false;
  bool PasswordRequired = false;
  std::string Password;
  std::string ComName;
  std::string MainMarker;
  std::string AltMarker;
  TDialogueState DialogueState = dsAwaitProbe;

  // ---- window events
  void FormCreate();
  void FormShow();

  // ---- device discovery and hot-plug (Discovery.cpp)
  void FindDevice();
  static std::string GetFriendlyName(const platform::TUsbSerialPort& Device);
  void DeviceChange(const platform::TUdevEvent& Event);
  // The "not connected" state: no device present.
  void ShowNotConnected();

  // ---- device dialogue and update (Dialogue.cpp)
  void ComPort1PortOpen(comm::TCustomComPort* CP);
  void DataPacket1StringPacket(comm::TDataPacket* Sender, const std::string& Data);
  void DialogueStep(bool IsMain, const std::string& Text);
  void DataPacket1Timeout(comm::TDataPacket* Sender);
  void Xmodem1ProtocolStatus(comm::TCustomProtocol* CP, uint16_t Options);
  // A transfer that the protocol gave up (the device refused every block, cancelled it, or
  // stopped answering) gets no verdict line from the device: the update button comes back so
  // that the user can try again instead of being left with a disabled window.
  void Xmodem1ProtocolFinish(comm::TCustomProtocol* CP, int32_t ErrorCode);
  void StartUpdate();
  void uiButton1Click();
  // Cancels a running transfer: the device receives the cancel sequence (queued for sending;
  // the port must stay open until it is out). True when a transfer was running.
  bool CancelTransfer();

  // How long a device may take to answer: the query must be complete this long after the port
  // opened, and in an update each reply outside the transfer must come this long after its
  // command. A device that takes longer gets the window's no-reply text, or the update's
  // failure text (a probe left unanswered goes once more, see RepeatProbe, and is given the
  // limit again). 0 (the default) sets no limit; the limit needs the view's timers.
  uint32_t ReplyTimeout() const { return replyTimeout_; }
  void SetReplyTimeout(uint32_t ms) { replyTimeout_ = ms; }
  // The probe of this opening went unanswered. A device left in its receiver by a program
  // that vanished in the middle of a transfer reads nothing but blocks until it gives up, which
  // takes minutes: it is sent the transfer's cancel sequence, and the probe again. Once per
  // opening, and only while the probe is awaited; true when both went out.
  bool RepeatProbe();
  bool ProbeRepeated() const { return probeRepeated_; }
  // The limit on the device's reply is counting.
  bool ReplyLimitRunning() const { return watchdog_ != 0; }
  // Arrivals and removals of other devices wait for the running update to end.
  bool ChangesHeldBack() const { return hotplugPending_; }
  // An update runs: from StartUpdate's reopening of the port until its ending (the dialogue in
  // states dsAwaitUpdateProbe to dsAwaitNewVersion, or its transfer still going).
  bool UpdateRunning() const;
  TUpdateOutcome UpdateOutcome() const { return updateOutcome_; }

  // ---- version presentation (Versions.cpp)
  void ShowVersionStatus();

  // ---- the password window's side
  void SetPassword(const std::string& value) { Password = value; }

  // ---- view state
  const TViewState& View() const { return view_; }
  void SetCaption(const std::string& text);
  void SetHWVerText(const std::string& text);
  void SetSWVerText(const std::string& text);
  void SetUpVerText(const std::string& text);
  // A status text without variable parts, or a template (Texts.h) and its arguments.
  void SetStatusText(const std::string& text);
  void SetStatusText(const std::string& text, std::vector<std::string> args);
  // Shows, under the status text just set, where this run's trace is kept.
  void ShowTraceNote();
  void ShowIcon(int index);
  void SetButtonEnabled(bool value);
  void SetProgressPosition(int value);
  void SetProgressMax(int value);
  void SetEnabled(bool value);

  const std::string& ExePath() const { return exePath_; }
  // The folder this run's trace COMM.TRC and dispatch log COMM.LOG go to (chosen by
  // FormCreate; the current folder until then).
  const std::string& TraceFolder() const { return traceFolder_; }
  TTempImageFile& TempImage() { return tempImage_; }
  // The image the update sends: by default the embedded WBLOCK. Another image (a file the
  // user chose) must outlive the form or be replaced before the next update.
  // sha256: the digest the image must have (NormalizeSha256Hex's form); without one it is
  // sent unchecked. The embedded image is checked against the digest the build recorded.
  void SetFirmwareImage(std::span<const uint8_t> image, std::optional<std::string> sha256 = {}) {
    firmwareImage_ = image;
    firmwareDigest_ = std::move(sha256);
  }
  std::optional<std::span<const uint8_t>> FirmwareImage() const;

  // The number in a port name "COM<n>": the text from its fourth character on, strictly
  // decimal. Raises comm::Exception when it is not a port number.
  static uint16_t PortNumberOfComName(const std::string& comName);

  // While a message box or the pause of a step is open, a device change must not pull the
  // port away under the step: fn is kept and runs once the step has returned (true). False
  // when no such step is open; the caller then acts at once.
  bool DeferWhileModal(std::function<void()> fn);
  bool InModalStep() const { return modalDepth_ > 0; }

  // The application's standard exception display: a modal error box with the message. Any
  // thread; from a worker thread the box is shown later on the main thread.
  void ShowExceptionMessage(const std::string& message);

 protected:
  TForm1View& ViewInterface() { return viewInterface_; }
  // The modal steps (message boxes, the pause) count their depth, so that a device change
  // arriving from inside one can wait until it has returned.
  void ModalMessageBox(const std::string& caption, const std::string& text, TMessageIcon icon);
  void ModalPause(uint32_t ms);
  // The pause of a step after which the step goes on with then: through the view's PauseThen
  // when it has one (the step returns at once and no reply is acted upon until then has run),
  // else as ModalPause followed by then.
  void PauseThen(uint32_t ms, std::function<void()> then);

  // Ends a running update when it is over, whatever ended it: the temporary image goes and
  // the view hears of it. Called after every event that may end an update.
  void CheckUpdateEnded();
  // Runs CheckUpdateEnded when the handler it stands in returns, also by an exception.
  class TUpdateEndCheck {
   public:
    explicit TUpdateEndCheck(TForm1& form) : form_(form) {}
    ~TUpdateEndCheck() { form_.CheckUpdateEnded(); }
    TUpdateEndCheck(const TUpdateEndCheck&) = delete;
    TUpdateEndCheck& operator=(const TUpdateEndCheck&) = delete;

   private:
    TForm1& form_;
  };

 private:
  void Changed();
  intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  // Checks the image and writes the temporary file before anything is sent; on failure shows
  // why, tells the view and returns false.
  bool PrepareUpdateImage();
  void EndUpdate();
  // Where the trace and the dispatch log of this run go (FormCreate).
  void ChooseTraceFolder();

  // ---- how dialogues end (Dialogue.cpp)
  // Every end of a dialogue: no state, the packet disarmed, a reply line ending with a
  // carriage return again, no watchdog; changes of other devices held back during an update
  // are looked at now.
  void EndDialogue();
  // The query found no answer (silence, or ERROR to a query).
  void ShowNoReply();
  // The update ended without the device reporting the image's version: says so and ends.
  void FailUpdate(TUpdateOutcome outcome, std::vector<std::string> args = {});
  // The device said nothing within the reply time, or began a line it never ended.
  void DeviceSilent();
  // "wr_prog" has gone out: the update cannot be started over until it has ended.
  void ProgrammingBegun();
  // A line while the device's verdict on the transfer is awaited.
  void VerdictLine(const std::string& Data, bool IsMain, const std::string& Text);
  void ArmWatchdog();
  void DisarmWatchdog();
  void WatchdogExpired(uint32_t generation);

  // ---- device discovery (Discovery.cpp)
  // The port could not be opened on the device: what the user can do about it, when anything.
  // True when the window now says so.
  bool ShowOpenFailure(const std::exception& failure, bool forUpdate);
  // The arrival or removal concerns the device the port is open on.
  bool IsPortDevice(const platform::TUdevEvent& Event) const;
  // The port is open on the device a search would pick now.
  bool PortKeepsItsDevice() const;
  void SearchAfresh();
  // SearchAfresh once the current event has returned.
  void PostSearchAfresh();

  TForm1View& viewInterface_;
  std::string exePath_;
  TViewState view_;
  TTempImageFile tempImage_;
  std::optional<std::span<const uint8_t>> firmwareImage_;
  std::optional<std::string> firmwareDigest_;
  bool updateRunning_ = false;
  bool transferFailed_ = false;
  std::string traceFolder_ = ".";
  platform::HWND window_ = 0;
  int modalDepth_ = 0;

  std::deque<std::function<void()>> deferred_;

  uint32_t replyTimeout_ = 0;
  uint32_t watchdog_ = 0;  // the view's timer, 0 when none runs
  uint32_t watchdogGeneration_ = 0;
  TUpdateOutcome updateOutcome_ = uoNone;
  // The transfer of this update has started (its protocol's values are this update's).
  bool transferStarted_ = false;
  // A line that may be the device's verdict, come before the transmitter's end was known.
  std::optional<std::string> pendingVerdict_;
  // Arrivals and removals of other devices during an update: looked at once it has ended.
  bool hotplugPending_ = false;
  bool hotplugArrival_ = false;
  // The device the port is open on has been reported gone (its removal may wait for a step).
  bool portDeviceRemoved_ = false;
  // The probe of this opening has been sent again behind the cancel sequence.
  bool probeRepeated_ = false;

  std::mutex pendingLock_;
  std::deque<std::string> pendingExceptions_;
};

// Restricts the whole process (every thread it has) to its first processor when it may run
// on two or more. Returns true when it did so.
bool PinToFirstProcessor();

}  // namespace app
