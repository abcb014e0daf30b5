#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

// Windows 10 1803 and later; older systems refuse the flag and get the fallback.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace Velkor::HardwareAPI::Platform {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;
// Beyond the time asked for, how long a wait on the timer may take before the
// thread gives up on it and finishes by yielding.
constexpr DWORD kTimerGraceMilliseconds = 100;

int64_t CounterFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  return frequency;
}

// Timers made while set behave as on a system without the high-resolution timer.
std::atomic<bool> use_fallback{false};

}  // namespace

void ServoTimer::UseFallback(bool fallback) { use_fallback.store(fallback); }

const char* ServoTimer::Name() const {
  if (precise_) return "high-resolution waitable timer";
  return "no high-resolution waitable timer (before Windows 10 1803): yields the processor until the deadline";
}

int64_t MonotonicNanoseconds() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  const int64_t frequency = CounterFrequency();
  const int64_t ticks = static_cast<int64_t>(count.QuadPart);
  // Split so the product cannot overflow after a long uptime.
  return (ticks / frequency) * kNanosecondsPerSecond + (ticks % frequency) * kNanosecondsPerSecond / frequency;
}

ServoTimer::ServoTimer() {
  wake_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE timer = use_fallback.load()
                     ? nullptr
                     : CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  precise_ = timer != nullptr;
  // A classic timer wakes on the system tick (up to 15.6 ms): useless for one
  // period, so without a precise one the thread yields until the deadline.
  timer_ = timer;
}

ServoTimer::~ServoTimer() {
  if (timer_ != nullptr) CloseHandle(static_cast<HANDLE>(timer_));
  if (wake_event_ != nullptr) CloseHandle(static_cast<HANDLE>(wake_event_));
}

void ServoTimer::TuneCallingThread() {}

bool ServoTimer::SleepUntil(int64_t deadline_ns, int64_t spin_ns, int64_t longest_spin_ns) {
  const int64_t wake = deadline_ns - SpinFor(spin_ns, longest_spin_ns);
  const int64_t now = MonotonicNanoseconds();
  if (precise_ && wake_event_ != nullptr && now < wake && !Woken()) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((wake - now) / 100);  // relative, in 100 ns units
    if (due.QuadPart < 0 && SetWaitableTimer(static_cast<HANDLE>(timer_), &due, 0, nullptr, nullptr, FALSE)) {
      const DWORD limit = static_cast<DWORD>((wake - now) / 1000000) + kTimerGraceMilliseconds;
      HANDLE handles[2] = {static_cast<HANDLE>(timer_), static_cast<HANDLE>(wake_event_)};
      if (WaitForMultipleObjects(2, handles, FALSE, limit) == WAIT_OBJECT_0) {
        lateness_.Record(MonotonicNanoseconds() - wake);
      }
    }
  }
  // Without the precise timer (or after its wait gave up) the thread yields
  // until the wake time: that keeps the period, at the cost of a busy processor.
  const bool yielding = !Woken() && MonotonicNanoseconds() < wake;
  while (!Woken() && MonotonicNanoseconds() < wake) SwitchToThread();
  if (yielding && !Woken()) lateness_.Record(MonotonicNanoseconds() - wake);
  while (!Woken() && MonotonicNanoseconds() < deadline_ns) YieldProcessor();
  return !Woken();
}

void ServoTimer::Wake() {
  woken_.store(1, std::memory_order_release);
  if (wake_event_ != nullptr) SetEvent(static_cast<HANDLE>(wake_event_));
}

void ServoTimer::Rearm() {
  woken_.store(0, std::memory_order_release);
  if (wake_event_ != nullptr) ResetEvent(static_cast<HANDLE>(wake_event_));
}

RealtimeGrant RequestRealtime(int priority) {
  RealtimeGrant grant;
  // The highest priority a thread may take without raising its process's class,
  // which needs a privilege and silently falls short without it.
  if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
    grant.scheduling = true;
    grant.priority = THREAD_PRIORITY_TIME_CRITICAL;
    std::snprintf(grant.note, sizeof grant.note,
                  "THREAD_PRIORITY_TIME_CRITICAL (asked for %d); memory not locked (no process-wide lock on "
                  "this platform)",
                  priority);
  } else {
    std::snprintf(grant.note, sizeof grant.note,
                  "thread priority refused (error %lu); memory not locked (no process-wide lock on this platform)",
                  static_cast<unsigned long>(GetLastError()));
  }
  return grant;
}

void ReleaseRealtime(const RealtimeGrant&) {}

}  // namespace Velkor::HardwareAPI::Platform
