#include "app/qt/SleepInhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

namespace appqt {

namespace {

// logind answers at once; a bus that holds the call longer is not waited for beyond this.
constexpr int kCallTimeoutMs = 5000;

}  // namespace

TSleepInhibitor::~TSleepInhibitor() { Release(); }

void TSleepInhibitor::Take(const QString& why) {
  Release();
  wanted_ = true;
  const quint64 request = ++request_;
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    emit Answered(false);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QStringLiteral("sleep:idle") << QStringLiteral("Vexilora update") << why
       << QStringLiteral("block");
  // Asynchronous: the window goes on while the bus answers.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, request](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
            if (request != request_ || !wanted_) return;  // released meanwhile
            int fd = -1;
            if (reply.isValid() && reply.value().isValid())
              fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
            fd_ = fd;
            emit Answered(fd_ >= 0);
          });
}

void TSleepInhibitor::Release() {
  wanted_ = false;
  ++request_;
  // The lock lasts while its descriptor is open.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace appqt
