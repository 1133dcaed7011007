#include "app/qt/SleepInhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <cstdlib>

namespace appqt {

namespace {

// logind answers at once; a bus that holds the call longer is not waited for beyond this.
constexpr int kCallTimeoutMs = 5000;

// Whether there is a system bus to ask at all: its address is given, or its socket is where
// the bus daemon keeps it. Without one nothing is started for it (Qt's bus connection runs a
// thread of its own).
bool SystemBusThere() {
  if (const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); address != nullptr && *address)
    return true;
  return access("/run/dbus/system_bus_socket", F_OK) == 0 ||
         access("/var/run/dbus/system_bus_socket", F_OK) == 0;
}

}  // namespace

TSleepInhibitor::~TSleepInhibitor() { Release(); }

void TSleepInhibitor::Take(const QString& why) {
  Release();
  wanted_ = true;
  const quint64 request = ++request_;
  if (!SystemBusThere()) {
    emit Answered(false);
    return;
  }
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
