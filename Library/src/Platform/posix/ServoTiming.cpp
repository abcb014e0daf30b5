#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace Velkor::HardwareAPI::Platform {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;
// Pages of stack touched before locking, so the loop never faults one in later.
constexpr size_t kStackPrefault = 64 * 1024;

timespec ToTimespec(int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / kNanosecondsPerSecond);
  ts.tv_nsec = static_cast<long>(ns % kNanosecondsPerSecond);
  return ts;
}

// Grants whose memory lock is still in force.
std::atomic<int> memory_locks{0};

// Timers made while set sleep as where there is no futex.
std::atomic<bool> use_fallback{false};

// Without a futex the sleep is cut in slices this long to notice Wake.
constexpr int64_t kWakeSlice = 1000000;

void PrefaultStack() {
  volatile unsigned char pages[kStackPrefault];
  for (size_t i = 0; i < sizeof pages; i += 4096) pages[i] = 0;
}

}  // namespace

int64_t MonotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNanosecondsPerSecond + ts.tv_nsec;
}

ServoTimer::ServoTimer() { precise_ = !use_fallback.load(); }

ServoTimer::~ServoTimer() = default;

void ServoTimer::TuneCallingThread() {
#if defined(__linux__)
  // The default 50 us of timer slack would make every wake-up that much late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // Named so that tools (top -H, /proc/<pid>/task) can tell it from the interpreter's threads.
  prctl(PR_SET_NAME, "velkor-servo", 0UL, 0UL, 0UL);
#endif
}

void ServoTimer::UseFallback(bool fallback) { use_fallback.store(fallback); }

const char* ServoTimer::Name() const {
#if defined(__linux__)
  if (!precise_) return "clock_nanosleep on CLOCK_MONOTONIC in 1 ms slices (fallback)";
  return "futex wait on CLOCK_MONOTONIC";
#else
  return "clock_nanosleep on CLOCK_MONOTONIC in 1 ms slices";
#endif
}

bool ServoTimer::SleepUntil(int64_t deadline_ns, int64_t spin_ns, int64_t longest_spin_ns) {
  const int64_t wake = deadline_ns - SpinFor(spin_ns, longest_spin_ns);
  bool slept = false;
  while (!Woken() && MonotonicNanoseconds() < wake) {
    slept = true;
#if defined(__linux__)
    if (!precise_) {
      const timespec ts = ToTimespec(std::min(wake, MonotonicNanoseconds() + kWakeSlice));
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      continue;
    }
    // An absolute wait on the monotonic clock that Wake ends at once; the
    // word is read by the kernel, so a Wake just before the wait is not lost.
    const timespec ts = ToTimespec(wake);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&woken_), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0U, &ts,
            nullptr, FUTEX_BITSET_MATCH_ANY);
#else
    const timespec ts = ToTimespec(std::min(wake, MonotonicNanoseconds() + kWakeSlice));
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
#endif
  }
  if (slept && !Woken()) lateness_.Record(MonotonicNanoseconds() - wake);
  while (!Woken() && MonotonicNanoseconds() < deadline_ns) {
  }
  return !Woken();
}

void ServoTimer::Wake() {
  woken_.store(1, std::memory_order_release);
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&woken_), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
#endif
}

void ServoTimer::Rearm() { woken_.store(0, std::memory_order_release); }

RealtimeGrant RequestRealtime(int priority) {
  RealtimeGrant grant;
  char scheduling[88] = "";
  char memory[88] = "";

  const int lowest = sched_get_priority_min(SCHED_FIFO);
  const int highest = sched_get_priority_max(SCHED_FIFO);
  int wanted = std::clamp(priority, lowest, highest);
  sched_param param{};
  param.sched_priority = wanted;
  int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  rlimit limit{};
  if (rc == EPERM && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<int>(limit.rlim_cur) >= lowest) {
    // Unprivileged users may still have a real-time allowance below what was asked.
    wanted = static_cast<int>(limit.rlim_cur);
    param.sched_priority = wanted;
    rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
  if (rc == 0) {
    grant.scheduling = true;
    grant.priority = wanted;
    std::snprintf(scheduling, sizeof scheduling, "SCHED_FIFO priority %d", wanted);
  } else {
    std::snprintf(scheduling, sizeof scheduling, "SCHED_FIFO refused (%s)", strerror(rc));
  }

  PrefaultStack();
  // Current pages only: locking future ones too could make later allocations of
  // the whole process fail under a small locked-memory limit.
  if (mlockall(MCL_CURRENT) == 0) {
    memory_locks.fetch_add(1, std::memory_order_acq_rel);
    grant.memory_locked = true;
    std::snprintf(memory, sizeof memory, "memory locked");
  } else {
    std::snprintf(memory, sizeof memory, "memory not locked (%s)", strerror(errno));
  }
  std::snprintf(grant.note, sizeof grant.note, "%s; %s", scheduling, memory);
  return grant;
}

void ReleaseRealtime(const RealtimeGrant& grant) {
  if (grant.memory_locked && memory_locks.fetch_sub(1, std::memory_order_acq_rel) == 1) munlockall();
}

}  // namespace Velkor::HardwareAPI::Platform
