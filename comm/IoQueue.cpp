#include "comm/IoQueue.h"

#include <cstring>
#include <new>

#include "comm/Exceptions.h"

namespace comm {

std::unique_ptr<TDataBuffer> TDataBuffer::Create(uint32_t size) {
  if (size > kCapacity) size = kCapacity;
  TDataBuffer* record = new (std::nothrow) TDataBuffer();
  if (record == nullptr) throw Exception("Insufficient memory to allocate I/O buffer.");
  record->Size = size;
  return std::unique_ptr<TDataBuffer>(record);
}

TLogBuffer::TLogBuffer(uint8_t kind, uint16_t subKind, uint32_t time, uint32_t data,
                       const void* bytes, int32_t length)
    : TIOBuffer(TIOBufferKind::Log), LogKind(kind), SubKind(subKind), Time(time), Data(data) {
  if (bytes != nullptr && length > 0) {
    bytes_.reset(new uint8_t[static_cast<size_t>(length)]);
    std::memcpy(bytes_.get(), bytes, static_cast<size_t>(length));
    Size = static_cast<uint32_t>(length);
  }
}

TIOQueue::TIOQueue() = default;

TIOQueue::~TIOQueue() {
  std::lock_guard<std::mutex> guard(lock_);
  for (TIOBuffer* list : {head_, spares_}) {
    while (list != nullptr) {
      TIOBuffer* next = list->next_;
      delete list;
      list = next;
    }
  }
}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> record) {
  if (!record) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    TIOBuffer* r = record.release();
    r->next_ = nullptr;
    if (tail_ != nullptr) {
      tail_->next_ = r;
    } else {
      head_ = r;
    }
    tail_ = r;
    ++count_;
    byteCount_ += r->Size;
  }
  event_.Set();
}

TIOBuffer* TIOQueue::PeekFirst() {
  std::lock_guard<std::mutex> guard(lock_);
  if (head_ == nullptr || head_->InUse.load()) return nullptr;
  head_->InUse.store(true);
  return head_;
}

void TIOQueue::Release(TIOBuffer* record) {
  if (record == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  record->InUse.store(false);
}

std::unique_ptr<TIOBuffer> TIOQueue::PopFirst() {
  TIOBuffer* r = nullptr;
  bool room = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (head_ == nullptr) return nullptr;
    r = head_;
    head_ = r->next_;
    if (head_ == nullptr) tail_ = nullptr;
    r->next_ = nullptr;
    --count_;
    const uint32_t before = byteCount_;
    byteCount_ -= r->Size;
    room = MadeRoom(before);
  }
  if (room) roomEvent_.Set();
  return std::unique_ptr<TIOBuffer>(r);
}

void TIOQueue::Clear() {
  bool room = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const uint32_t before = byteCount_;
    ClearLocked();
    room = MadeRoom(before);
  }
  if (room) roomEvent_.Set();
}

void TIOQueue::SetByteLimit(uint32_t limit) {
  std::lock_guard<std::mutex> guard(lock_);
  byteLimit_ = limit;
}

bool TIOQueue::AtLimit() const {
  std::lock_guard<std::mutex> guard(lock_);
  return byteLimit_ != 0 && byteCount_ >= byteLimit_;
}

void TIOQueue::ClearLocked() {
  TIOBuffer* prev = nullptr;
  TIOBuffer* r = head_;
  while (r != nullptr) {
    TIOBuffer* next = r->next_;
    if (r->InUse.load()) {
      prev = r;
    } else {
      if (prev != nullptr) {
        prev->next_ = next;
      } else {
        head_ = next;
      }
      if (tail_ == r) tail_ = prev;
      --count_;
      byteCount_ -= r->Size;
      delete r;
    }
    r = next;
  }
}

std::unique_ptr<TDataBuffer> TIOQueue::TakeSpare() {
  std::lock_guard<std::mutex> guard(lock_);
  if (spares_ == nullptr) return nullptr;
  TIOBuffer* r = spares_;
  spares_ = r->next_;
  r->next_ = nullptr;
  --spareCount_;
  return std::unique_ptr<TDataBuffer>(static_cast<TDataBuffer*>(r));
}

void TIOQueue::Recycle(std::unique_ptr<TIOBuffer> record) {
  if (!record || record->Kind() != TIOBufferKind::Data || record->Size != TDataBuffer::kCapacity) {
    return;
  }
  auto* data = static_cast<TDataBuffer*>(record.get());
  data->Used = 0;
  data->ReadPos = 0;
  data->InUse.store(false);
  std::lock_guard<std::mutex> guard(lock_);
  if (spareCount_ >= kMaxSpares) return;
  TIOBuffer* r = record.release();
  r->next_ = spares_;
  spares_ = r;
  ++spareCount_;
}

bool TIOQueue::WaitNotEmpty(uint32_t ms) {
  if (Count() > 0) return true;
  return event_.Wait(ms);
}

uint32_t TIOQueue::ByteCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return byteCount_;
}

uint32_t TIOQueue::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return count_;
}

}  // namespace comm
