#include "app/qt/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>

namespace appqt {

namespace {

// A request is one short line; anything longer is not one of ours.
constexpr qint64 kMaxRequest = 4096;
// How long a connection may take to say what it wants.
constexpr int kRequestTimeoutMs = 5000;

const QByteArray kActivate = QByteArrayLiteral("activate");
const QByteArray kOk = QByteArrayLiteral("ok\n");

// Only printable characters of the token go on the line: it ends with the line feed.
QByteArray CleanToken(const QString& token) {
  QByteArray out;
  for (char c : token.toUtf8())
    if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F) out += c;
  return out;
}

}  // namespace

TSingleInstance::TSingleInstance(QString folder, QString name)
    : folder_(std::move(folder)), name_(std::move(name)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &TSingleInstance::Serve);
}

TSingleInstance::~TSingleInstance() {
  if (server_.isListening()) {
    server_.close();
    // Only the lock's holder made the socket, and it still holds the lock here: nobody else
    // can have put a socket of their own at the path meanwhile.
    QFile::remove(SocketPath());
  }
  if (lockFd_ >= 0) ::close(lockFd_);
}

QString TSingleInstance::DefaultFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime)) return {};
  return runtime;
}

QString TSingleInstance::LockPath() const { return folder_ + QLatin1Char('/') + name_ + ".lock"; }
QString TSingleInstance::SocketPath() const {
  return folder_ + QLatin1Char('/') + name_ + ".socket";
}

TSingleInstance::TClaim TSingleInstance::Claim(const QString& activationToken, int waitMs) {
  problem_.clear();
  if (folder_.isEmpty()) {
    problem_ = QStringLiteral("XDG_RUNTIME_DIR is not set");
    return TClaim::Unavailable;
  }
  if (lockFd_ < 0) {
    const QByteArray lockPath = QFile::encodeName(LockPath());
    lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
      problem_ = LockPath() + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
      return TClaim::Unavailable;
    }
  }
  const QDeadlineTimer deadline(waitMs);
  int pause = 10;
  while (true) {
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
      // Whatever is at the socket's path now was left by an instance that has ended.
      QFile::remove(SocketPath());
      if (!server_.listen(SocketPath())) {
        // The window still works; only later starts cannot find it.
        problem_ = SocketPath() + QStringLiteral(": ") + server_.errorString();
      }
      return TClaim::First;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      problem_ = LockPath() + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
      ::close(lockFd_);
      lockFd_ = -1;
      return TClaim::Unavailable;
    }
    if (TryHandOver(activationToken, static_cast<int>(deadline.remainingTime()))) {
      ::close(lockFd_);
      lockFd_ = -1;
      return TClaim::HandedOver;
    }
    if (deadline.hasExpired()) break;
    // The holder is starting up (no socket yet) or ending (its lock about to go).
    QThread::msleep(static_cast<unsigned long>(std::min<qint64>(pause, deadline.remainingTime())));
    pause = std::min(pause * 2, 200);
  }
  problem_ = QStringLiteral("the running vexilora-update (holding ") + LockPath() +
             QStringLiteral(") did not answer");
  ::close(lockFd_);
  lockFd_ = -1;
  return TClaim::NotAnswering;
}

bool TSingleInstance::TryHandOver(const QString& activationToken, int waitMs) {
  if (waitMs <= 0) return false;
  QLocalSocket socket;
  socket.connectToServer(SocketPath());
  const QDeadlineTimer deadline(waitMs);
  if (!socket.waitForConnected(static_cast<int>(std::min<qint64>(1000, deadline.remainingTime()))))
    return false;
  QByteArray request = kActivate;
  const QByteArray token = CleanToken(activationToken);
  if (!token.isEmpty()) request += ' ' + token;
  request += '\n';
  socket.write(request);
  if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
  QByteArray reply;
  while (!reply.contains('\n')) {
    if (deadline.hasExpired() || socket.state() != QLocalSocket::ConnectedState) break;
    if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) break;
    reply += socket.read(kMaxRequest);
  }
  // The running instance may end right after answering: the answer counts, not the goodbye.
  reply += socket.readAll();
  return reply.startsWith(kOk);
}

void TSingleInstance::Serve() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A client that says nothing (or not a request) is dropped, never waited for.
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequest) socket->abort();
        return;
      }
      const QByteArray line = socket->readLine(kMaxRequest).trimmed();
      const qsizetype blank = line.indexOf(' ');
      const QByteArray verb = blank < 0 ? line : line.left(blank);
      if (verb != kActivate) {
        socket->abort();
        return;
      }
      const QString token =
          blank < 0 ? QString() : QString::fromUtf8(line.mid(blank + 1).trimmed());
      socket->write(kOk);
      socket->flush();
      socket->disconnectFromServer();
      emit ActivationRequested(token);
    });
  }
}

}  // namespace appqt
