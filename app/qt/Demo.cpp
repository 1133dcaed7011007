#include "app/qt/Demo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/qt/MainWindow.h"
#include "app/qt/PassWindow.h"

namespace appqt {

namespace {

// The update step that shows the success box (the device accepted the image).
constexpr int kSuccessBoxStep = 16;

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

class TDemo : public QObject {
 public:
  explicit TDemo(TMainWindow& window) : window_(window), form_(window.Form()) {
    if (const char* dir = std::getenv("VEXILORA_DEMO_SCREENSHOTS"); dir != nullptr && *dir) {
      screenshotDir_ = QString::fromLocal8Bit(dir);
      if (!QDir().mkpath(screenshotDir_)) {
        Say("cannot make the screenshot folder " + screenshotDir_.toStdString());
        screenshotDir_.clear();
      }
    }
    if (const char* p = std::getenv("VEXILORA_DEMO_PASSWORD")) password_ = QString::fromUtf8(p);
    timeoutMs_ = 300 * 1000;
    if (const char* t = std::getenv("VEXILORA_DEMO_TIMEOUT"); t != nullptr && std::atoi(t) > 0)
      timeoutMs_ = static_cast<qint64>(std::atoi(t)) * 1000;

    // The progress bar tells of every step of the transfer, however fast the line is; a
    // timer would miss the middle of a quick one.
    auto* progress = window_.findChild<QProgressBar*>(QStringLiteral("uiProgressBar1"));
    connect(progress, &QProgressBar::valueChanged, this, [this, progress](int value) {
      if (stage_ != TStage::Updating || progress->maximum() <= 0) return;
      const int quarter = value * 4 / progress->maximum();
      if (quarter <= lastQuarter_) return;
      lastQuarter_ = quarter;
      Say("transfer: " + std::to_string(value) + " of " + std::to_string(progress->maximum()) +
          " bytes");
      if (quarter >= 2 && !midShotTaken_ && value < progress->maximum()) {
        midShotTaken_ = true;
        Screenshot(window_, "2-updating");
      }
    });
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
    timer_.start(20);
    clock_.start();
    Say("self-driving mode: waiting for a Vexilora");
  }

 private:
  enum class TStage { WaitDevice, Updating, WaitVersion, Finished };

  static void Say(const std::string& text) {
    std::printf("demo: %s\n", text.c_str());
    std::fflush(stdout);
  }

  std::string Versions() const {
    const app::TViewState& v = form_.View();
    return "hardware " + v.uiTEHWVer + ", software " + v.uiTESWVer + ", image " + v.uiTEUpVer;
  }

  void Screenshot(QWidget& widget, const char* name) {
    if (screenshotDir_.isEmpty()) return;
    const QString file = screenshotDir_ + QLatin1Char('/') + QLatin1String(name) + ".png";
    if (widget.grab().save(file))
      Say("screenshot " + file.toStdString());
    else
      Say("cannot save the screenshot " + file.toStdString());
  }

  void Finish(int code, const std::string& text) {
    if (stage_ == TStage::Finished) return;
    stage_ = TStage::Finished;
    timer_.stop();
    Say(text);
    // From the main loop, not from inside a message box's own loop.
    QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
  }

  // A visible message box, if any (they are owned by no window).
  static QMessageBox* OpenBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box != nullptr && box->isVisible()) return box;
    }
    return nullptr;
  }

  bool PasswordWindowOpen() const {
    for (const std::unique_ptr<TForm2>& w : window_.PasswordWindows())
      if (w->isVisible()) return true;
    return false;
  }

  void Tick() {
    if (stage_ == TStage::Finished) return;
    const app::TViewState& v = form_.View();
    if (v.uiLabel1 != lastStatus_) {
      lastStatus_ = v.uiLabel1;
      Say("status: " + OneLine(lastStatus_));
    }
    if (clock_.elapsed() > timeoutMs_) {
      Finish(1, "gave up: nothing finished within " + std::to_string(timeoutMs_ / 1000) + " s (" +
                    Versions() + ")");
      return;
    }

    if (QMessageBox* box = OpenBox()) {
      const std::string text = OneLine(box->text().toStdString());
      const bool success = stage_ == TStage::Updating && form_.DialogueState == kSuccessBoxStep &&
                           box->icon() == QMessageBox::Information;
      Say("message box: " + text);
      Screenshot(*box, success ? "3-success-box" : "error-box");
      box->button(QMessageBox::Ok)->click();
      if (success) {
        stage_ = TStage::WaitVersion;
        Say("closed the box; the device starts its new software");
      } else {
        Finish(1, "failed: " + text);
      }
      return;
    }

    for (const std::unique_ptr<TForm2>& w : window_.PasswordWindows()) {
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

    auto* button = window_.findChild<QPushButton*>(QStringLiteral("uiButton1"));
    const bool idle = form_.DialogueState == 0 && button->isEnabled() && window_.isEnabled();
    switch (stage_) {
      case TStage::WaitDevice:
        if (form_.DevicePresent && idle) {
          Say("device found: " + Versions());
          Screenshot(window_, "1-device-found");
          Say("pressing \"" + button->text().toStdString() + "\"");
          stage_ = TStage::Updating;
          button->click();
        }
        break;
      case TStage::Updating:
        // Back to rest without the success box: the update was given up (or the password
        // window cancelled).
        if (idle && !PasswordWindowOpen())
          Finish(1, "failed: the update ended without success (" + OneLine(v.uiLabel1) + ")");
        break;
      case TStage::WaitVersion:
        if (idle) {
          Screenshot(window_, "4-updated");
          Say("final versions: " + Versions());
          if (v.uiTESWVer == v.uiTEUpVer)
            Finish(0, "done: the device reports software " + v.uiTESWVer);
          else
            Finish(1,
                   "failed: the device reports software " + v.uiTESWVer + ", not " + v.uiTEUpVer);
        }
        break;
      case TStage::Finished:
        break;
    }
  }

  TMainWindow& window_;
  app::TForm1& form_;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 timeoutMs_ = 0;
  QString screenshotDir_;
  QString password_;
  TStage stage_ = TStage::WaitDevice;
  std::string lastStatus_;
  int lastQuarter_ = -1;
  bool midShotTaken_ = false;
  QSet<const QWidget*> answered_;
};

}  // namespace

std::unique_ptr<QObject> StartDemoIfAsked(TMainWindow& window) {
  const char* demo = std::getenv("VEXILORA_DEMO");
  if (demo == nullptr || std::string(demo) != "1") return nullptr;
  return std::make_unique<TDemo>(window);
}

}  // namespace appqt
