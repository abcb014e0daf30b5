#include "Velkor/HardwareAPI/IO/Lease.hpp"

namespace Velkor::HardwareAPI::IO {

namespace {
thread_local const LeaseHolder* acting_for = nullptr;
}  // namespace

const LeaseHolder* ActingHolder() { return acting_for; }

ActingFor::ActingFor(const LeaseHolder* holder) : previous_(acting_for) { acting_for = holder; }

ActingFor::~ActingFor() { acting_for = previous_; }

bool Lease::Acquire(LeaseHolder* holder) {
  LeaseHolder* expected = nullptr;
  return holder != nullptr && holder_.compare_exchange_strong(expected, holder, std::memory_order_acq_rel);
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
  // One revocation at a time.
  std::lock_guard<std::mutex> lock(revoking_);
  LeaseHolder* holder = holder_.load(std::memory_order_acquire);
  if (holder == nullptr || holder == acting_for) return;
  holder->Revoke();
}

}  // namespace Velkor::HardwareAPI::IO
