#pragma once
// Records and the locked, signalling queue that carry received data, line/modem status
// events and dispatch-log entries from the producing threads to their consumer.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Event.h"

namespace comm {

enum class TIOBufferKind : uint8_t { Data, Status, Log };

class TIOBuffer {
 public:
  virtual ~TIOBuffer() = default;
  TIOBuffer(const TIOBuffer&) = delete;
  TIOBuffer& operator=(const TIOBuffer&) = delete;

  TIOBufferKind Kind() const { return kind_; }
  // Set while a consumer holds the record through PeekFirst; Clear leaves such a record alone.
  std::atomic<bool> InUse{false};
  // Capacity of a data record, number of attached bytes of a log record, 0 for a status record.
  uint32_t Size = 0;

 protected:
  explicit TIOBuffer(TIOBufferKind kind) : kind_(kind) {}

 private:
  friend class TIOQueue;
  TIOBufferKind kind_;
  TIOBuffer* next_ = nullptr;  // intrusive link: queueing allocates nothing
};

// Bytes read from the device: filled by the read thread, emptied by ReadDevice.
class TDataBuffer final : public TIOBuffer {
 public:
  static constexpr uint32_t kCapacity = 256;
  // Throws comm::Exception("Insufficient memory to allocate I/O buffer.") when memory runs out.
  static std::unique_ptr<TDataBuffer> Create(uint32_t size = kCapacity);

  uint8_t* Bytes() { return data_; }
  const uint8_t* Bytes() const { return data_; }
  uint32_t Used = 0;     // bytes filled by the read thread
  uint32_t ReadPos = 0;  // bytes already handed out; 0 <= ReadPos <= Used <= Size

  TDataBuffer() : TIOBuffer(TIOBufferKind::Data) {}

 private:
  uint8_t data_[kCapacity] = {};
};

// A device event (line or modem change) noticed by the status thread.
class TStatusBuffer final : public TIOBuffer {
 public:
  explicit TStatusBuffer(uint32_t eventMask)
      : TIOBuffer(TIOBufferKind::Status), EventMask(eventMask) {}
  uint32_t EventMask;
};

// One dispatch-log record with a copy of its attached bytes.
class TLogBuffer final : public TIOBuffer {
 public:
  TLogBuffer(uint8_t kind, uint16_t subKind, uint32_t time, uint32_t data, const void* bytes,
             int32_t length);
  uint8_t LogKind;
  uint16_t SubKind;
  uint32_t Time;  // milliseconds since the log base time
  uint32_t Data;
  const uint8_t* Bytes() const { return bytes_.get(); }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
};

class TIOQueue {
 public:
  TIOQueue();
  ~TIOQueue();  // frees the records still queued
  TIOQueue(const TIOQueue&) = delete;
  TIOQueue& operator=(const TIOQueue&) = delete;

  // Appends at the end, adds Size to ByteCount and signals the queue event.
  void Push(std::unique_ptr<TIOBuffer> record);
  // The first record marked InUse (it stays queued); null when empty or already in use.
  TIOBuffer* PeekFirst();
  // Clears InUse of a record taken with PeekFirst.
  void Release(TIOBuffer* record);
  // Removes and returns the first record (null when empty).
  std::unique_ptr<TIOBuffer> PopFirst();
  // Frees every record that is not InUse.
  void Clear();
  // A data record that has been read empty, kept for the read thread to fill again, so that
  // a steady stream allocates nothing per read; null when none is kept.
  std::unique_ptr<TDataBuffer> TakeSpare();
  // Keeps a fully read data record for TakeSpare (up to kMaxSpares); frees anything else.
  void Recycle(std::unique_ptr<TIOBuffer> record);
  // Records queued: true at once; else waits on the queue event for at most ms.
  bool WaitNotEmpty(uint32_t ms);

  uint32_t ByteCount() const;
  uint32_t Count() const;
  bool Empty() const { return Count() == 0; }
  platform::TEvent& Event() { return event_; }

  // A bound on ByteCount for a producer that must not outrun its consumer (0: none). The
  // queue takes whatever is pushed; the producer looks at AtLimit before it makes more and,
  // when it is, waits for RoomEvent, which a removal sets when it takes ByteCount back
  // below the bound.
  void SetByteLimit(uint32_t limit);
  bool AtLimit() const;
  platform::TEvent& RoomEvent() { return roomEvent_; }

 private:
  mutable std::mutex lock_;
  TIOBuffer* head_ = nullptr;
  TIOBuffer* tail_ = nullptr;
  uint32_t count_ = 0;
  uint32_t byteCount_ = 0;
  // Enough spares for the records that pile up while the dispatch thread waits for a
  // handler on the main thread (at most about 38 KB kept per open port).
  static constexpr uint32_t kMaxSpares = 128;
  TIOBuffer* spares_ = nullptr;
  uint32_t spareCount_ = 0;
  platform::TEvent event_{false, false};
  void ClearLocked();
  uint32_t byteLimit_ = 0;
  platform::TEvent roomEvent_{false, false};
  // Under lock_: true when a removal that started at byteCount took the queue below the bound.
  bool MadeRoom(uint32_t before) const {
    return byteLimit_ != 0 && before >= byteLimit_ && byteCount_ < byteLimit_;
  }
};

}  // namespace comm
