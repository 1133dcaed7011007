#include "tests/app/support/QtWait.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace apptest {

bool QtWaitUntil(const std::function<bool()>& cond, uint32_t timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() >= static_cast<qint64>(timeoutMs)) return cond();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

QMessageBox* FindMessageBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

TBoxCloser::TBoxCloser(std::function<void(const TSeenBox&)> whileOpen)
    : whileOpen_(std::move(whileOpen)), timer_(new QTimer) {
  QObject::connect(timer_, &QTimer::timeout, [this] { Poll(); });
  timer_->start(10);
}

TBoxCloser::~TBoxCloser() {
  timer_->stop();
  delete timer_;
}

void TBoxCloser::Poll() {
  QMessageBox* box = FindMessageBox();
  if (box == nullptr || !closing_) return;
  TSeenBox seen{box->windowTitle(), box->text(), box->icon()};
  seen_.push_back(seen);
  if (whileOpen_) whileOpen_(seen);
  if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box->close();
  }
}

void SaveScreenshot(QWidget* widget, const std::string& name) {
#if defined(__SANITIZE_THREAD__)
  // Grabbing a picture runs Qt's image work on its thread pool, which the sanitizer cannot
  // follow; the other builds save the screenshots.
  (void)widget;
  (void)name;
  return;
#endif
  QDir().mkpath(QStringLiteral(APP_SCREENSHOT_DIR));
  widget->grab().save(QStringLiteral(APP_SCREENSHOT_DIR) + "/" + QString::fromStdString(name) +
                      ".png");
}

}  // namespace apptest
