#pragma once
// One window per user: a second start of the utility hands over to the running one, which
// comes to the front, and exits. Two files in a per-user folder ($XDG_RUNTIME_DIR) do it:
//
// - a lock file the running instance holds an flock on for its lifetime. The kernel drops the
//   lock with the process however it ends, so a crashed instance never blocks the next start,
//   and of two starts at the same moment exactly one gets it;
// - a local socket the running instance listens on. Only the lock's holder creates it, after
//   removing whatever a crashed predecessor left at that path; a start that finds the lock
//   held connects there, says "activate" (with the desktop's activation token) and waits for
//   "ok". While the holder is still starting up, its socket is not there yet: the second
//   start tries again until the holder answers, or the lock comes free (the holder ended),
//   or its patience ends.

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace appqt {

class TSingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class TClaim {
    First,         // this is the running instance now
    HandedOver,    // the running instance took the request; this one ends
    NotAnswering,  // an instance holds the lock but did not answer in time
    Unavailable,   // no per-user folder, or its files cannot be made: no single window
  };

  // folder: the per-user folder (DefaultFolder()); name: the files' base name.
  explicit TSingleInstance(QString folder, QString name = QStringLiteral("vexilora-update"));
  ~TSingleInstance() override;

  // $XDG_RUNTIME_DIR when it is set to an absolute path, otherwise empty.
  static QString DefaultFolder();

  // Becomes the running instance, or hands over to the one that runs: sends it
  // activationToken and returns HandedOver once it has answered. Waits at most waitMs for an
  // instance that holds the lock to answer.
  TClaim Claim(const QString& activationToken, int waitMs = 15000);
  // Why the last Claim returned Unavailable or NotAnswering.
  const QString& Problem() const { return problem_; }

  QString LockPath() const;
  QString SocketPath() const;
  // Whether this instance listens for others (after Claim returned First).
  bool Listening() const { return server_.isListening(); }

 signals:
  // Another start asked for the window (on the main thread, from the event loop).
  void ActivationRequested(const QString& activationToken);

 private:
  bool TryHandOver(const QString& activationToken, int waitMs);
  void Serve();

  QString folder_;
  QString name_;
  int lockFd_ = -1;
  QLocalServer server_;
  QString problem_;
};

}  // namespace appqt
