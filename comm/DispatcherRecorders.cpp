// The byte trace and dispatch log recorders, and the writing of what they hold into their
// files (the file formats are RecorderFiles.cpp's).

#include <memory>
#include <mutex>
#include <string>

#include "comm/Dispatcher.h"
#include "comm/RecorderFiles.h"
#include "platform/Clock.h"
#include "platform/SystemText.h"

namespace comm {

// ---- trace recorder ------------------------------------------------------------------------

void TBaseDispatcher::RecordTraceByte(uint8_t kind, uint8_t byte) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (!traceBuf_ || traceSize_ == 0) return;
  traceBuf_[2 * static_cast<size_t>(tracePosition_)] = kind;
  traceBuf_[2 * static_cast<size_t>(tracePosition_) + 1] = byte;
  if (++tracePosition_ >= traceSize_) {
    tracePosition_ = 0;
    traceWrapped_ = true;
  }
}

int32_t TBaseDispatcher::BeginTrace(uint32_t entries) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (traceBuf_) {
    ClearTrace();
  } else {
    if (entries > kMaxTraceSize) return -1002;
    traceSize_ = entries;
    tracePosition_ = 0;
    traceWrapped_ = false;
    traceBuf_.reset(new (std::nothrow) uint8_t[2 * static_cast<size_t>(entries) + 2]());
    if (!traceBuf_) return -8;
  }
  traceOn_.store(true);
  return 0;
}

int32_t TBaseDispatcher::ClearTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  tracePosition_ = 0;
  traceWrapped_ = false;
  return 0;
}

void TBaseDispatcher::DiscardTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  traceOn_.store(false);
  traceBuf_.reset();
  traceSize_ = 0;
  tracePosition_ = 0;
  traceWrapped_ = false;
}

void TBaseDispatcher::ResumeTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (traceBuf_) traceOn_.store(true);
}

void TBaseDispatcher::PauseTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  traceOn_.store(false);
}

// ---- dispatch log recorder -----------------------------------------------------------------

uint32_t TBaseDispatcher::LogClock() const { return platform::timeGetTime() - logBaseTime_.load(); }

void TBaseDispatcher::RecordLogEntry(uint8_t kind, uint16_t subKind, uint32_t data,
                                     const void* bytes, int32_t length) {
  if (!logOn_.load(std::memory_order_relaxed)) return;
  uint32_t limit = logLimit_.load();
  while (limit != 0 && logQueue_.ByteCount() > limit) {
    if (!logQueue_.PopFirst()) break;
  }
  try {
    logQueue_.Push(std::make_unique<TLogBuffer>(kind, subKind, LogClock(), data, bytes, length));
  } catch (const std::bad_alloc&) {
    // A log record that cannot be made is dropped: the log is a diagnostic.
  }
}

void TBaseDispatcher::RecordLogText(uint8_t kind, uint16_t subKind, uint32_t data,
                                    const std::string& text) {
  RecordLogEntry(kind, subKind, data, text.data(), static_cast<int32_t>(text.size()));
}

void TBaseDispatcher::BeginDispatchLog(uint32_t limit) {
  logQueue_.Clear();
  logLimit_.store(limit);
  logOn_.store(true);
}

void TBaseDispatcher::ClearDispatchLog() { logQueue_.Clear(); }

void TBaseDispatcher::DiscardDispatchLog() {
  logOn_.store(false);
  logQueue_.Clear();
}

void TBaseDispatcher::ResumeDispatchLog() { logOn_.store(true); }

void TBaseDispatcher::PauseDispatchLog() { logOn_.store(false); }

// ---- the files -------------------------------------------------------------------------------

int32_t TBaseDispatcher::WriteTraceFile(const std::string& name, bool append, bool hex,
                                        bool allHex) {
  std::lock_guard lock(stateLock_);
  if (!traceBuf_ || traceSize_ == 0 || (!traceWrapped_ && tracePosition_ == 0)) return 0;
  // Oldest entry first: after a wrap the ring starts at the write position.
  const uint32_t first = traceWrapped_ ? tracePosition_ : 0;
  const uint32_t count = traceWrapped_ ? traceSize_ : tracePosition_;
  const TRecorderFileResult result =
      WriteTraceText(name, append, hex, allHex, traceBuf_.get(), traceSize_, first, count);
  if (!result.Opened) {
    DiscardTrace();
    return result.Code;
  }
  // The ring starts over whether or not the file could be written.
  BeginTrace(traceSize_);
  return result.Code;
}

int32_t TBaseDispatcher::WriteDispatchLogFile(const std::string& name, bool append, bool hex,
                                              bool allHex) {
  if (logQueue_.Empty()) return 0;
  std::lock_guard lock(stateLock_);
  // Only the records queued once the header is out: others that keep arriving wait for the
  // next file.
  bool counted = false;
  uint32_t left = 0;
  return WriteDispatchLogText(name, append, hex, allHex, deviceName_, OperatingSystemText(),
                              [this, &counted, &left]() -> std::unique_ptr<TIOBuffer> {
                                if (!counted) {
                                  left = logQueue_.Count();
                                  counted = true;
                                }
                                if (left == 0) return nullptr;
                                --left;
                                return logQueue_.PopFirst();
                              })
      .Code;
}

std::string TBaseDispatcher::OperatingSystemText() { return platform::OperatingSystemText(); }

}  // namespace comm
