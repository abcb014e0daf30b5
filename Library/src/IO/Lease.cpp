#include "Velkor/HardwareAPI/IO/Lease.hpp"

#include <chrono>
#include <thread>

namespace Velkor::HardwareAPI::IO {

namespace {
thread_local const LeaseHolder* acting_for = nullptr;
}  // namespace

const LeaseHolder* ActingHolder() { return acting_for; }

ActingFor::ActingFor(const LeaseHolder* holder) : previous_(acting_for) { acting_for = holder; }

ActingFor::~ActingFor() { acting_for = previous_; }

bool Lease::Acquire(LeaseHolder* holder, double drain_seconds) {
  LeaseHolder* expected = nullptr;
  if (holder == nullptr || !holder_.compare_exchange_strong(expected, holder, std::memory_order_seq_cst)) return false;
  // Calls that entered before the lease was taken may still be at the port;
  // calls entering from now on see it and are refused.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(drain_seconds);
  while (users_.load(std::memory_order_seq_cst) > 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      Release(holder);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool Lease::Enter() {
  users_.fetch_add(1, std::memory_order_seq_cst);
  const LeaseHolder* holder = holder_.load(std::memory_order_seq_cst);
  if (holder == nullptr || holder == acting_for) return true;
  users_.fetch_sub(1, std::memory_order_seq_cst);
  return false;
}

void Lease::Release(LeaseHolder* holder) {
  LeaseHolder* expected = holder;
  holder_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

bool Lease::Admits() const {
  const LeaseHolder* holder = holder_.load(std::memory_order_acquire);
  return holder == nullptr || holder == acting_for;
}

void Lease::Revoke() {
  // The holder's own thread (a loop reopening its port) has nothing to revoke,
  // and must not wait on the lock: the revoker holding it may be joining it.
  LeaseHolder* holder = holder_.load(std::memory_order_acquire);
  if (holder == nullptr || holder == acting_for) return;
  // One revocation at a time. The holder's threads never take this lock (see
  // above), so stopping them under it cannot wait on it.
  std::lock_guard<std::mutex> lock(revoking_);
  holder = holder_.load(std::memory_order_acquire);
  if (holder == nullptr || holder == acting_for) return;
  holder->Revoke();
}

}  // namespace Velkor::HardwareAPI::IO
