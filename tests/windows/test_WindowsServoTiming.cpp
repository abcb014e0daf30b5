#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"
#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"
#include "WindowsPorts.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::ServoTimer;
using namespace Velkor::HardwareAPI::Servo;
using namespace VelkorWindowsTest;

// The servo loop against the simulated arm on each of the Windows timers: the
// high-resolution one (Windows 10 1803 and later) and the fallback for systems
// without it, which only this switch reaches on a newer system.
TEST(WindowsServoTiming, TheLoopRunsOnEachTimerAndNamesIt) {
  VELKOR_REQUIRE_PORT(ArmPort());
  const struct {
    bool fallback;
    const char* name;
  } timers[] = {{false, "high-resolution waitable timer"}, {true, "before Windows 10 1803"}};
  for (const auto& t : timers) {
    SCOPED_TRACE(t.name);
    SerialStream stream(ArmPort().c_str(), true);
    ASSERT_TRUE(stream.IsOpen());
    Vorlan3 arm(&stream, 1.0f);
    ServoOptions options;
    options.rate_hz = 500.0;
    // A loaded machine must not make the watchdog hold zero force here.
    options.exchange_timeout = 2.0;
    options.late_limit = 10.0;
    ServoTimer::UseFallback(t.fallback);
    ServoLoop loop(arm, options);
    ServoTimer::UseFallback(false);
    ASSERT_EQ(loop.Start(), nullptr);
    const auto give_up = steady_clock::now() + seconds(20);
    while (loop.Stats().cycles < 300 && steady_clock::now() < give_up) std::this_thread::sleep_for(milliseconds(20));
    const ServoStats stats = loop.Stats();
    loop.Stop();
    EXPECT_GE(stats.cycles, 300u);
    EXPECT_EQ(stats.failures, 0u);
    EXPECT_NE(stats.timer.find(t.name), std::string::npos) << stats.timer;
    EXPECT_NE(stats.realtime_note.find(stats.timer), std::string::npos) << stats.realtime_note;
    // However late the timer wakes, the loop stops sleeping that much earlier, within one period.
    EXPECT_GT(stats.spin_us, 0.0);
    EXPECT_LE(stats.spin_us, 2000.0);
  }
}
