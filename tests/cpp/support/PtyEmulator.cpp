#include "support/PtyEmulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace VelkorTest {

PtyEmulator::PtyEmulator() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  slave_path_ = ptsname(master_);
  // Held open so the line stays raw and the master never reads EIO between host opens.
  slave_keepalive_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  tcgetattr(slave_keepalive_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_keepalive_, TCSANOW, &tio);
  thread_ = std::thread([this] { Run(); });
}

PtyEmulator::~PtyEmulator() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (master_ >= 0) close(master_);
  if (slave_keepalive_ >= 0) close(slave_keepalive_);
}

void PtyEmulator::Expect(size_t request_size, Bytes reply, std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({request_size, std::move(reply), delay, false});
}

void PtyEmulator::ExpectThenHangUp(size_t request_size, std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({request_size, {}, delay, true});
}

void PtyEmulator::Send(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteMaster(bytes);
}

void PtyEmulator::SendAfter(std::chrono::milliseconds delay, Bytes bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({0, std::move(bytes), delay, false});
}

void PtyEmulator::HangUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ >= 0) close(master_);
  master_ = -1;
  if (slave_keepalive_ < 0) return;
  // The kernel hangs the slave up after the master's last reference goes, which
  // may be later than close() returns (the emulator thread may still be polling
  // it). Return only once the slave side is hung up: the keep-alive reports
  // POLLHUP and refuses writes, as every other descriptor of the slave then does.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    pollfd pfd{slave_keepalive_, POLLIN, 0};
    const bool hung_up = poll(&pfd, 1, 50) > 0 && (pfd.revents & POLLHUP) != 0;
    const uint8_t probe = 0;
    if (hung_up && write(slave_keepalive_, &probe, 1) < 0) break;
    if (std::chrono::steady_clock::now() > give_up) break;
    if (hung_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(slave_keepalive_);
  slave_keepalive_ = -1;
}

void PtyEmulator::PauseReading() {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = true;
}

void PtyEmulator::ResumeReading() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Take in at once what the host wrote during the pause (the reader thread
    // keeps off the master while paused), so a test that forgets the written
    // bytes next cannot race the reader over them.
    for (;;) {
      pollfd entry{master_, POLLIN, 0};
      if (master_ < 0 || poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) break;
      uint8_t buffer[4096];
      const ssize_t got = read(master_, buffer, sizeof buffer);
      if (got <= 0) break;
      written_.insert(written_.end(), buffer, buffer + got);
    }
    paused_ = false;
  }
  changed_.notify_all();
}

void PtyEmulator::ForgetWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  consumed_ = written_.size();
}

Bytes PtyEmulator::Written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool PtyEmulator::WaitWritten(size_t n, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return written_.size() >= n; });
}

bool PtyEmulator::WaitScriptDone(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return script_.empty(); });
}

void PtyEmulator::WriteMaster(const Bytes& bytes) {
  size_t sent = 0;
  while (master_ >= 0 && sent < bytes.size()) {
    const ssize_t r = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (r <= 0) break;
    sent += static_cast<size_t>(r);
  }
}

void PtyEmulator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!script_.empty() && written_.size() - consumed_ >= script_.front().request_size) {
      Step step = script_.front();
      consumed_ += step.request_size;
      lock.unlock();
      std::this_thread::sleep_for(step.delay);
      lock.lock();
      if (stop_) break;
      if (step.hang_up) {
        lock.unlock();
        HangUp();
        lock.lock();
      } else {
        WriteMaster(step.reply);
      }
      script_.pop_front();
      changed_.notify_all();
      continue;
    }
    const int fd = paused_ ? -1 : master_;
    lock.unlock();
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      lock.lock();
      continue;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, 5);
    uint8_t buffer[4096];
    ssize_t got = 0;
    if (ready > 0 && (entry.revents & POLLIN)) got = read(fd, buffer, sizeof buffer);
    lock.lock();
    if (got > 0) {
      written_.insert(written_.end(), buffer, buffer + got);
      changed_.notify_all();
    }
  }
}

}  // namespace VelkorTest
