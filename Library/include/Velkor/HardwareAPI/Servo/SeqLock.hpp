#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace Velkor::HardwareAPI::Servo {

// One writer publishes a value; any number of readers copy it without locking
// and never see two writes mixed. The value is held in atomic words so that a
// read racing a write is a retry, not undefined behaviour.
template <class T>
class SeqLock {
  static_assert(std::is_trivially_copyable_v<T>, "a sequence lock copies its value bytewise");
  static constexpr size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

 public:
  // Only ever from one thread at a time.
  void Store(const T& value) {
    uint64_t words[kWords] = {};
    std::memcpy(words, &value, sizeof(T));
    const uint64_t sequence = sequence_.load(std::memory_order_relaxed);
    sequence_.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
    sequence_.store(sequence + 2, std::memory_order_release);
  }

  T Load() const {
    uint64_t words[kWords];
    for (;;) {
      const uint64_t before = sequence_.load(std::memory_order_acquire);
      if ((before & 1) == 0) {
        for (size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == before) break;
      }
      // A write takes well under a microsecond; let it finish.
      std::this_thread::yield();
    }
    T value;
    std::memcpy(&value, words, sizeof(T));
    return value;
  }

 private:
  std::atomic<uint64_t> sequence_{0};
  std::atomic<uint64_t> words_[kWords] = {};
};

}  // namespace Velkor::HardwareAPI::Servo
