#include "app/qt/Demo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>

#include "app/qt/MainWindow.h"
#include "app/qt/PassWindow.h"

namespace appqt {

namespace {

// The update step that shows the success box (the device accepted the image).
constexpr app::TDialogueState kSuccessBoxStep = app::dsAwaitRunning;

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

void Say(const std::string& text) {
  std::printf("demo: %s\n", text.c_str());
  std::fflush(stdout);
}

// A visible message box, if any (they are owned by no window).
QMessageBox* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

}  // namespace

TDemo::TDemo() {
  if (const char* dir = std::getenv("VEXILORA_DEMO_SCREENSHOTS"); dir != nullptr && *dir) {
    screenshotDir_ = QString::fromLocal8Bit(dir);
    if (!QDir().mkpath(screenshotDir_)) {
      Say("cannot make the screenshot folder " + screenshotDir_.toStdString());
      screenshotDir_.clear();
    }
  }
  if (const char* p = std::getenv("VEXILORA_DEMO_PASSWORD")) password_ = QString::fromUtf8(p);
  if (const char* t = std::getenv("VEXILORA_DEMO_TIMEOUT"); t != nullptr && std::atoi(t) > 0)
    timeoutMs_ = static_cast<qint64>(std::atoi(t)) * 1000;
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
  timer_.start(20);
  clock_.start();
  Say("self-driving mode: waiting for a Vexilora");
}

void TDemo::Attach(TMainWindow& window) {
  window_ = &window;
  form_ = &window.Form();
  // The progress bar tells of every step of the transfer, however fast the line is; the
  // timer could miss the middle of a quick one.
  auto* progress = window.findChild<QProgressBar*>(QStringLiteral("uiProgressBar1"));
  connect(progress, &QProgressBar::valueChanged, this, [this, progress](int value) {
    if (stage_ != TStage::Updating || progress->maximum() <= 0) return;
    const int quarter = value * 4 / progress->maximum();
    if (quarter <= lastQuarter_) return;
    lastQuarter_ = quarter;
    Say("transfer: " + std::to_string(value) + " of " + std::to_string(progress->maximum()) +
        " bytes");
    if (quarter >= 2 && !midShotTaken_ && value < progress->maximum()) {
      midShotTaken_ = true;
      Screenshot(*window_, "2-updating");
    }
  });
}

// What the window shows (in its language), not the logic's source texts.
std::string TDemo::Shown(const char* name) const {
  if (auto* box = window_->findChild<QLineEdit*>(QString::fromLatin1(name)))
    return box->text().toStdString();
  if (auto* label = window_->findChild<QLabel*>(QString::fromLatin1(name)))
    return label->text().toStdString();
  return {};
}

std::string TDemo::Versions() const {
  return "hardware " + Shown("uiTEHWVer") + ", software " + Shown("uiTESWVer") + ", image " +
         Shown("uiTEUpVer");
}

void TDemo::Screenshot(QWidget& widget, const char* name) {
  if (screenshotDir_.isEmpty()) return;
  const QString file = screenshotDir_ + QLatin1Char('/') + QLatin1String(name) + ".png";
  if (widget.grab().save(file))
    Say("screenshot " + file.toStdString());
  else
    Say("cannot save the screenshot " + file.toStdString());
}

void TDemo::Finish(int code, const std::string& text) {
  if (stage_ == TStage::Finished) return;
  stage_ = TStage::Finished;
  exitCode_ = code;
  Say(text);
}

bool TDemo::PasswordWindowOpen() const {
  for (const std::unique_ptr<TForm2>& w : window_->PasswordWindows())
    if (w->isVisible()) return true;
  return false;
}

void TDemo::HandleBox(QMessageBox& box) {
  const std::string text = OneLine(box.text().toStdString());
  const bool success = stage_ == TStage::Updating && form_ != nullptr &&
                       form_->DialogueState == kSuccessBoxStep &&
                       box.icon() == QMessageBox::Information;
  Say("message box: " + text);
  Screenshot(box, success ? "3-success-box" : "error-box");
  box.button(QMessageBox::Ok)->click();
  if (success) {
    stage_ = TStage::WaitVersion;
    Say("closed the box; the device starts its new software");
  } else {
    Finish(1, "failed: " + text);
  }
}

void TDemo::Tick() {
  if (stage_ == TStage::Finished) {
    // Repeated until the main loop runs: an end decided while the window was being made (or
    // inside a box's own loop) must still reach it.
    QCoreApplication::exit(exitCode_);
    return;
  }
  if (stage_ == TStage::Stopped) return;
  // Told to end (a signal, or closed during an update): the cancelled transfer brings the
  // window back to rest before it closes, which is no failure of the update to judge.
  if (window_ != nullptr && window_->Quitting()) {
    stage_ = TStage::Stopped;
    exitCode_ = 0;
    Say("stopped: the window was told to close");
    return;
  }
  if (clock_.elapsed() > timeoutMs_) {
    Finish(1, "gave up: nothing finished within " + std::to_string(timeoutMs_ / 1000) + " s" +
                  (form_ != nullptr ? " (" + Versions() + ")" : std::string()));
    return;
  }
  if (QMessageBox* box = OpenBox()) {
    HandleBox(*box);
    return;
  }
  if (window_ == nullptr) return;

  const app::TViewState& v = form_->View();
  if (const std::string status = Shown("uiLabel1"); status != lastStatus_) {
    lastStatus_ = status;
    Say("status: " + OneLine(lastStatus_));
  }
  for (const std::unique_ptr<TForm2>& w : window_->PasswordWindows()) {
    if (!w->isVisible() || answered_.contains(w.get())) continue;
    answered_.insert(w.get());
    if (password_.isEmpty()) {
      Finish(1, "failed: the device asks for a password; give it in VEXILORA_DEMO_PASSWORD");
      return;
    }
    Say("the device asks for its password: typing it");
    w->TextEdit()->insert(password_);
    w->OkButton()->click();
    return;
  }

  auto* button = window_->findChild<QPushButton*>(QStringLiteral("uiButton1"));
  const bool idle =
      form_->DialogueState == app::dsAwaitProbe && button->isEnabled() && window_->isEnabled();
  switch (stage_) {
    case TStage::WaitDevice:
      if (form_->DevicePresent && idle) {
        Say("device found: " + Versions());
        Screenshot(*window_, "1-device-found");
        Say("pressing \"" + button->text().toStdString() + "\"");
        stage_ = TStage::Updating;
        button->click();
      }
      break;
    case TStage::Updating:
      // Back at rest without the success box: the update was given up (or the password
      // refused).
      if (idle && !PasswordWindowOpen())
        Finish(1, "failed: the update ended without success (" + OneLine(Shown("uiLabel1")) + ")");
      break;
    case TStage::WaitVersion:
      // The device accepted the image, but the update may still end without its version
      // (pulled out, not restarted): a query of the device plugged in again would then show the
      // image's version without this update having been confirmed, the device left in its
      // bootloader by the query.
      if (const app::TUpdateOutcome outcome = form_->UpdateOutcome();
          outcome != app::uoRunning && outcome != app::uoUpdated) {
        Finish(1, "failed: the update ended before the device reported the image's version (" +
                      OneLine(Shown("uiLabel1")) + ")");
        break;
      }
      if (idle) {
        Screenshot(*window_, "4-updated");
        Say("final versions: " + Versions());
        if (v.uiTESWVer == v.uiTEUpVer)
          Finish(0, "done: the device reports software " + v.uiTESWVer);
        else
          Finish(1, "failed: the device reports software " + v.uiTESWVer + ", not " + v.uiTEUpVer);
      }
      break;
    case TStage::Finished:
    case TStage::Stopped:
      break;
  }
}

std::unique_ptr<TDemo> StartDemoIfAsked() {
  const char* demo = std::getenv("VEXILORA_DEMO");
  if (demo == nullptr || std::string(demo) != "1") return nullptr;
  return std::make_unique<TDemo>();
}

}  // namespace appqt
