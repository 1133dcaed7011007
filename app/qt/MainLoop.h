#pragma once
// Qt's event loop serves the platform's main-thread queue: whenever an item is queued (from
// any thread), the queue's wake-up hook signals an eventfd that a socket notifier of the GUI
// thread watches, and the notifier drains the queue. Qt's nested loops (modal message boxes,
// the pause of the dialogue) keep serving it the same way.

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace appqt {

class TQueueDrain : public QObject {
  Q_OBJECT
 public:
  // Installs the wake-up hook; one at a time. GUI thread, after the application exists.
  TQueueDrain();
  // Removes the hook.
  ~TQueueDrain() override;

  // Serves every item queued so far.
  void Drain();

 private:
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace appqt
