#include "Velkor/HardwareAPI/Discovery/ConcurrentDetect.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Velkor::HardwareAPI {

namespace {

using Clock = std::chrono::steady_clock;

// Short enough that an interruption is seen, and every probe it stops has
// closed its port, well within 50 ms.
constexpr std::chrono::milliseconds kPollSlice{10};

struct Probe {
  std::string port_name;
  std::atomic<bool> stop{false};
  bool finished = false;  // guarded by Shared::mutex
  int32_t answer = 0;
  Clock::time_point finished_at;
  bool reported = false;  // the waiting thread's own
  std::thread worker;
};

struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
};

bool StopRequested(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

}  // namespace

ConcurrentDetectResult DetectConcurrently(DetectTarget target, std::chrono::milliseconds limit,
                                          std::optional<std::chrono::milliseconds> overall,
                                          const ProbeProgress& progress, const std::string& sys_root,
                                          const std::string& dev_root) {
  ConcurrentDetectResult result;
  const Clock::time_point start = Clock::now();
  const std::vector<DetectCandidate> candidates = DetectCandidates(target, sys_root, dev_root);
  int32_t (*const probe_port)(const char*) = target == DetectTarget::Vorlan3 ? ProbeVorlan3Port : ProbeHandlePort;

  Shared shared;
  std::vector<std::unique_ptr<Probe>> probes(candidates.size());
  try {
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (!candidates[i].probe) continue;
      auto probe = std::make_unique<Probe>();
      probe->port_name = candidates[i].port_name;
      Probe* p = probe.get();
      probes[i] = std::move(probe);
      p->worker = std::thread([p, &shared, probe_port] {
        // Each probe starts as on a thread of its own, with no code an earlier one left;
        // its waits ask the stop flag every slice.
        Platform::SetLastError(0);
        int32_t answer = 0;
        {
          ScopedInterruptCheck check(StopRequested, &p->stop, kPollSlice);
          answer = probe_port(p->port_name.c_str());
        }
        std::lock_guard<std::mutex> lock(shared.mutex);
        p->finished = true;
        p->answer = answer;
        p->finished_at = Clock::now();
        shared.changed.notify_all();
      });
    }
  } catch (...) {
    // No thread to be had: the probes that started are stopped and waited for.
    for (auto& p : probes) {
      if (!p || !p->worker.joinable()) continue;
      p->stop.store(true, std::memory_order_relaxed);
      p->worker.join();
    }
    throw;
  }

  bool keep_going = true;
  // What the progress callback threw, rethrown once every probe has ended.
  std::exception_ptr failure;
  auto report = [&](size_t i, ProbeOutcome outcome, Clock::time_point at) {
    if (!keep_going || !progress) return;
    try {
      if (!progress({candidates[i].port_name, outcome, at - start})) {
        keep_going = false;
        result.stopped = true;
      }
    } catch (...) {
      failure = std::current_exception();
      keep_going = false;
    }
  };
  std::vector<bool> counted(candidates.size(), false);
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!candidates[i].probe) {
      counted[i] = true;
      report(i, ProbeOutcome::NotProbed, Clock::now());
    }
  }

  const Clock::time_point limit_at = start + limit;
  const Clock::time_point give_up_at = overall ? start + *overall : Clock::time_point::max();
  for (;;) {
    // Outcomes are collected under the lock and reported without it.
    std::vector<std::pair<size_t, ProbeOutcome>> ended;
    Clock::time_point now;
    bool all_reported = true;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      const Clock::time_point wake = std::min({Clock::now() + kPollSlice, limit_at, give_up_at});
      shared.changed.wait_until(lock, wake);
      now = Clock::now();
      for (size_t i = 0; i < probes.size(); ++i) {
        Probe* p = probes[i].get();
        if (p == nullptr || p->reported) continue;
        if (p->finished) {
          p->reported = true;
          const bool in_time = p->finished_at < limit_at && !p->stop.load(std::memory_order_relaxed);
          const bool found = in_time && p->answer != 0;
          counted[i] = found;
          ended.emplace_back(i, found ? ProbeOutcome::Found : ProbeOutcome::NoAnswer);
        } else if (now >= limit_at && now < give_up_at) {
          // No answer can count any more: end the probe and close its port now.
          p->stop.store(true, std::memory_order_relaxed);
          p->reported = true;
          ended.emplace_back(i, ProbeOutcome::NoAnswer);
        } else {
          all_reported = false;
        }
      }
    }
    for (const auto& [i, outcome] : ended) report(i, outcome, now);
    if (all_reported) break;
    const bool interrupted = InterruptRequested();
    if (interrupted || now >= give_up_at || !keep_going) {
      result.interrupted = interrupted;
      result.timed_out = !interrupted && now >= give_up_at;
      std::vector<size_t> cancelled;
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        for (size_t i = 0; i < probes.size(); ++i) {
          Probe* p = probes[i].get();
          if (p == nullptr || p->reported) continue;
          p->stop.store(true, std::memory_order_relaxed);
          p->reported = true;
          cancelled.push_back(i);
        }
      }
      if (!interrupted) {
        for (size_t i : cancelled) report(i, ProbeOutcome::Cancelled, now);
      }
      break;
    }
  }
  // Every probe closes its port before this returns; stopped ones end within
  // one of their waits' polling intervals.
  for (auto& p : probes) {
    if (p && p->worker.joinable()) p->worker.join();
  }
  if (failure) std::rethrow_exception(failure);
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (counted[i]) result.ports.push_back(candidates[i].port_name);
  }
  return result;
}

}  // namespace Velkor::HardwareAPI
