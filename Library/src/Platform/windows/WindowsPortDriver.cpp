#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"
#include "Velkor/HardwareAPI/Platform/PortPath.hpp"
#include "Platform/HeldInput.hpp"

namespace Velkor::HardwareAPI::Platform {

namespace {

using Clock = std::chrono::steady_clock;

// A synchronous port cannot write without blocking; a piece of a sliced write
// blocks at most this long, so the layer above can give up between pieces.
constexpr DWORD kWriteSliceMs = 20;
// Waits block on the port in slices of a power of two milliseconds up to this
// long, so that a steady run of exchanges keeps asking for the same time-out
// record and the port is told only when the record changes.
constexpr DWORD kLongestWaitSliceMs = 1024;

// The longest slice of whole milliseconds, a power of two, that ends at or
// before the time left (at least 1 ms, so a wait never spins on the queue).
DWORD WaitSliceMs(int64_t left_ns) {
  const int64_t left_ms = left_ns / 1000000;
  DWORD slice = 1;
  while (slice * 2 <= kLongestWaitSliceMs && static_cast<int64_t>(slice) * 2 <= left_ms) slice *= 2;
  return slice;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
  return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
         a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
         a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
         a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
         a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

COMMTIMEOUTS Record(const PortTimeouts& t) {
  return {t.read_interval, t.read_total_per_byte, t.read_total_constant, t.write_total_per_byte,
          t.write_total_constant};
}

DWORD ClampToDword(size_t n) { return n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n); }

class WindowsPortDriver final : public PortDriver {
 public:
  ~WindowsPortDriver() override { Close(); }

  int Open(const char* name) override {
    const std::string path = PortPath(name != nullptr ? name : "");
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? -1 : -2;
    handle_ = handle;
    applied_known_ = false;
    return 1;
  }

  int Configure() override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) {
      // Not a serial line (a volume, a disk, a pipe): close it before anything
      // could write to it.
      const DWORD error = ::GetLastError();
      Close();
      ::SetLastError(error);
      return -3;
    }
    // Raw binary without flow control, whatever the port's last user left:
    // XON/XOFF would swallow 0x11 and 0x13 bytes of binary replies, fNull the
    // NUL bytes, CTS/DSR handshakes stall writes, and fAbortOnError turns one
    // line error into a dead port. DTR and RTS stay asserted.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // The line itself: whatever speed and format the port was left at, the
    // devices speak 115200 8N1.
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!::SetCommState(handle_, &dcb)) return -5;
    // A driver may accept the record and keep some of it: check what matters.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!::GetCommState(handle_, &applied)) return -5;
    if (applied.BaudRate != CBR_115200 || applied.ByteSize != 8 || applied.Parity != NOPARITY ||
        applied.StopBits != ONESTOPBIT || applied.fOutX || applied.fInX || applied.fOutxCtsFlow ||
        applied.fOutxDsrFlow) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return -5;
    }
    return 0;
  }

  bool SetTimeouts(const PortTimeouts& timeouts) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    // Asked again before every read: the port is told only of a change. The
    // record in force may be a wait's, which returns queued bytes as this one
    // would; Read puts this one back when it has to wait for bytes.
    if (applied_known_ && SameTimeouts(Record(timeouts_), Record(timeouts))) return true;
    timeouts_ = timeouts;
    return Apply(Record(timeouts_));
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  void Close() override {
    if (!IsOpen()) return;
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    held_.Clear();
  }

  long Read(void* buffer, size_t n) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
    }
    if (n == 0) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    size_t got = held_.Take(out, n);
    if (got == n) return static_cast<long>(got);
    // Bytes already queued are read under whichever record is in force, as
    // every record returns them at once; only a read that may have to wait
    // needs the read record, so an exchange whose reply has come changes none.
    DWORD queued = 0;
    if (!QueueCount(&queued)) return got > 0 ? static_cast<long>(got) : -1;
    if (queued < n - got && !Use(Record(timeouts_))) return got > 0 ? static_cast<long>(got) : -1;
    DWORD read = 0;
    const BOOL ok = ::ReadFile(handle_, out + got, ClampToDword(n - got), &read, nullptr);
    got += read;
    if (!ok) return got > 0 ? static_cast<long>(got) : -1;
    // A line that hung up reads as silent until its time-outs pass; only the
    // queue query tells it apart. Bytes that did come are the caller's all the same.
    if (got < n && !QueueCount()) return got > 0 ? static_cast<long>(got) : -1;
    return static_cast<long>(got);
  }

  long Write(const void* data, size_t n) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
    }
    if (!Use(Record(timeouts_))) return -1;
    // A write that its time-outs cut short succeeds with a short count, and
    // leaves the thread's last error as it was.
    DWORD written = 0;
    if (!::WriteFile(handle_, data, ClampToDword(n), &written, nullptr)) {
      return written > 0 ? static_cast<long>(written) : -1;
    }
    return static_cast<long>(written);
  }

  long BytesWaiting() override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
    }
    DWORD queued = 0;
    if (!QueueCount(&queued)) return -1;
    return static_cast<long>(queued) + static_cast<long>(held_.Size());
  }

  // The port wakes a read as soon as one byte arrives when both the interval
  // and the per-byte limits are MAXDWORD; that byte is held for the next Read,
  // so waiting costs no polling and consumes nothing.
  WaitResult WaitReadable(int64_t timeout_ns) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WaitResult::Gone;
    }
    if (held_.Size() > 0) return WaitResult::Readable;
    return BlockForByte(timeout_ns);
  }

  // What has come of a frame is taken from the port's queue and held (still
  // waiting, for the layers above), so that the wait for the rest blocks in
  // the port like any other instead of finding bytes there at once.
  WaitResult WaitForMore(long queued_now, int64_t timeout_ns) override {
    if (queued_now <= 0) return WaitReadable(timeout_ns);
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WaitResult::Gone;
    }
    DWORD queued = 0;
    if (!QueueCount(&queued)) return WaitResult::Gone;
    const DWORD take = static_cast<DWORD>(std::min<size_t>(queued, held_.Room()));
    if (take > 0) {
      DWORD read = 0;
      if (!::ReadFile(handle_, held_.Tail(), take, &read, nullptr)) return WaitResult::Gone;
      held_.Append(read);
    }
    if (static_cast<long>(held_.Size()) > queued_now || held_.Room() == 0) return WaitResult::Readable;
    return BlockForByte(timeout_ns);
  }

  // The count the port took within one slice (0 while the device does not
  // read), or -1 when the write failed or the device went away. A slice lasts
  // kWriteSliceMs at most, and no longer than the write has left: the port's
  // limit for the whole write on the first piece, the time the layer above
  // last waited for room on later ones.
  long WriteSome(const void* data, size_t n) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
    }
    DWORD slice_ms = kWriteSliceMs;
    if (has_write_left_) {
      slice_ms = std::min(slice_ms, write_left_ms_);
    } else {
      const uint64_t limit = uint64_t{timeouts_.write_total_constant} + uint64_t{timeouts_.write_total_per_byte} * n;
      if (limit > 0) slice_ms = static_cast<DWORD>(std::min<uint64_t>(slice_ms, limit));
    }
    has_write_left_ = false;
    if (!Use({applied_.ReadIntervalTimeout, applied_.ReadTotalTimeoutMultiplier, applied_.ReadTotalTimeoutConstant,
              0, slice_ms})) {
      return -1;
    }
    // A piece cut short by its slice is no failure: the layer above decides
    // when the write as a whole has run out of time.
    DWORD written = 0;
    if (!::WriteFile(handle_, data, ClampToDword(n), &written, nullptr)) {
      return written > 0 ? static_cast<long>(written) : -1;
    }
    return static_cast<long>(written);
  }

  // A synchronous port cannot be asked for room in its output queue, only
  // whether the device is still there; the next piece of the write does the
  // waiting, within the time given here.
  WaitResult WaitWritable(int64_t timeout_ns) override {
    if (!IsOpen()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WaitResult::Gone;
    }
    if (timeout_ns >= 0) {
      // Rounded up: a piece of no time would not write at all.
      const int64_t left_ms = (timeout_ns + 999999) / 1000000;
      write_left_ms_ = static_cast<DWORD>(std::min<int64_t>(std::max<int64_t>(left_ms, 1), kWriteSliceMs));
      has_write_left_ = true;
    }
    return QueueCount() ? WaitResult::Writable : WaitResult::Gone;
  }

  void DiscardOutput() override {
    if (IsOpen()) ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  bool AssertDtr() override {
    if (!IsOpen()) return false;
    // Lines without modem signals (a pseudo-terminal behind the port) refuse
    // DTR; that is no failure, and it must not leave a code that later
    // time-out lines would print.
    const DWORD before = ::GetLastError();
    if (::EscapeCommFunction(handle_, SETDTR)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER || error == before) {
      ::SetLastError(before);
      return true;
    }
    return false;
  }

 private:
  bool Apply(COMMTIMEOUTS record) {
    if (!::SetCommTimeouts(handle_, &record)) return false;
    applied_ = record;
    applied_known_ = true;
    return true;
  }

  // Waits and sliced writes change the port's record; each operation puts back
  // the one it needs, asking the port only when it differs.
  bool Use(const COMMTIMEOUTS& record) { return (applied_known_ && SameTimeouts(applied_, record)) || Apply(record); }

  // Until one byte arrives (held), the device goes away, or the time passes.
  WaitResult BlockForByte(int64_t timeout_ns) {
    const bool limited = timeout_ns >= 0;
    const auto deadline = Clock::now() + std::chrono::nanoseconds(limited ? timeout_ns : 0);
    for (;;) {
      DWORD queued = 0;
      if (!QueueCount(&queued)) return WaitResult::Gone;
      if (queued > 0) return WaitResult::Readable;
      DWORD wait_ms = kLongestWaitSliceMs;
      if (limited) {
        const int64_t left_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left_ns <= 0) return WaitResult::TimedOut;
        wait_ms = WaitSliceMs(left_ns);
      }
      if (!Use({MAXDWORD, MAXDWORD, wait_ms, applied_.WriteTotalTimeoutMultiplier,
                applied_.WriteTotalTimeoutConstant})) {
        return WaitResult::Gone;
      }
      if (held_.Room() == 0) return WaitResult::Readable;
      DWORD read = 0;
      if (!::ReadFile(handle_, held_.Tail(), 1, &read, nullptr)) return WaitResult::Gone;
      if (read == 1) {
        held_.Append(1);
        return WaitResult::Readable;
      }
    }
  }

  // Also clears the line's pending error flags. Fails once the device is gone.
  bool QueueCount(DWORD* queued = nullptr) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &errors, &status)) return false;
    if (queued != nullptr) *queued = status.cbInQue;
    return true;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  PortTimeouts timeouts_{};
  COMMTIMEOUTS applied_{};
  bool applied_known_ = false;
  HeldInput held_;
  DWORD write_left_ms_ = 0;
  bool has_write_left_ = false;
};

PortDriverFactory& FactoryOverride() {
  static PortDriverFactory factory;
  return factory;
}

}  // namespace

std::unique_ptr<PortDriver> MakePortDriver() {
  if (FactoryOverride()) return FactoryOverride()();
  return std::make_unique<WindowsPortDriver>();
}

void SetPortDriverFactory(PortDriverFactory factory) { FactoryOverride() = std::move(factory); }

// Also COM10 and above, which only the device namespace knows by name. A name
// already in a device namespace (\\.\COM15, as device managers and other
// tools write it) is taken as it is.
std::string PortPath(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("\\\\?\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

}  // namespace Velkor::HardwareAPI::Platform
