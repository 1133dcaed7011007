#pragma once
// The dispatcher for POSIX serial devices: a termios device opened exclusively, read by the
// read thread, written by the write thread, watched for modem and line events by the status
// thread. Everything the read thread receives reaches the dispatch thread through the input
// queue.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "comm/Dispatcher.h"
#include "platform/Event.h"

namespace comm {

// How an output purge ended (kept as a diagnostic of the last one).
enum class TPurgeWait : uint8_t {
  pwNone,           // no write thread was running: nothing to wait for
  pwAcknowledged,   // the write thread let go of what it held and said so
  pwWriterStopped,  // the write thread had left its loop (a stop or a device failure)
  pwNoAnswer,       // neither came within the purge's limit
};

class TPlatformDispatcher : public TBaseDispatcher {
 public:
  explicit TPlatformDispatcher(TBaseComponent* owner);
  ~TPlatformDispatcher() override;

  int32_t LineFunction(int32_t code) override;
  int32_t PurgeDevice(int32_t side) override;
  int32_t ReadDeviceErrors(TDeviceStatus& status) override;
  int32_t NoteReadFailure(int32_t code) override;
  int32_t GetDeviceState(TDeviceState& record) override;
  int32_t ReadDevice(uint8_t* buffer, int32_t count) override;
  int32_t SetDeviceState(const TDeviceState& record) override;
  int32_t WriteDevice(const uint8_t* data, int32_t count) override;
  bool WaitDeviceEvent(uint32_t& mask) override;
  bool SizeDeviceQueues(int32_t inSize, int32_t outSize) override;
  void StartThreads() override;
  void StopThreads() override;
  int32_t OutputPending() override;
  int32_t InputPending() override;
  int32_t OpenDevice(const std::string& name, int32_t inSize, int32_t outSize) override;
  int32_t CloseDevice() override;
  int32_t ServiceDevice() override;
  uint8_t ReadModemLines() override;
  int32_t SetBreak(bool on) override;
  void WakeWorkers() override;

  // The first step of a close: lets the output already queued (the ring, the bytes the writer
  // holds and the device's own queue) reach the device, waiting no longer than the line
  // needs for those bytes at its speed plus one tick, and never more than 500 ms. The close
  // then drops whatever is still left, as before. A cancel sequence or a last reply queued
  // just before the close is thereby not lost.
  void DrainBeforeClose();

  // How the last output purge (ClearOutput, and the stop's first step) ended.
  TPurgeWait LastOutputPurge() const { return lastOutputPurge_.load(); }

 private:
  friend class TReadThread;
  friend class TWriteThread;
  friend class TStatusThread;

  bool OutputWaiting();
  // True when the ring is empty, the writer holds nothing and the device's own output queue
  // is empty; queued is the number of bytes still on their way.
  bool OutputSettled(int32_t& queued);
  // Writes everything pending in the output ring; 0, -160 on a device write failure, -6 when
  // the device handle was closed under it.
  int32_t DrainOutput();
  // The write thread, woken by the write wake event, has let go of what it held: every purge
  // asked for up to now is answered.
  void AnswerPurges();
  // Counter-based line errors: the bits that changed since the last look.
  uint32_t TakeCounterErrors();

  platform::TEvent readWake_{false, false};
  platform::TEvent writeWake_{false, false};
  platform::TEvent outputReady_{false, false};
  platform::TEvent statusWake_{false, false};
  // Set once the write thread has left its loop: from then on it acknowledges no purge, and a
  // purge must not wait for its end, which can itself wait for the main thread (the last
  // deliveries of a device failure run there).
  platform::TEvent writerLeft_{true, false};
  // Output purges and the writer's answers, counted. A purge has its own answer: the start
  // event that thread starts (and the end of the dispatch thread) also set must never end one
  // early, nor may the late answer to an earlier purge that gave up waiting.
  std::mutex purgeLock_;
  std::condition_variable purgeAnswered_;
  uint32_t purgesAsked_ = 0;     // purgeLock_
  uint32_t purgesAnswered_ = 0;  // purgeLock_

  // The writer's copy of the pending output (allocated once per start, never per write).
  std::unique_ptr<uint8_t[]> drainBlock_;
  int32_t drainSize_ = 0;
  // The writer holds bytes taken from the ring that are not yet written (OutputLock).
  bool writerBusy_ = false;

  // What termios cannot hold (DSR flow, DTR control, XON/XOFF limits, the fixed flags) is
  // kept here and merged into every state read.
  TDeviceState extra_;
  std::mutex extraLock_;

  std::mutex counterLock_;
  bool countersKnown_ = false;
  struct TCounters {
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
  } counters_;
  std::atomic<TPurgeWait> lastOutputPurge_{TPurgeWait::pwNone};
  std::atomic<bool> noModemLines_{false};
  std::atomic<bool> noCounters_{false};
};

}  // namespace comm
