#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "support/PtyEmulator.hpp"

namespace VelkorTest {

// A device that keeps sending the same frame, as a handle streaming
// notifications does, until the object goes or `lasting` has passed.
class Trickle {
 public:
  Trickle(PtyEmulator& device, Bytes frame, std::chrono::milliseconds every,
          std::chrono::seconds lasting = std::chrono::seconds(20))
      : thread_([this, &device, frame, every, lasting] {
          const auto end = std::chrono::steady_clock::now() + lasting;
          while (!stop_ && std::chrono::steady_clock::now() < end) {
            device.Send(frame);
            std::this_thread::sleep_for(every);
          }
        }) {}
  ~Trickle() {
    stop_ = true;
    thread_.join();
  }
  Trickle(const Trickle&) = delete;
  Trickle& operator=(const Trickle&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace VelkorTest
