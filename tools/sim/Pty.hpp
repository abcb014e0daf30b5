#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace Velkor::Sim {

inline double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline void SleepUntil(double t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
  if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

// The master side of a pseudo-terminal whose slave the host opens like a serial port.
class Pty {
 public:
  Pty() = default;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  ~Pty() { Close(); }

  bool Open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return Fail("posix_openpt");
    if (grantpt(master_) != 0) return Fail("grantpt");
    if (unlockpt(master_) != 0) return Fail("unlockpt");
    const char* name = ptsname(master_);
    if (name == nullptr) return Fail("ptsname");
    slave_path_ = name;
    // A fresh slave echoes and edits lines until someone sets it raw; a host that
    // is slow to configure the line must not see our replies echoed back to us.
    // Opening and closing it once also arms the hang-up signal that tells us when
    // no host holds the line (before the first open the master reports none).
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return Fail("open slave");
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      tio.c_cc[VMIN] = 0;
      tio.c_cc[VTIME] = 0;
      tcsetattr(slave, TCSANOW, &tio);
    }
    close(slave);
    return true;
  }

  bool Link(const std::string& link_path) {
    struct stat st{};
    // Replace only a symbolic link (an earlier run's), never a real file.
    if (lstat(link_path.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "velkor-sim: %s exists and is not a symbolic link\n", link_path.c_str());
        return false;
      }
      unlink(link_path.c_str());
    }
    if (symlink(slave_path_.c_str(), link_path.c_str()) != 0) return Fail("symlink");
    link_path_ = link_path;
    return true;
  }

  // Replies a host left unread stay queued in the slave; the next host must not get them.
  void DiscardUnreadOutput() {
    const int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;
    tcflush(slave, TCIFLUSH);
    close(slave);
  }

  // One write per frame so it reaches the host in one piece; a reply waits a little
  // for room, streamed traffic is dropped when the host does not read.
  bool Write(const uint8_t* data, size_t n, bool wait_for_room) {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = write(master_, data + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EAGAIN && wait_for_room) {
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 100) > 0 && (p.revents & POLLOUT)) continue;
      }
      return false;
    }
    return true;
  }

  void Close() {
    if (!link_path_.empty()) {
      char target[4096];
      const ssize_t len = readlink(link_path_.c_str(), target, sizeof target - 1);
      if (len > 0) {
        target[len] = '\0';
        if (slave_path_ == target) unlink(link_path_.c_str());
      }
      link_path_.clear();
    }
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  int Fd() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }

 private:
  bool Fail(const char* what) {
    std::fprintf(stderr, "velkor-sim: %s: %s\n", what, std::strerror(errno));
    return false;
  }

  int master_ = -1;
  std::string slave_path_;
  std::string link_path_;
};

}  // namespace Velkor::Sim
