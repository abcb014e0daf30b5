#pragma once

#include <atomic>
#include <mutex>

namespace Velkor::HardwareAPI::IO {

// Whoever holds a lease: a servo loop, for instance. It can be asked to give
// the lease back.
class LeaseHolder {
 public:
  // Names the holder in messages ("ServoLoop #2 (1000 Hz)"); valid while it holds a lease.
  virtual const char* LeaseName() const = 0;
  // Stops using what it leased and releases the lease before returning. Called
  // from a thread that does not act for the holder.
  virtual void Revoke() = 0;

 protected:
  ~LeaseHolder() = default;
};

// Exclusive use of a stream and of every device built on it. While a holder
// has the lease, only threads acting for it (see ActingFor) may reach the
// port; every other call is refused before it touches the port or the
// device's buffers. No lock on the checking path: one atomic load.
class Lease {
 public:
  Lease() = default;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  // False when someone holds it already, or when calls that began before it
  // (Enter without Leave) have not ended within `drain_seconds`.
  bool Acquire(LeaseHolder* holder, double drain_seconds = 1.0);
  // Only the holder's own release counts.
  void Release(LeaseHolder* holder);
  LeaseHolder* Holder() const { return holder_.load(std::memory_order_acquire); }
  // Whether the calling thread may use what the lease guards.
  bool Admits() const;
  // Brackets one call by someone else than the holder, so that Acquire can wait
  // for calls already under way: false (and no Leave due) when refused.
  bool Enter();
  void Leave() { users_.fetch_sub(1, std::memory_order_seq_cst); }

  // Asks the holder, if any and if the calling thread does not act for it, to
  // stop and release; returns once it has. A holder must not be destroyed
  // while another thread revokes its lease (a loop outlives its stream's Close).
  void Revoke();

 private:
  std::atomic<LeaseHolder*> holder_{nullptr};
  std::atomic<int> users_{0};
  std::mutex revoking_;
};

// Marks the calling thread as acting for `holder` for the object's lifetime.
class ActingFor {
 public:
  explicit ActingFor(const LeaseHolder* holder);
  ~ActingFor();
  ActingFor(const ActingFor&) = delete;
  ActingFor& operator=(const ActingFor&) = delete;

 private:
  const LeaseHolder* previous_;
};

// The holder the calling thread acts for, or nullptr.
const LeaseHolder* ActingHolder();

}  // namespace Velkor::HardwareAPI::IO
