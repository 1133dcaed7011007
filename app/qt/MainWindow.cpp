#include "app/qt/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <cstdio>

#include "app/qt/Language.h"
#include "app/qt/PassWindow.h"

namespace appqt {

namespace {

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), s.size()); }

// The caption is the design caption (a text of the logic) followed by the file version.
QString CaptionText(const std::string& caption) {
  const std::string design = app::kDesignCaption;
  if (caption.rfind(design, 0) != 0) return FromUtf8(caption);
  return TranslateLogicText(design) + FromUtf8(caption.substr(design.size()));
}

// A version box holds the device's version as it said it, or one of the logic's own words.
QString VersionBoxText(const std::string& text) {
  if (text == app::kAbsent || text == app::kBootloader) return TranslateLogicText(text);
  return FromUtf8(text);
}

QLineEdit* MakeVersionBox(QWidget* parent, int left, int top, bool flat) {
  auto* box = new QLineEdit(parent);
  box->setGeometry(left, top, 138, 21);
  box->setReadOnly(true);
  box->setAlignment(Qt::AlignCenter);
  box->setFocusPolicy(Qt::NoFocus);
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  box->setPalette(palette);
  if (flat) {
    box->setFrame(false);
    box->setStyleSheet(QStringLiteral(
        "QLineEdit { border: 1px solid palette(mid); background: palette(button); }"));
  }
  return box;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

// The question before the window closes during an update.
constexpr const char* kCloseQuestionTitle = QT_TRANSLATE_NOOP("TForm1", "Прервать обновление?");
constexpr const char* kCloseQuestion = QT_TRANSLATE_NOOP(
    "TForm1",
    "Идёт обновление Vexilora. Если закрыть окно сейчас, обновление будет прервано и Vexilora "
    "останется в загрузчике без программного обеспечения.\n\nЗакрыть окно?");
constexpr const char* kCloseAnyway = QT_TRANSLATE_NOOP("TForm1", "Прервать и закрыть");
constexpr const char* kKeepUpdating = QT_TRANSLATE_NOOP("TForm1", "Продолжить обновление");
// Why system sleep is held off: logind shows it to whoever tries to suspend meanwhile.
constexpr const char* kInhibitWhy =
    QT_TRANSLATE_NOOP("TForm1", "Обновление программного обеспечения Vexilora на %1");

QString Translated(const char* text) { return QCoreApplication::translate("TForm1", text); }

}  // namespace

QFont TMainWindow::DesignFont() {
  QString family = QStringLiteral("Tahoma");
  if (!QFontDatabase::families().contains(family)) {
    // The family the system really draws its sans text with (DejaVu Sans on Debian), not an
    // alias such as "Sans Serif".
    QFont probe(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    probe.setStyleHint(QFont::SansSerif);
    family = QFontInfo(probe).family();
  }
  QFont font(family);
  font.setPixelSize(11);
  return font;
}

TMainWindow::TMainWindow(const std::string& exePath)
    : QWidget(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("TForm1"));
  setFont(DesignFont());
  setFixedSize(311, 230);
  setAttribute(Qt::WA_DeleteOnClose, false);

  uiGBControl = new QWidget(this);
  uiGBControl->setObjectName(QStringLiteral("uiGBControl"));
  uiGBControl->setGeometry(0, 0, 297, 230);

  uiLHWVer = MakeLabel(uiGBControl, tr("Аппаратная версия :"), 24, 16);
  uiLHWVer->setObjectName(QStringLiteral("uiLHWVer"));
  uiTEHWVer = MakeVersionBox(uiGBControl, 153, 15, false);
  uiTEHWVer->setObjectName(QStringLiteral("uiTEHWVer"));
  uiLSWVer = MakeLabel(uiGBControl, tr("Программная версия :"), 24, 43);
  uiLSWVer->setObjectName(QStringLiteral("uiLSWVer"));
  uiTESWVer = MakeVersionBox(uiGBControl, 153, 42, false);
  uiTESWVer->setObjectName(QStringLiteral("uiTESWVer"));
  uiLUpVer = MakeLabel(uiGBControl, tr("Версия обновления :"), 24, 70);
  uiLUpVer->setObjectName(QStringLiteral("uiLUpVer"));
  uiTEUpVer = MakeVersionBox(uiGBControl, 153, 69, true);
  uiTEUpVer->setObjectName(QStringLiteral("uiTEUpVer"));

  // The 48 x 48 picture stretched to the image's size, drawn for the screen's pixel ratio.
  uiImage1 = new TStatusImage(uiGBControl);
  uiImage1->setObjectName(QStringLiteral("uiImage1"));
  uiImage1->setGeometry(24, 107, 52, 52);

  uiLabel1 = new QLabel(uiGBControl);
  uiLabel1->setObjectName(QStringLiteral("uiLabel1"));
  uiLabel1->setGeometry(88, 96, 203, 77);
  uiLabel1->setWordWrap(true);
  uiLabel1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  uiLabel1->setTextFormat(Qt::PlainText);

  uiButton1 = new QPushButton(tr("Обновить Vexilora"), uiGBControl);
  uiButton1->setObjectName(QStringLiteral("uiButton1"));
  uiButton1->setGeometry(24, 192, 121, 25);
  uiButton1->setAutoDefault(false);
  connect(uiButton1, &QPushButton::clicked, this, [this] { form_->uiButton1Click(); });

  uiProgressBar1 = new QProgressBar(uiGBControl);
  uiProgressBar1->setObjectName(QStringLiteral("uiProgressBar1"));
  uiProgressBar1->setGeometry(153, 192, 138, 25);
  uiProgressBar1->setTextVisible(false);

  uiTraceNote = new QLabel(uiGBControl);
  uiTraceNote->setObjectName(QStringLiteral("uiTraceNote"));
  uiTraceNote->setGeometry(24, 217, 267, 13);
  uiTraceNote->setTextFormat(Qt::RichText);
  uiTraceNote->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(uiTraceNote, &QLabel::linkActivated, this,
          [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
  uiTraceNote->hide();

  form_ = std::make_unique<app::TForm1>(*this, exePath);
  form_->SetReplyTimeout(kReplyTimeoutMs);
  StateChanged();

  // Centred on the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }

  deviceWatch_ = std::make_unique<TDeviceWatch>(*form_);
  form_->FormCreate();
}

TMainWindow::~TMainWindow() {
  deviceWatch_.reset();
  passWindows_.clear();
  form_.reset();
}

void TMainWindow::StateChanged() {
  if (!form_) return;
  const app::TViewState& v = form_->View();
  const QString caption = CaptionText(v.Caption);
  if (windowTitle() != caption) setWindowTitle(caption);
  auto setBox = [](QLineEdit* box, const std::string& text) {
    const QString t = VersionBoxText(text);
    if (box->text() != t) box->setText(t);
  };
  setBox(uiTEHWVer, v.uiTEHWVer);
  setBox(uiTESWVer, v.uiTESWVer);
  setBox(uiTEUpVer, v.uiTEUpVer);
  const QString status = TranslateStatusText(v.uiLabel1Template, v.uiLabel1Args);
  if (uiLabel1->text() != status) uiLabel1->setText(status);
  ShowTraceNote(v.TraceNote);
  if (v.uiImage1 >= 0 && v.uiImage1 < TStatusImage::kIconCount) uiImage1->SetIcon(v.uiImage1);
  uiButton1->setEnabled(v.uiButton1Enabled);
  const int maximum = std::max(0, v.ProgressMax);
  if (uiProgressBar1->maximum() != maximum) uiProgressBar1->setRange(0, maximum);
  const int position = std::clamp(v.ProgressPosition, 0, maximum);
  if (uiProgressBar1->value() != position) uiProgressBar1->setValue(position);
  if (isEnabled() != v.Enabled) setEnabled(v.Enabled);
}

void TMainWindow::MessageBox(const std::string& caption, const std::string& text,
                             app::TMessageIcon icon) {
  QMessageBox::Icon qtIcon = QMessageBox::Information;
  if (icon == app::TMessageIcon::Error) qtIcon = QMessageBox::Critical;
  if (icon == app::TMessageIcon::Warning) qtIcon = QMessageBox::Warning;
  // Owned by no window, as the platform's message box without an owner.
  QMessageBox box(qtIcon, TranslateLogicText(caption), TranslateLogicText(text), QMessageBox::Ok,
                  nullptr);
  box.setFont(DesignFont());
  box.button(QMessageBox::Ok)->setText(tr("ОК"));
  box.exec();
}

void TMainWindow::Pause(uint32_t ms) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
  // Painting and the main-thread queue go on; the user's input waits until the pause ends.
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

uint32_t TMainWindow::SetTimer(uint32_t ms, std::function<void()> fire) {
  const uint32_t id = ++lastTimer_ == 0 ? ++lastTimer_ : lastTimer_;
  auto* timer = new QTimer(this);
  timer->setSingleShot(true);
  connect(timer, &QTimer::timeout, this, [this, id, fire = std::move(fire)] {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->deleteLater();
    timers_.erase(it);
    fire();
  });
  timers_[id] = timer;
  timer->start(static_cast<int>(ms));
  return id;
}

void TMainWindow::KillTimer(uint32_t id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

void TMainWindow::OpenPasswordWindow() { passWindows_.push_back(std::make_unique<TForm2>(*this)); }

void TMainWindow::BringToFront(const QString& activationToken) {
  // Wayland's platform plugin hands this token to the compositor with the next activation.
  if (!activationToken.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  if (!isVisible()) show();
  raise();
  activateWindow();
  // What holds the input now (a message box, the password window) goes on top of it.
  for (const std::unique_ptr<TForm2>& w : passWindows_) {
    if (w->isVisible()) {
      w->raise();
      w->activateWindow();
    }
  }
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

void TMainWindow::UpdateStarted(const std::string& devicePath) {
  inhibitor_.Take(Translated(kInhibitWhy).arg(FromUtf8(devicePath)));
}

void TMainWindow::UpdateEnded() { inhibitor_.Release(); }

void TMainWindow::UpdateNotStarted(const std::string& reason) {
  std::fprintf(stderr, "%s: update not started: %s\n", app::kApplicationTitle, reason.c_str());
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  if (!quitting_ && form_ && form_->UpdateRunning()) {
    // Not closed now in either case: yes closes it once the cancel sequence is out.
    event->ignore();
    if (closeQuestion_ == nullptr && AskToCancelUpdate()) CancelAndClose();
    return;
  }
  QWidget::closeEvent(event);
  for (const std::unique_ptr<TForm2>& w : passWindows_) {
    if (w->isVisible()) w->close();
  }
}

bool TMainWindow::AskToCancelUpdate() {
  QMessageBox box(QMessageBox::Warning, Translated(kCloseQuestionTitle), Translated(kCloseQuestion),
                  QMessageBox::NoButton, this);
  box.setObjectName(QStringLiteral("closeQuestion"));
  box.setFont(DesignFont());
  QPushButton* close = box.addButton(Translated(kCloseAnyway), QMessageBox::DestructiveRole);
  close->setObjectName(QStringLiteral("closeAnyway"));
  QPushButton* keep = box.addButton(Translated(kKeepUpdating), QMessageBox::RejectRole);
  keep->setObjectName(QStringLiteral("keepUpdating"));
  // A hurried Enter or Escape keeps the update going.
  box.setDefaultButton(keep);
  box.setEscapeButton(keep);
  closeQuestion_ = &box;
  box.exec();
  closeQuestion_ = nullptr;
  // An update that ended while the question was open leaves nothing to cancel; the window
  // closes as asked all the same.
  return box.clickedButton() == close;
}

void TMainWindow::CancelAndClose() {
  if (quitting_) return;
  quitting_ = true;
  // The question no longer matters: the window is going.
  if (closeQuestion_ != nullptr) closeQuestion_->done(QMessageBox::Cancel);
  ContinueShutdown();
}

void TMainWindow::ContinueShutdown() {
  // A message box or the pause of a dialogue step still uses the port: its box is closed and
  // the shutdown goes on once the step has returned.
  if (form_->InModalStep()) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box != nullptr && box->isVisible()) box->done(QMessageBox::Ok);
    }
    QTimer::singleShot(10, this, [this] { ContinueShutdown(); });
    return;
  }
  bool cancelled = false;
  try {
    cancelled = form_->CancelTransfer();
  } catch (...) {
  }
  if (!cancelled) {
    ClosePortAndWindow();
    return;
  }
  // Closing the port drops what is still waiting to be written: it closes once the cancel
  // sequence is out, or after half a second on a line that does not take it.
  CloseWhenSent(QDateTime::currentMSecsSinceEpoch() + 500, 0);
}

void TMainWindow::CloseWhenSent(qint64 deadlineMs, int quietRounds) {
  int32_t waiting = 0;
  try {
    waiting = form_->ComPort1.Open() ? form_->ComPort1.OutputUsed() : 0;
  } catch (...) {
  }
  // One more round once the ring is empty: the write thread may still hold the last bytes.
  if ((waiting <= 0 && quietRounds >= 1) || QDateTime::currentMSecsSinceEpoch() >= deadlineMs) {
    ClosePortAndWindow();
    return;
  }
  QTimer::singleShot(10, this, [this, deadlineMs, quietRounds, waiting] {
    CloseWhenSent(deadlineMs, waiting <= 0 ? quietRounds + 1 : 0);
  });
}

void TMainWindow::ClosePortAndWindow() {
  // The port's close ends the update: the temporary image goes and sleep is allowed again.
  try {
    form_->ComPort1.SetOpen(false);
  } catch (...) {
  }
  close();
}

void TMainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (firstShowDone_) return;
  firstShowDone_ = true;
  form_->FormShow();
}

void TMainWindow::ShowTraceNote(const std::string& folder) {
  if (folder.empty()) {
    uiTraceNote->hide();
    return;
  }
  const QString path = QString::fromStdString(folder);
  // The home folder as ~, and the middle of a path too long for the line left out: the
  // tooltip and the accessible name carry it whole.
  QString shown = path;
  const QString home = QDir::homePath();
  if (!home.isEmpty() && home != QLatin1String("/") &&
      (shown == home || shown.startsWith(home + QLatin1Char('/'))))
    shown = QLatin1Char('~') + shown.mid(home.size());
  const QString whole = TranslateStatusText(app::kTraceNote, {folder});
  const QString prefix = TranslateStatusText(app::kTraceNote, {""});
  const QFontMetrics metrics(uiTraceNote->font());
  const int room = uiTraceNote->width() - metrics.horizontalAdvance(prefix) - 2;
  shown = metrics.elidedText(shown, Qt::ElideMiddle, std::max(room, 40));
  const QString link =
      QStringLiteral("<a href=\"%1\">%2</a>")
          .arg(QUrl::fromLocalFile(path).toString().toHtmlEscaped(), shown.toHtmlEscaped());
  const QString text = prefix.toHtmlEscaped() + link;
  if (uiTraceNote->text() != text) uiTraceNote->setText(text);
  uiTraceNote->setToolTip(path);
  uiTraceNote->setAccessibleName(whole);
  uiTraceNote->show();
}

}  // namespace appqt
