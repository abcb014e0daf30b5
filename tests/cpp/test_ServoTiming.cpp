#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"

using namespace Velkor::HardwareAPI::Platform;

namespace {

constexpr int64_t kMillisecond = 1000000;
// How much the timer spins beyond the lateness it measured.
constexpr int64_t kMargin = 20000;

// Timers made in its scope use the platform's fallback.
struct FallbackTimers {
  FallbackTimers() { ServoTimer::UseFallback(true); }
  ~FallbackTimers() { ServoTimer::UseFallback(false); }
};

}  // namespace

TEST(ServoTiming, WakeLatenessIsTheNinetiethPercentileOfEachWindow) {
  const struct {
    const char* what;
    std::vector<int64_t> window;
    int64_t typical;
  } cases[] = {
      {"1 to 64 us", [] { std::vector<int64_t> v; for (int64_t i = 1; i <= 64; ++i) v.push_back(i * 1000); return v; }(),
       58000},
      {"a rare stall is no typical wake", [] { std::vector<int64_t> v(64, 100000); v[10] = 50 * kMillisecond; return v; }(),
       100000},
      {"early wakes count as on time", std::vector<int64_t>(64, -5000), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WakeLateness lateness;
    EXPECT_EQ(lateness.Typical(), 0);
    for (size_t i = 0; i + 1 < c.window.size(); ++i) lateness.Record(c.window[i]);
    EXPECT_EQ(lateness.Typical(), 0) << "known only once a window is full";
    lateness.Record(c.window.back());
    EXPECT_EQ(lateness.Typical(), c.typical);
  }
}

TEST(ServoTiming, EachTimerWakesAtItsDeadlineAndSpinsForHowLateItWakes) {
  for (const bool fallback : {false, true}) {
    ServoTimer::UseFallback(fallback);
    ServoTimer timer;
    ServoTimer::UseFallback(false);
    SCOPED_TRACE(timer.Name());
    // Sleeps of a millisecond, spinning at most 2 ms, with a spin of 0 asked for.
    int64_t deadline = MonotonicNanoseconds();
    for (size_t i = 0; i < 3 * WakeLateness::kWindow; ++i) {
      deadline += kMillisecond;
      const int64_t typical = timer.TypicalLateness();
      ASSERT_TRUE(timer.SleepUntil(deadline, 0, 2 * kMillisecond));
      ASSERT_GE(MonotonicNanoseconds(), deadline) << "woke before the deadline";
      EXPECT_EQ(timer.Spin(), std::min(typical + kMargin, 2 * kMillisecond));
      deadline = std::max(deadline, MonotonicNanoseconds());
    }
    // Without room to adapt, the spin asked for stands.
    ASSERT_TRUE(timer.SleepUntil(MonotonicNanoseconds() + kMillisecond, 300000, 0));
    EXPECT_EQ(timer.Spin(), 300000);
  }
}

TEST(ServoTiming, TheFallbackTimerSaysSoAndWakeStillEndsItsSleep) {
  std::string precise_name;
  {
    ServoTimer precise;
    precise_name = precise.Name();
  }
  FallbackTimers fallback;
  ServoTimer timer;
  EXPECT_NE(std::string(timer.Name()), precise_name);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    timer.Wake();
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(timer.SleepUntil(MonotonicNanoseconds() + 60000 * kMillisecond, 0, kMillisecond));
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30)) << "Wake did not end the sleep";
  EXPECT_FALSE(timer.SleepUntil(MonotonicNanoseconds() + kMillisecond, 0)) << "woken until rearmed";
  timer.Rearm();
  EXPECT_TRUE(timer.SleepUntil(MonotonicNanoseconds() + kMillisecond, 0));
}
