#include "app/qt/MainWindow.h"

#include <QEventLoop>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>

#include "app/qt/PassWindow.h"

namespace appqt {

namespace {

const char* const kIconFiles[5] = {":/icons/error.svg", ":/icons/warning.svg",
                                   ":/icons/information.svg", ":/icons/not-allowed.svg",
                                   ":/icons/success.svg"};

QPixmap RenderIcon(const char* file) {
  QPixmap pixmap(48, 48);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer{QString::fromLatin1(file)};
  QPainter painter(&pixmap);
  renderer.render(&painter);
  return pixmap;
}

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), s.size()); }

// A carriage return in a status text is a line break.
QString StatusText(const std::string& s) {
  QString text = FromUtf8(s);
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
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

QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
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

  for (size_t i = 0; i < uiImageList1_.size(); ++i) uiImageList1_[i] = RenderIcon(kIconFiles[i]);

  uiGBControl = new QWidget(this);
  uiGBControl->setObjectName(QStringLiteral("uiGBControl"));
  uiGBControl->setGeometry(0, 0, 297, 230);

  uiLHWVer = MakeLabel(uiGBControl, "Аппаратная версия :", 24, 16);
  uiLHWVer->setObjectName(QStringLiteral("uiLHWVer"));
  uiTEHWVer = MakeVersionBox(uiGBControl, 153, 15, false);
  uiTEHWVer->setObjectName(QStringLiteral("uiTEHWVer"));
  uiLSWVer = MakeLabel(uiGBControl, "Программная версия :", 24, 43);
  uiLSWVer->setObjectName(QStringLiteral("uiLSWVer"));
  uiTESWVer = MakeVersionBox(uiGBControl, 153, 42, false);
  uiTESWVer->setObjectName(QStringLiteral("uiTESWVer"));
  uiLUpVer = MakeLabel(uiGBControl, "Версия обновления :", 24, 70);
  uiLUpVer->setObjectName(QStringLiteral("uiLUpVer"));
  uiTEUpVer = MakeVersionBox(uiGBControl, 153, 69, true);
  uiTEUpVer->setObjectName(QStringLiteral("uiTEUpVer"));

  uiImage1 = new QLabel(uiGBControl);
  uiImage1->setObjectName(QStringLiteral("uiImage1"));
  uiImage1->setGeometry(24, 107, 52, 52);
  uiImage1->setScaledContents(true);  // the 48 x 48 icon stretched to the image's size
  uiImage1->setAttribute(Qt::WA_TransparentForMouseEvents);
  uiImage1->setAttribute(Qt::WA_TranslucentBackground);

  uiLabel1 = new QLabel(uiGBControl);
  uiLabel1->setObjectName(QStringLiteral("uiLabel1"));
  uiLabel1->setGeometry(88, 96, 203, 77);
  uiLabel1->setWordWrap(true);
  uiLabel1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  uiLabel1->setTextFormat(Qt::PlainText);

  uiButton1 = new QPushButton(QString::fromUtf8("Обновить Vexilora"), uiGBControl);
  uiButton1->setObjectName(QStringLiteral("uiButton1"));
  uiButton1->setGeometry(24, 192, 121, 25);
  uiButton1->setAutoDefault(false);
  connect(uiButton1, &QPushButton::clicked, this, [this] { form_->uiButton1Click(); });

  uiProgressBar1 = new QProgressBar(uiGBControl);
  uiProgressBar1->setObjectName(QStringLiteral("uiProgressBar1"));
  uiProgressBar1->setGeometry(153, 192, 138, 25);
  uiProgressBar1->setTextVisible(false);

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
  const QString caption = FromUtf8(v.Caption);
  if (windowTitle() != caption) setWindowTitle(caption);
  auto setBox = [](QLineEdit* box, const std::string& text) {
    const QString t = FromUtf8(text);
    if (box->text() != t) box->setText(t);
  };
  setBox(uiTEHWVer, v.uiTEHWVer);
  setBox(uiTESWVer, v.uiTESWVer);
  setBox(uiTEUpVer, v.uiTEUpVer);
  const QString status = StatusText(v.uiLabel1);
  if (uiLabel1->text() != status) uiLabel1->setText(status);
  if (v.uiImage1 != shownIcon_ && v.uiImage1 >= 0 && v.uiImage1 < 5) {
    shownIcon_ = v.uiImage1;
    uiImage1->setPixmap(uiImageList1_[static_cast<size_t>(shownIcon_)]);
  }
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
  QMessageBox box(qtIcon, FromUtf8(caption), FromUtf8(text), QMessageBox::Ok, nullptr);
  box.setFont(DesignFont());
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
