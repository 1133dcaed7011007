#include "app/qt/MainWindow.h"

#include <QApplication>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

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

  form_ = std::make_unique<app::TForm1>(*this, exePath);
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

void TMainWindow::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  for (const std::unique_ptr<TForm2>& w : passWindows_) {
    if (w->isVisible()) w->close();
  }
}

void TMainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (firstShowDone_) return;
  firstShowDone_ = true;
  form_->FormShow();
}

}  // namespace appqt
