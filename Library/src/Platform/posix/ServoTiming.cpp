#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
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

ServoTimer::ServoTimer() {
#if defined(__linux__)
  // The default 50 us of timer slack would make every wake-up that much late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // Named so that tools (top -H, /proc/<pid>/task) can tell it from the interpreter's threads.
  prctl(PR_SET_NAME, "velkor-servo", 0UL, 0UL, 0UL);
#endif
}

ServoTimer::~ServoTimer() = default;

void ServoTimer::SleepUntil(int64_t deadline_ns, int64_t spin_ns) {
  const int64_t wake = deadline_ns - std::max<int64_t>(spin_ns, 0);
  if (MonotonicNanoseconds() < wake) {
    const timespec ts = ToTimespec(wake);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
  }
  while (MonotonicNanoseconds() < deadline_ns) {
  }
}

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
    grant.memory_locked = true;
    std::snprintf(memory, sizeof memory, "memory locked");
  } else {
    std::snprintf(memory, sizeof memory, "memory not locked (%s)", strerror(errno));
  }
  std::snprintf(grant.note, sizeof grant.note, "%s; %s", scheduling, memory);
  return grant;
}

}  // namespace Velkor::HardwareAPI::Platform
