#include "app/qt/DeviceWatch.h"

#include <poll.h>

#include <QObject>
#include <QSocketNotifier>
#include <exception>

#include "app/Main.h"

namespace appqt {

TDeviceWatch::TDeviceWatch(app::TForm1& form) : form_(form) {
  if (!monitor_.Valid()) return;
  notifier_ = std::make_unique<QSocketNotifier>(monitor_.Fd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
}

TDeviceWatch::~TDeviceWatch() = default;

bool TDeviceWatch::Idle() const {
  if (draining_) return false;
  if (!notifier_) return true;
  pollfd p{monitor_.Fd(), POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

void TDeviceWatch::Drain() {
  // A handler may open a nested event loop (a message box of the dialogue). The notifier
  // rests meanwhile (it would fire for ever on the waiting events); this drain takes them, in
  // their order, once the handler has returned.
  if (draining_) return;
  struct TResting {
    TDeviceWatch& watch;
    explicit TResting(TDeviceWatch& w) : watch(w) {
      watch.draining_ = true;
      watch.notifier_->setEnabled(false);
    }
    ~TResting() {
      watch.notifier_->setEnabled(true);
      watch.draining_ = false;
    }
  } resting(*this);
  // Nothing may escape into Qt's event loop; the application's exception display shows it.
  try {
    while (std::optional<platform::TUdevEvent> event = monitor_.Read()) {
      try {
        form_.DeviceChange(*event);
      } catch (const std::exception& e) {
        form_.ShowExceptionMessage(e.what());
      }
    }
  } catch (...) {
  }
}

}  // namespace appqt
