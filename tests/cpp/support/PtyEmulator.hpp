#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace VelkorTest {

using Bytes = std::vector<uint8_t>;

// A device played on the master side of a real pseudo-terminal. The host opens
// SlavePath(); the emulator records everything the host writes and answers
// from a script: after the host has written `request_size` more bytes, wait
// `delay`, then write `reply` (and hang up if asked).
class PtyEmulator {
 public:
  PtyEmulator();
  ~PtyEmulator();
  PtyEmulator(const PtyEmulator&) = delete;
  PtyEmulator& operator=(const PtyEmulator&) = delete;

  const std::string& SlavePath() const { return slave_path_; }

  void Expect(size_t request_size, Bytes reply, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Hang up (close the master) once the host has written request_size more bytes.
  void ExpectThenHangUp(size_t request_size, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Writes to the host now.
  void Send(const Bytes& bytes);
  void SendAfter(std::chrono::milliseconds delay, Bytes bytes);
  void HangUp();
  // A device that stops reading: what the host writes stays in the line's
  // queues until reading resumes.
  void PauseReading();
  void ResumeReading();
  // Scripted steps count only what the host writes from now on.
  void ForgetWritten();

  // Everything the host has written so far.
  Bytes Written();
  // Waits (bounded) until the host has written at least n bytes in all.
  bool WaitWritten(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Waits (bounded) until every scripted step has been played.
  bool WaitScriptDone(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  struct Step {
    size_t request_size;
    Bytes reply;
    std::chrono::milliseconds delay;
    bool hang_up;
  };
  void Run();
  void WriteMaster(const Bytes& bytes);

  int master_ = -1;
  int slave_keepalive_ = -1;
  std::string slave_path_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> script_;
  Bytes written_;
  size_t consumed_ = 0;
  bool stop_ = false;
  bool paused_ = false;
  std::thread thread_;
};

}  // namespace VelkorTest
