#pragma once
// Hears udev's tty arrivals and removals in Qt's event loop and hands each one to the main
// window's device-change handler: the Linux side of the window's registration for
// device-interface notifications.

#include <memory>

#include "platform/Udev.h"

class QSocketNotifier;

namespace app {
class TForm1;
}

namespace appqt {

class TDeviceWatch {
 public:
  // Starts watching at once, so that no arrival between now and the first device search is
  // missed. When udev cannot be reached the watch stays silent (the window then never learns
  // of arrivals and removals), as a failed registration does.
  explicit TDeviceWatch(app::TForm1& form);
  ~TDeviceWatch();
  TDeviceWatch(const TDeviceWatch&) = delete;
  TDeviceWatch& operator=(const TDeviceWatch&) = delete;

  bool Watching() const { return notifier_ != nullptr; }
  // No event waits on the monitor and none is being handled: everything udev has reported so
  // far has reached the window.
  bool Idle() const;

 private:
  void Drain();

  app::TForm1& form_;
  platform::TUdevMonitor monitor_;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool draining_ = false;
};

}  // namespace appqt
