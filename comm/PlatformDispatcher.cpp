#include "comm/PlatformDispatcher.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "comm/Exceptions.h"
#include "platform/PortTable.h"

namespace comm {

namespace {

// The operating-system error numbers the open sequence reports: a device in use is 5 and a
// missing one 2, so that the port's in-use and no-such-device mapping holds.
constexpr int32_t kErrorInUse = 5;
constexpr int32_t kErrorNoDevice = 2;
// A worker that finds the device handle closed under it ends quietly (no error recorded).
constexpr int32_t kErrorInvalidHandle = 6;

struct TBaudCode {
  uint32_t baud;
  speed_t code;
};
constexpr TBaudCode kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudToCode(uint32_t baud, speed_t& code) {
  for (const auto& b : kBauds) {
    if (b.baud == baud) {
      code = b.code;
      return true;
    }
  }
  return false;
}

uint32_t CodeToBaud(speed_t code) {
  for (const auto& b : kBauds) {
    if (b.code == code) return b.baud;
  }
  return 0;
}

int32_t MapOpenError(int e) {
  switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kErrorNoDevice;
    case EBUSY:
    case EWOULDBLOCK:
      return kErrorInUse;
    default:
      return e;
  }
}

// Worker-side error: EBADF is the closed-handle case.
int32_t WorkerError(int e) { return e == EBADF ? kErrorInvalidHandle : e; }

// Bytes in the device's own output queue; -1 when the device cannot say.
int32_t DeviceOutputQueued(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, TIOCOUTQ, &n) != 0) return -1;
  return n;
}

// Drops the device's unsent output. Only when there is some (or the device cannot say): a
// flush of an empty queue is not harmless everywhere, a pty drops bytes that the other side
// has not taken in yet, the very bytes a close has just let drain.
bool FlushDeviceOutput(int fd) {
  if (fd < 0) return false;
  if (DeviceOutputQueued(fd) == 0) return true;
  return ::tcflush(fd, TCOFLUSH) == 0;
}

constexpr uint32_t kCloseDrainLimitMs = 500;

}  // namespace

// ---- platform threads ----------------------------------------------------------------------

class TReadThread final : public TDispatcherThread {
 public:
  explicit TReadThread(TPlatformDispatcher& d) : TDispatcherThread(d), pd_(d) {}

 protected:
  void Execute() override;

 private:
  // Bytes read, 0 when none were waiting, -161 on failure (the error is in lastErrno_).
  int32_t ReadChunk(TDataBuffer& record);
  // A record to read into: one that the dispatcher has read empty, or a new one (throws when
  // memory runs out).
  std::unique_ptr<TDataBuffer> NewRecord() {
    if (auto spare = pd_.InputQueue().TakeSpare()) return spare;
    return TDataBuffer::Create();
  }
  TPlatformDispatcher& pd_;
  int lastErrno_ = 0;
};

class TWriteThread final : public TDispatcherThread {
 public:
  explicit TWriteThread(TPlatformDispatcher& d) : TDispatcherThread(d), pd_(d) {}

 protected:
  void Execute() override;

 private:
  TPlatformDispatcher& pd_;
};

class TStatusThread final : public TDispatcherThread {
 public:
  explicit TStatusThread(TPlatformDispatcher& d) : TDispatcherThread(d), pd_(d) {}
  uint32_t StatusMask = 0x21F9;

 protected:
  void Execute() override;

 private:
  TPlatformDispatcher& pd_;
};

int32_t TReadThread::ReadChunk(TDataBuffer& record) {
  int fd = pd_.DeviceHandle();
  for (;;) {
    ssize_t n = ::read(fd, record.Bytes(), record.Size);
    if (n > 0) return static_cast<int32_t>(n);
    if (n == 0) {
      // End of file on a tty: the line was hung up (the device went away).
      lastErrno_ = EIO;
      return -161;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    lastErrno_ = errno;
    return -161;
  }
}

void TReadThread::Execute() {
  TBaseDispatcher& d = dispatcher_;
  d.NoteThreadStart(this);
  std::unique_ptr<TDataBuffer> held;
  SetReturnValue(0);
  try {
    TIOQueue& queue = d.InputQueue();
    while (!d.StopRequested()) {
      // No time limit: data, a hang-up or the wake event (a stop) ends the wait, so an idle
      // port costs this thread nothing. With the input queue at its bound the device is not
      // read until the dispatcher has made room (a hang-up still shows).
      const bool full = queue.AtLimit();
      pollfd fds[3] = {{pd_.DeviceHandle(), static_cast<short>(full ? 0 : POLLIN), 0},
                       {pd_.readWake_.Fd(), POLLIN, 0},
                       {queue.RoomEvent().Fd(), POLLIN, 0}};
      int pr = ::poll(fds, 3, -1);
      if (pr < 0) {
        if (errno == EINTR) continue;
        pd_.RecordWorkerError(errno);
        SetReturnValue(-161);
        d.RequestStop();
        continue;
      }
      if (fds[1].revents & POLLIN) pd_.readWake_.Wait(0);
      if (fds[2].revents & POLLIN) queue.RoomEvent().Wait(0);
      if (d.StopRequested()) break;
      if (fds[0].revents == 0) continue;
      if (fds[0].revents & POLLNVAL) {
        d.RequestStop();
        continue;
      }
      if (!held) {
        try {
          held = NewRecord();
        } catch (...) {
          SetReturnValue(-13868);
          d.RequestStop();
          continue;
        }
      }
      int32_t n = ReadChunk(*held);
      while (n > 0) {
        held->Used = static_cast<uint32_t>(n);
        queue.Push(std::move(held));
        try {
          held = NewRecord();
        } catch (...) {
          SetReturnValue(-13868);
          d.RequestStop();
          break;
        }
        // A full record suggests more is waiting; a short one means the device is drained.
        if (n < static_cast<int32_t>(TDataBuffer::kCapacity) || queue.AtLimit()) break;
        n = ReadChunk(*held);
      }
      if (n < 0) {
        int32_t e = WorkerError(lastErrno_);
        if (e != kErrorInvalidHandle) {
          pd_.RecordWorkerError(e);
          SetReturnValue(-161);
        }
        d.RequestStop();
      }
    }
  } catch (...) {
    ShowCurrentException();
  }
  held.reset();
  d.NoteThreadEnd(this);
}

void TWriteThread::Execute() {
  TBaseDispatcher& d = dispatcher_;
  d.NoteThreadStart(this);
  SetReturnValue(0);
  try {
    while (!d.StopRequested()) {
      // No time limit: output, a purge or a stop (the wake event) ends the wait.
      uint32_t w = platform::WaitForAny({&pd_.outputReady_, &pd_.writeWake_}, platform::kInfinite);
      if (w == platform::kWaitObject0) {
        if (d.StopRequested()) break;
        int32_t r = pd_.DrainOutput();
        if (r != 0) {
          // The handle closed under the writer is the normal end of a close, not a failure.
          if (r != -kErrorInvalidHandle) SetReturnValue(-160);
          d.RequestStop();
        }
      } else if (w == platform::kWaitObject0 + 1) {
        // A purge found the writer idle: acknowledge it.
        pd_.AnswerPurges();
      } else if (w != platform::kWaitTimeout) {
        pd_.RecordWorkerError(errno);
        SetReturnValue(-160);
        d.RequestStop();
      }
    }
  } catch (...) {
    ShowCurrentException();
  }
  pd_.writerLeft_.Set();
  {
    std::lock_guard<std::mutex> g(pd_.purgeLock_);  // a purge waiting now sees the event
  }
  pd_.purgeAnswered_.notify_all();
  d.NoteThreadEnd(this);
}

void TStatusThread::Execute() {
  TBaseDispatcher& d = dispatcher_;
  d.NoteThreadStart(this);
  SetReturnValue(0);
  try {
    // There is no wait for device events on a tty: the modem lines and the line-error
    // counters are looked at every 50 ms and a status record is queued when one changed.
    // A device that has neither (ptys) reports no events, and the thread just sleeps until
    // it is told to stop.
    int fd = pd_.DeviceHandle();
    int lines = 0;
    bool haveLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct ic{};
    bool haveCounters = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    while (!d.StopRequested()) {
      pd_.statusWake_.Wait(haveLines || haveCounters ? 50 : platform::kInfinite);
      if (d.StopRequested()) break;
      uint32_t mask = 0;
      if (haveLines) {
        int now = 0;
        if (::ioctl(fd, TIOCMGET, &now) == 0) {
          int changed = now ^ lines;
          if (changed & TIOCM_CTS) mask |= EV_CTS;
          if (changed & TIOCM_DSR) mask |= EV_DSR;
          if (changed & TIOCM_CD) mask |= EV_RLSD;
          if ((changed & TIOCM_RI) && (now & TIOCM_RI)) mask |= EV_RING;
          if ((changed & TIOCM_RI) && !(now & TIOCM_RI) && (StatusMask & EV_RINGTE))
            mask |= EV_RINGTE;
          lines = now;
        }
      }
      if (haveCounters) {
        serial_icounter_struct now{};
        if (::ioctl(fd, TIOCGICOUNT, &now) == 0) {
          if (now.brk != ic.brk) mask |= EV_BREAK;
          if (now.frame != ic.frame || now.overrun != ic.overrun || now.parity != ic.parity ||
              now.buf_overrun != ic.buf_overrun)
            mask |= EV_ERR;
          ic = now;
        }
      }
      if (mask & 0x21F8) {
        try {
          d.InputQueue().Push(std::make_unique<TStatusBuffer>(mask));
        } catch (const std::bad_alloc&) {
          SetReturnValue(-13868);
          d.RequestStop();
        }
      }
    }
  } catch (...) {
    ShowCurrentException();
  }
  d.NoteThreadEnd(this);
}

// ---- the dispatcher ------------------------------------------------------------------------

TPlatformDispatcher::TPlatformDispatcher(TBaseComponent* owner) : TBaseDispatcher(owner) {}

TPlatformDispatcher::~TPlatformDispatcher() { Shutdown(); }

int32_t TPlatformDispatcher::OpenDevice(const std::string& name, int32_t, int32_t) {
  std::string path = platform::DeviceNamePath(name);
  if (path.empty()) {
    RecordWorkerError(kErrorNoDevice);
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    RecordWorkerError(MapOpenError(errno));
    return -1;
  }
  // Exclusive access: the lock keeps out every other opener that asks for it, TIOCEXCL keeps
  // out the ones that don't (except a privileged one). Devices that refuse TIOCEXCL are used
  // as they are.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    RecordWorkerError(e == EWOULDBLOCK ? kErrorInUse : MapOpenError(e));
    return -1;
  }
  if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
    int e = errno;
    ::close(fd);
    RecordWorkerError(MapOpenError(e));
    return -1;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    int e = errno;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    RecordWorkerError(e);
    return -1;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~HUPCL;  // closing must not drop DTR
  // One byte satisfies a read; with O_NONBLOCK an empty line gives EAGAIN, so a read of 0
  // bytes can only mean a hang-up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    int e = errno;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    RecordWorkerError(e);
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(extraLock_);
    extra_ = TDeviceState{};
  }
  {
    std::lock_guard<std::mutex> g(counterLock_);
    countersKnown_ = false;
  }
  noModemLines_.store(false);
  noCounters_.store(false);
  deviceHandle_.store(fd);
  return fd;
}

int32_t TPlatformDispatcher::CloseDevice() {
  if (!BeginClose()) return 0;
  StopWorkerThreads([this] { statusWake_.Set(); }, [this] { writeWake_.Set(); },
                    [this] { readWake_.Set(); });
  int32_t result = 0;
  int fd = deviceHandle_.exchange(-1);
  if (fd >= 0) {
    // Unsent output could hold close() for the tty's closing wait: drop it first.
    FlushDeviceOutput(fd);
    ::ioctl(fd, TIOCNXCL);
    if (::close(fd) != 0) result = -1;
  }
  EndClose();
  return result;
}

bool TPlatformDispatcher::OutputSettled(int32_t& queued) {
  int32_t device = DeviceOutputQueued(deviceHandle_.load());
  if (device < 0) device = 0;  // a device that cannot say is taken as drained once written
  std::lock_guard<std::recursive_mutex> g(outputLock_);
  queued = OutputPending() + device + (writerBusy_ ? 1 : 0);
  return queued == 0;
}

void TPlatformDispatcher::DrainBeforeClose() {
  TDispatcherThread* writer = writeThread_.get();
  if (deviceHandle_.load() < 0 || !threadsRunning_.load() || stopRequested_.load() ||
      writer == nullptr || writer->Ended())
    return;
  int32_t queued = 0;
  if (OutputSettled(queued)) return;

  // What the line needs for the bytes queued: start bit, data bits, parity and stop bits per
  // byte at the configured speed, plus one tick for the writer to take them.
  TDeviceState state;
  uint32_t bitsPerByte = 10;
  uint32_t baud = 115200;
  if (GetDeviceState(state) == 0) {
    bitsPerByte = 1u + state.ByteSize + (state.Parity != NOPARITY ? 1u : 0u) +
                  (state.StopBits == ONESTOPBIT ? 1u : 2u);
    if (state.BaudRate > 0) baud = state.BaudRate;
  }
  const uint64_t lineMs =
      (static_cast<uint64_t>(queued) * bitsPerByte * 1000 + baud - 1) / baud + kMsPerTick;
  const auto limit = std::chrono::milliseconds(std::min<uint64_t>(lineMs, kCloseDrainLimitMs));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  outputReady_.Set();  // in case the writer has not seen the last bytes yet
  while (std::chrono::steady_clock::now() < deadline && !stopRequested_.load() &&
         !writer->Ended()) {
    if (OutputSettled(queued)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TPlatformDispatcher::StartThreads() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (threadsRunning_.load()) throw Exception("Dispatcher already started.");
  threadsRunning_.store(true);
  stopRequested_.store(false);
  JoinAllThreads();
  readWake_.Reset();
  writeWake_.Reset();
  outputReady_.Reset();
  statusWake_.Reset();
  writerLeft_.Reset();
  drainSize_ = std::max(outSize_, 1);
  drainBlock_.reset(new uint8_t[static_cast<size_t>(drainSize_)]);
  readThread_ = std::make_unique<TReadThread>(*this);
  dispatchThread_ = std::make_unique<TDispThread>(*this);
  writeThread_ = std::make_unique<TWriteThread>(*this);
  statusThread_ = std::make_unique<TStatusThread>(*this);
  for (auto* t :
       {readThread_.get(), dispatchThread_.get(), writeThread_.get(), statusThread_.get()}) {
    t->Start();
    startEvent_.Wait(3000);
  }
}

void TPlatformDispatcher::WakeWorkers() {
  TBaseDispatcher::WakeWorkers();
  readWake_.Set();
  writeWake_.Set();
  statusWake_.Set();
}

void TPlatformDispatcher::StopThreads() {
  if (threadsRunning_.load()) CloseDevice();
}

int32_t TPlatformDispatcher::LineFunction(int32_t code) {
  int fd = deviceHandle_.load();
  int bits = 0;
  unsigned long request = 0;
  switch (code) {
    case SETRTS:
      bits = TIOCM_RTS;
      request = TIOCMBIS;
      break;
    case CLRRTS:
      bits = TIOCM_RTS;
      request = TIOCMBIC;
      break;
    case SETDTR:
      bits = TIOCM_DTR;
      request = TIOCMBIS;
      break;
    case CLRDTR:
      bits = TIOCM_DTR;
      request = TIOCMBIC;
      break;
    default:
      return 0;
  }
  if (fd >= 0) ::ioctl(fd, request, &bits);  // devices without modem lines refuse it: fine
  return 0;
}

int32_t TPlatformDispatcher::PurgeDevice(int32_t side) {
  int fd = deviceHandle_.load();
  if (side == 0) {
    TDispatcherThread* writer = writeThread_.get();
    if (writer == nullptr || writer->Ended() || !writer->Running()) {
      lastOutputPurge_.store(TPurgeWait::pwNone);
      return 0;
    }
    {
      std::lock_guard<std::recursive_mutex> g(outputLock_);
      outFull_ = false;
      outHead_ = 0;
      outTail_ = 0;
    }
    int32_t r = FlushDeviceOutput(fd) ? 1 : 0;
    // A writer that has left its loop (a stop, or the device failed under it) writes nothing
    // more and answers no purge: there is nothing to wait for.
    if (writerLeft_.Wait(0)) {
      lastOutputPurge_.store(TPurgeWait::pwWriterStopped);
      return r;
    }
    // The writer acknowledges this purge (or a later one), or leaves its loop without doing
    // so (it may be failing right now): either way it holds nothing from before the purge
    // any more.
    std::unique_lock<std::mutex> g(purgeLock_);
    const uint32_t ticket = ++purgesAsked_;
    writeWake_.Set();
    auto answered = [&] { return static_cast<int32_t>(purgesAnswered_ - ticket) >= 0; };
    purgeAnswered_.wait_for(g, std::chrono::milliseconds(5000),
                            [&] { return answered() || writerLeft_.Wait(0); });
    lastOutputPurge_.store(answered()            ? TPurgeWait::pwAcknowledged
                           : writerLeft_.Wait(0) ? TPurgeWait::pwWriterStopped
                                                 : TPurgeWait::pwNoAnswer);
    return r;
  }
  if (side == 1) {
    int32_t r = (fd >= 0 && ::tcflush(fd, TCIFLUSH) == 0) ? 1 : 0;
    inputQueue_.Clear();
    return r;
  }
  return 0;
}

uint32_t TPlatformDispatcher::TakeCounterErrors() {
  if (noCounters_.load()) return 0;
  int fd = deviceHandle_.load();
  serial_icounter_struct now{};
  if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &now) != 0) {
    noCounters_.store(true);
    return 0;
  }
  std::lock_guard<std::mutex> g(counterLock_);
  uint32_t bits = 0;
  if (countersKnown_) {
    if (now.buf_overrun != counters_.bufOverrun) bits |= 0x01;
    if (now.overrun != counters_.overrun) bits |= 0x02;
    if (now.parity != counters_.parity) bits |= 0x04;
    if (now.frame != counters_.frame) bits |= 0x08;
    if (now.brk != counters_.brk) bits |= 0x10;
  }
  counters_ = {now.frame, now.overrun, now.parity, now.brk, now.buf_overrun};
  countersKnown_ = true;
  return bits;
}

int32_t TPlatformDispatcher::ReadDeviceErrors(TDeviceStatus& status) {
  int32_t bits = static_cast<int32_t>(TakeCounterErrors());
  // Every output query and every dispatch pass comes here, so it asks the device nothing it
  // need not: the input count is what the read thread has queued and the dispatcher not yet
  // taken (no system call; under a device emulator an ioctl is a round trip to another thread
  // that woke the dispatch thread some 200 times a second during a transfer).
  status.InQue = inputQueue_.ByteCount();
  status.OutQue = static_cast<uint32_t>(OutputPending());
  return bits;
}

int32_t TPlatformDispatcher::NoteReadFailure(int32_t) { return 0; }

int32_t TPlatformDispatcher::GetDeviceState(TDeviceState& record) {
  int fd = deviceHandle_.load();
  termios tio{};
  if (fd < 0 || ::tcgetattr(fd, &tio) != 0) return -1;
  TDeviceState r;
  {
    std::lock_guard<std::mutex> g(extraLock_);
    r = extra_;
  }
  uint32_t baud = CodeToBaud(cfgetospeed(&tio));
  if (baud != 0) r.BaudRate = baud;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      r.ByteSize = 5;
      break;
    case CS6:
      r.ByteSize = 6;
      break;
    case CS7:
      r.ByteSize = 7;
      break;
    default:
      r.ByteSize = 8;
      break;
  }
  if (!(tio.c_cflag & PARENB)) {
    r.Parity = NOPARITY;
  } else if (tio.c_cflag & CMSPAR) {
    r.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    r.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (tio.c_cflag & CSTOPB) {
    r.StopBits = r.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  } else {
    r.StopBits = ONESTOPBIT;
  }
  bool cts = (tio.c_cflag & CRTSCTS) != 0;
  r.fOutxCtsFlow = cts && r.fOutxCtsFlow;
  if (!cts && r.fRtsControl == RTS_CONTROL_HANDSHAKE) r.fRtsControl = RTS_CONTROL_ENABLE;
  r.fOutX = (tio.c_iflag & IXON) != 0;
  r.fInX = (tio.c_iflag & IXOFF) != 0;
  r.XonChar = tio.c_cc[VSTART];
  r.XoffChar = tio.c_cc[VSTOP];
  record = r;
  return 0;
}

int32_t TPlatformDispatcher::SetDeviceState(const TDeviceState& record) {
  int fd = deviceHandle_.load();
  termios tio{};
  if (fd < 0) return -EBADF;
  if (::tcgetattr(fd, &tio) != 0) return -errno;
  speed_t code;
  if (!BaudToCode(record.BaudRate, code)) return -EINVAL;
  cfsetispeed(&tio, code);
  cfsetospeed(&tio, code);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (record.ByteSize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return -EINVAL;
  }
  switch (record.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return -EINVAL;
  }
  if (record.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
  if (record.fOutxCtsFlow || record.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (record.fOutX) tio.c_iflag |= IXON;
  if (record.fInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = record.XonChar;
  tio.c_cc[VSTOP] = record.XoffChar;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return -errno;
  std::lock_guard<std::mutex> g(extraLock_);
  extra_ = record;
  return 0;
}

int32_t TPlatformDispatcher::ReadDevice(uint8_t* buffer, int32_t count) {
  int32_t remaining = count;
  while (remaining > 0) {
    TIOBuffer* record = inputQueue_.PeekFirst();
    if (record == nullptr) break;
    if (record->Kind() != TIOBufferKind::Data) {
      inputQueue_.Release(record);
      break;
    }
    auto* data = static_cast<TDataBuffer*>(record);
    int32_t n = std::min<int32_t>(remaining, static_cast<int32_t>(data->Used - data->ReadPos));
    std::memcpy(buffer, data->Bytes() + data->ReadPos, static_cast<size_t>(n));
    data->ReadPos += static_cast<uint32_t>(n);
    if (data->ReadPos < data->Used) {
      inputQueue_.Release(record);
    } else {
      inputQueue_.Recycle(inputQueue_.PopFirst());
    }
    remaining -= n;
    buffer += n;
  }
  return count - remaining;
}

int32_t TPlatformDispatcher::InputPending() {
  TIOBuffer* record = inputQueue_.PeekFirst();
  if (record == nullptr) return 0;
  int32_t n = 0;
  if (record->Kind() == TIOBufferKind::Data) {
    auto* data = static_cast<TDataBuffer*>(record);
    n = static_cast<int32_t>(data->Used - data->ReadPos);
  }
  inputQueue_.Release(record);
  return n;
}

int32_t TPlatformDispatcher::WriteDevice(const uint8_t* data, int32_t count) {
  const int32_t total = count;
  {
    std::lock_guard<std::recursive_mutex> g(outputLock_);
    if (!outBuf_ || count <= 0) return 0;
    // With nothing queued and the writer idle, the bytes go to the device from this thread:
    // a reply to the device (a block after an ACK) then leaves without waiting for the write
    // thread to wake. The device is non-blocking; what it does not take at once is queued
    // for the writer as usual, and so is everything after a failure, which the writer then
    // reports. Holding OutputLock keeps the writer from taking bytes meanwhile.
    if (!writerBusy_ && !outFull_ && outHead_ == outTail_ && threadsRunning_.load() &&
        !stopRequested_.load()) {
      const int fd = deviceHandle_.load();
      const ssize_t n = fd >= 0 ? ::write(fd, data, static_cast<size_t>(count)) : -1;
      if (n == count) return total;
      if (n > 0) {
        data += n;
        count -= static_cast<int32_t>(n);
      }
    }
    int32_t room = outSize_ - outHead_;
    if (count > room) {
      std::memcpy(outBuf_.get() + outHead_, data, static_cast<size_t>(room));
      std::memcpy(outBuf_.get(), data + room, static_cast<size_t>(count - room));
      outHead_ = count - room;
    } else {
      std::memcpy(outBuf_.get() + outHead_, data, static_cast<size_t>(count));
      outHead_ = count == room ? 0 : outHead_ + count;
    }
  }
  outputReady_.Set();
  return total;
}

int32_t TPlatformDispatcher::OutputPending() {
  std::lock_guard<std::recursive_mutex> g(outputLock_);
  if (!outBuf_) return 0;
  if (outFull_) return outSize_;
  if (outHead_ > outTail_) return outHead_ - outTail_;
  if (outHead_ < outTail_) return outHead_ + outSize_ - outTail_;
  return 0;
}

bool TPlatformDispatcher::OutputWaiting() {
  std::lock_guard<std::recursive_mutex> g(outputLock_);
  return outBuf_ && (outFull_ || outHead_ != outTail_);
}

int32_t TPlatformDispatcher::DrainOutput() {
  while (OutputWaiting()) {
    int32_t length = 0;
    {
      std::lock_guard<std::recursive_mutex> g(outputLock_);
      if (!outBuf_) return 0;
      const uint8_t* ring = outBuf_.get();
      uint8_t* block = drainBlock_.get();
      if (outTail_ < outHead_) {
        length = outHead_ - outTail_;
        std::memcpy(block, ring + outTail_, static_cast<size_t>(length));
      } else {
        int32_t first = outSize_ - outTail_;
        std::memcpy(block, ring + outTail_, static_cast<size_t>(first));
        std::memcpy(block + first, ring, static_cast<size_t>(outHead_));
        length = first + outHead_;
      }
      outHead_ = 0;
      outTail_ = 0;
      outFull_ = false;
      writerBusy_ = true;
    }
    // Until this block is written (or dropped), WriteDevice must not overtake it.
    struct TBlockDone {
      TPlatformDispatcher& d;
      ~TBlockDone() {
        std::lock_guard<std::recursive_mutex> g(d.outputLock_);
        d.writerBusy_ = false;
      }
    } blockDone{*this};
    int fd = deviceHandle_.load();
    int32_t written = 0;
    while (written < length) {
      ssize_t n = ::write(fd, drainBlock_.get() + written, static_cast<size_t>(length - written));
      if (n > 0) {
        written += static_cast<int32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The device is full: sleep until it can take more. No time limit: every stop request
        // and every purge sets the wake event, which ends the wait at once (a device that
        // takes nothing for minutes costs nothing meanwhile).
        for (;;) {
          if (stopRequested_.load()) return 0;
          pollfd fds[2] = {{fd, POLLOUT, 0}, {writeWake_.Fd(), POLLIN, 0}};
          int pr = ::poll(fds, 2, -1);
          if (pr < 0 && errno == EINTR) continue;
          if (pr < 0) {
            RecordWorkerError(errno);
            return -160;
          }
          if (fds[1].revents & POLLIN) {
            // A purge or a close: the rest of this block is dropped; acknowledge the purge.
            writeWake_.Wait(0);
            AnswerPurges();
            return 0;
          }
          if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            RecordWorkerError(EIO);
            return -160;
          }
          if (fds[0].revents & POLLOUT) break;
        }
        continue;
      }
      int e = n < 0 ? errno : EIO;
      if (WorkerError(e) == kErrorInvalidHandle) return -kErrorInvalidHandle;
      RecordWorkerError(WorkerError(e));
      return -160;
    }
  }
  return 0;
}

void TPlatformDispatcher::AnswerPurges() {
  {
    std::lock_guard<std::mutex> g(purgeLock_);
    purgesAnswered_ = purgesAsked_;
  }
  purgeAnswered_.notify_all();
}

bool TPlatformDispatcher::WaitDeviceEvent(uint32_t& mask) {
  mask = 0;
  return true;
}

bool TPlatformDispatcher::SizeDeviceQueues(int32_t, int32_t) { return true; }

int32_t TPlatformDispatcher::ServiceDevice() {
  sched_yield();
  return 0;
}

uint8_t TPlatformDispatcher::ReadModemLines() {
  if (noModemLines_.load()) return 0;
  int fd = deviceHandle_.load();
  int lines = 0;
  if (fd < 0 || ::ioctl(fd, TIOCMGET, &lines) != 0) {
    if (fd >= 0) noModemLines_.store(true);
    return 0;
  }
  uint8_t r = 0;
  if (lines & TIOCM_CTS) r |= 0x10;
  if (lines & TIOCM_DSR) r |= 0x20;
  if (lines & TIOCM_RI) r |= 0x40;
  if (lines & TIOCM_CD) r |= 0x80;
  return r;
}

int32_t TPlatformDispatcher::SetBreak(bool on) {
  int fd = deviceHandle_.load();
  if (fd < 0) return -1;
  return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : -errno;
}

}  // namespace comm
