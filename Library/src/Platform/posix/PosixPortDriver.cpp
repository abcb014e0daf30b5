#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"
#include "Velkor/HardwareAPI/Platform/PortPath.hpp"
#include "Platform/HeldInput.hpp"

namespace Velkor::HardwareAPI::Platform {

namespace {

using Clock = std::chrono::steady_clock;

// Limits beyond about thirty years would overflow the clock: none then.
constexpr int64_t kLongestWaitNs = int64_t{1} << 60;
constexpr uint64_t kLongestTotalMs = uint64_t{1} << 40;

int64_t NanosLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
}

// Polls one descriptor for the given events with the time left in nanoseconds
// (negative: no limit). Returns the revents, 0 on time-out, -1 on failure.
int PollFor(int fd, short events, int64_t timeout_ns) {
  if (timeout_ns > kLongestWaitNs) timeout_ns = -1;
  const auto deadline = Clock::now() + std::chrono::nanoseconds(timeout_ns < 0 ? 0 : timeout_ns);
  for (;;) {
    pollfd entry{fd, events, 0};
    timespec ts{};
    timespec* limit = nullptr;
    if (timeout_ns >= 0) {
      const int64_t left = NanosLeft(deadline);
      if (left <= 0) return 0;
      ts.tv_sec = static_cast<time_t>(left / 1000000000);
      ts.tv_nsec = static_cast<long>(left % 1000000000);
      limit = &ts;
    }
    const int r = ppoll(&entry, 1, limit, nullptr);
    if (r > 0) return entry.revents;
    if (r == 0) {
      if (timeout_ns >= 0 && NanosLeft(deadline) > 0) continue;
      return 0;
    }
    if (errno == EINTR) continue;
    SetLastError(errno);
    return -1;
  }
}

constexpr short kGoneEvents = POLLHUP | POLLERR | POLLNVAL;
constexpr long kMoreInputStepNs = 87000;

class PosixPortDriver final : public PortDriver {
 public:
  ~PosixPortDriver() override { Close(); }

  int Open(const char* name) override {
    const std::string path = PortPath(name != nullptr ? name : "");
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) {
      const int error = errno;
      SetLastError(error);
      return error == ENOENT ? -1 : -2;
    }
    // A file, a directory, a FIFO or a socket is never opened: writes meant for
    // a device would land in it, and opening a FIFO alone wakes its reader.
    if (!S_ISCHR(node.st_mode)) {
      SetLastError(ENOTTY);
      return -3;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      SetLastError(error);
      return error == ENOENT ? -1 : -2;
    }
    // Character devices that are not terminals (/dev/null, or whatever replaced
    // the node since the stat) are closed before a byte could reach them.
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0) {
      const int error = errno;
      ::close(fd);
      SetLastError(error);
      return -3;
    }
    // TIOCEXCL does not stop root; an advisory lock keeps our own openers out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      SetLastError(error == EWOULDBLOCK ? EBUSY : error);
      return -2;
    }
    // Exclusive mode also keeps out openers that take no lock (not root).
    // Best effort: not every tty has it.
    exclusive_ = ::ioctl(fd, TIOCEXCL) == 0;
    opener_ = ::getpid();
    fd_ = fd;
    return 1;
  }

  int Configure() override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
      const int error = errno;
      Close();
      SetLastError(error);
      return -3;
    }
    // Raw 8-bit whatever an earlier opener left behind; waits are done with poll().
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
      SetLastError(errno);
      return -5;
    }
    // tcsetattr succeeds when any one change applied: check what matters.
    termios applied{};
    if (::tcgetattr(fd_, &applied) != 0) {
      SetLastError(errno);
      return -5;
    }
    if ((applied.c_cflag & CSIZE) != CS8 || (applied.c_cflag & (PARENB | CSTOPB)) != 0 ||
        (applied.c_lflag & (ICANON | ECHO | ISIG)) != 0 || applied.c_cc[VMIN] != 0) {
      SetLastError(EINVAL);
      return -5;
    }
    SetLowLatency();
    return 0;
  }

  bool SetTimeouts(const PortTimeouts& timeouts) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return false;
    }
    timeouts_ = timeouts;
    return true;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  void Close() override {
    if (fd_ < 0) return;
    // The lock goes with the last descriptor of the open file, never by an
    // explicit unlock: a forked child closing its copy must not unlock the
    // port under its parent. Exclusive mode belongs to the tty, so only the
    // process that opened it lifts it.
    if (exclusive_ && ::getpid() == opener_) ::ioctl(fd_, TIOCNXCL);
    exclusive_ = false;
    ::close(fd_);
    fd_ = -1;
    held_.Clear();
  }

  long Read(void* buffer, size_t n) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return -1;
    }
    if (n == 0) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    size_t got = held_.Take(out, n);
    if (got == n) return static_cast<long>(got);
    const uint64_t total_ms = std::min<uint64_t>(
        kLongestTotalMs, uint64_t{timeouts_.read_total_constant} +
                             uint64_t{timeouts_.read_total_per_byte} * std::min<uint64_t>(n, kLongestTotalMs));
    const bool total_limited = total_ms > 0;
    const auto total_deadline = Clock::now() + std::chrono::milliseconds(total_ms);
    const auto interval = std::chrono::milliseconds(timeouts_.read_interval);
    Clock::time_point last_byte = Clock::now();
    bool readable = false;
    for (;;) {
      const ssize_t r = ::read(fd_, out + got, n - got);
      if (r > 0) {
        got += static_cast<size_t>(r);
        readable = false;
        last_byte = Clock::now();
        if (got == n) return static_cast<long>(got);
        continue;
      }
      // With VMIN = VTIME = 0 an empty line reads 0; after POLLIN it means the
      // device went away.
      if (r == 0 && readable) return Gone(EIO, got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Gone(errno, got);

      bool limited = total_limited;
      int64_t wait_ns = total_limited ? NanosLeft(total_deadline) : -1;
      if (got > 0 && timeouts_.read_interval > 0) {
        const int64_t interval_left = NanosLeft(last_byte + interval);
        wait_ns = limited ? std::min(wait_ns, interval_left) : interval_left;
        limited = true;
      }
      if (limited && wait_ns <= 0) return static_cast<long>(got);
      const WaitResult waited = WaitReadable(limited ? wait_ns : -1);
      if (waited == WaitResult::Gone) return got > 0 ? static_cast<long>(got) : -1;
      if (waited == WaitResult::TimedOut) return static_cast<long>(got);
      readable = true;
    }
  }

  long Write(const void* data, size_t n) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return -1;
    }
    const auto* in = static_cast<const unsigned char*>(data);
    const uint64_t total_ms = std::min<uint64_t>(
        kLongestTotalMs, uint64_t{timeouts_.write_total_constant} +
                             uint64_t{timeouts_.write_total_per_byte} * std::min<uint64_t>(n, kLongestTotalMs));
    const auto deadline = Clock::now() + std::chrono::milliseconds(total_ms);
    size_t sent = 0;
    while (sent < n) {
      const ssize_t r = ::write(fd_, in + sent, n - sent);
      if (r > 0) {
        sent += static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        SetLastError(errno);
        return sent > 0 ? static_cast<long>(sent) : -1;
      }
      const int64_t left = total_ms > 0 ? NanosLeft(deadline) : -1;
      if (total_ms > 0 && left <= 0) {
        SetLastError(ETIMEDOUT);
        return static_cast<long>(sent);
      }
      const int events = PollFor(fd_, POLLOUT, left);
      if (events < 0) return static_cast<long>(sent);
      if (events == 0) {
        SetLastError(ETIMEDOUT);
        return static_cast<long>(sent);
      }
      if ((events & POLLOUT) == 0 && (events & kGoneEvents) != 0) {
        SetLastError(EIO);
        return static_cast<long>(sent);
      }
    }
    return static_cast<long>(sent);
  }

  long BytesWaiting() override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return -1;
    }
    int count = 0;
    if (::ioctl(fd_, FIONREAD, &count) != 0) {
      SetLastError(errno);
      return -1;
    }
    return count + static_cast<long>(held_.Size());
  }

  // poll() reports queued input at once, so what has come of a frame is taken
  // out of the system's queue first (and held: still waiting, for the layers
  // above); then poll() blocks until more arrives.
  WaitResult WaitForMore(long queued_now, int64_t timeout_ns) override {
    if (queued_now <= 0) return WaitReadable(timeout_ns);
    if (fd_ < 0) {
      SetLastError(EBADF);
      return WaitResult::Gone;
    }
    while (held_.Room() > 0) {
      const ssize_t r = ::read(fd_, held_.Tail(), held_.Room());
      if (r > 0) {
        held_.Append(static_cast<size_t>(r));
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      break;
    }
    if (static_cast<long>(held_.Size()) > queued_now) return WaitResult::Readable;
    if (held_.Room() == 0) {
      // Nowhere to hold more: wait about a byte time at 115200 baud.
      timespec ts{0, kMoreInputStepNs};
      ::nanosleep(&ts, nullptr);
      return WaitResult::Readable;
    }
    const int events = PollFor(fd_, POLLIN, timeout_ns);
    if (events < 0) return WaitResult::Gone;
    if (events == 0) return WaitResult::TimedOut;
    if ((events & POLLIN) == 0 && (events & kGoneEvents) != 0) {
      SetLastError(EIO);
      return WaitResult::Gone;
    }
    return WaitResult::Readable;
  }

  WaitResult WaitReadable(int64_t timeout_ns) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return WaitResult::Gone;
    }
    if (held_.Size() > 0) return WaitResult::Readable;
    const int events = PollFor(fd_, POLLIN, timeout_ns);
    if (events < 0) return WaitResult::Gone;
    if (events == 0) return WaitResult::TimedOut;
    // A hung-up line also reports POLLIN; only bytes still queued make it readable.
    if ((events & kGoneEvents) != 0) {
      int queued = 0;
      if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued == 0) {
        SetLastError(EIO);
        return WaitResult::Gone;
      }
    }
    return WaitResult::Readable;
  }

  long WriteSome(const void* data, size_t n) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return -1;
    }
    for (;;) {
      const ssize_t r = ::write(fd_, data, n);
      if (r >= 0) return static_cast<long>(r);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      SetLastError(errno);
      return -1;
    }
  }

  WaitResult WaitWritable(int64_t timeout_ns) override {
    if (fd_ < 0) {
      SetLastError(EBADF);
      return WaitResult::Gone;
    }
    const int events = PollFor(fd_, POLLOUT, timeout_ns);
    if (events < 0) return WaitResult::Gone;
    if (events == 0) return WaitResult::TimedOut;
    if ((events & POLLOUT) == 0 && (events & kGoneEvents) != 0) {
      SetLastError(EIO);
      return WaitResult::Gone;
    }
    return WaitResult::Writable;
  }

  void DiscardOutput() override {
    if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
  }

  bool AssertDtr() override {
    if (fd_ < 0) return false;
    int bits = TIOCM_DTR;
    if (::ioctl(fd_, TIOCMBIS, &bits) == 0) return true;
    // Pseudo-terminals have no modem lines.
    if (errno == ENOTTY || errno == EINVAL) return true;
    SetLastError(errno);
    return false;
  }

 private:
  long Gone(int error, size_t got) {
    SetLastError(error);
    return got > 0 ? static_cast<long>(got) : -1;
  }

  // Best effort: FTDI bridges shorten their latency timer, others ignore it.
  void SetLowLatency() {
    serial_struct info{};
    if (::ioctl(fd_, TIOCGSERIAL, &info) != 0) return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd_, TIOCSSERIAL, &info);
  }

  int fd_ = -1;
  bool exclusive_ = false;
  pid_t opener_ = 0;
  PortTimeouts timeouts_{};
  HeldInput held_;
};

PortDriverFactory& FactoryOverride() {
  static PortDriverFactory factory;
  return factory;
}

}  // namespace

std::string PortPath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  return "/dev/" + name;
}

std::unique_ptr<PortDriver> MakePortDriver() {
  if (FactoryOverride()) return FactoryOverride()();
  return std::make_unique<PosixPortDriver>();
}

void SetPortDriverFactory(PortDriverFactory factory) { FactoryOverride() = std::move(factory); }

}  // namespace Velkor::HardwareAPI::Platform
