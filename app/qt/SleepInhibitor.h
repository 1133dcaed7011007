#pragma once
// Holds off system sleep while an update runs: a logind inhibitor lock ("sleep:idle", mode
// "block") taken over the system bus. A machine that goes to sleep mid-transfer leaves the
// device in its bootloader without its application. Without logind or a system bus the update
// goes on without the lock, silently.

#include <QObject>
#include <QString>

namespace appqt {

class TSleepInhibitor : public QObject {
  Q_OBJECT
 public:
  TSleepInhibitor() = default;
  // Releases a lock still held.
  ~TSleepInhibitor() override;
  TSleepInhibitor(const TSleepInhibitor&) = delete;
  TSleepInhibitor& operator=(const TSleepInhibitor&) = delete;

  // Asks logind for the lock, why saying what is being done; returns at once (the lock is
  // held once logind has answered). A lock already wanted is released first.
  void Take(const QString& why);
  // Drops the lock, or the wish for it when logind has not answered yet.
  void Release();
  // The lock is held: logind answered with its descriptor.
  bool Held() const { return fd_ >= 0; }
  // Take was called and Release not since.
  bool Wanted() const { return wanted_; }

 signals:
  // logind answered a Take (held: the lock came; otherwise it was refused or nobody answered).
  void Answered(bool held);

 private:
  int fd_ = -1;
  bool wanted_ = false;
  // Counts the requests, so that an answer to a request given up meanwhile is dropped.
  quint64 request_ = 0;
};

}  // namespace appqt
