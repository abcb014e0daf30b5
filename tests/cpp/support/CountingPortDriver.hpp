#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"

namespace VelkorTest {

// The platform's own port driver, with a count of the queries the layers above
// make of it (reads, count queries, waits) from a chosen moment on. A wait that
// sleeps between queries instead of blocking on the port shows up as a count
// that grows with the time waited.
class CountingPortDriver : public Velkor::HardwareAPI::Platform::PortDriver {
 public:
  struct Tally {
    std::atomic<long> calls{0};
    std::atomic<std::chrono::steady_clock::rep> from{0};
  };

  CountingPortDriver(std::unique_ptr<PortDriver> inner, std::shared_ptr<Tally> tally)
      : inner_(std::move(inner)), tally_(std::move(tally)) {}

  int Open(const char* name) override { return inner_->Open(name); }
  int Configure() override { return inner_->Configure(); }
  bool SetTimeouts(const Velkor::HardwareAPI::Platform::PortTimeouts& t) override { return inner_->SetTimeouts(t); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  void Close() override { inner_->Close(); }
  long Read(void* buffer, size_t n) override {
    Count();
    return inner_->Read(buffer, n);
  }
  long Write(const void* data, size_t n) override { return inner_->Write(data, n); }
  long BytesWaiting() override {
    Count();
    return inner_->BytesWaiting();
  }
  Velkor::HardwareAPI::Platform::WaitResult WaitReadable(int64_t timeout_ns) override {
    Count();
    return inner_->WaitReadable(timeout_ns);
  }
  Velkor::HardwareAPI::Platform::WaitResult WaitForMore(long queued_now, int64_t timeout_ns) override {
    Count();
    return inner_->WaitForMore(queued_now, timeout_ns);
  }
  bool AssertDtr() override { return inner_->AssertDtr(); }
  long WriteSome(const void* data, size_t n) override { return inner_->WriteSome(data, n); }
  Velkor::HardwareAPI::Platform::WaitResult WaitWritable(int64_t timeout_ns) override {
    return inner_->WaitWritable(timeout_ns);
  }
  void DiscardOutput() override { inner_->DiscardOutput(); }

 private:
  void Count() {
    if (std::chrono::steady_clock::now().time_since_epoch().count() >= tally_->from) ++tally_->calls;
  }

  std::unique_ptr<PortDriver> inner_;
  std::shared_ptr<Tally> tally_;
};

// The next port opened (one only) gets the platform's driver with a count.
class CountedPort {
 public:
  CountedPort() : tally_(std::make_shared<CountingPortDriver::Tally>()) {
    auto platform = std::make_shared<std::unique_ptr<Velkor::HardwareAPI::Platform::PortDriver>>(
        Velkor::HardwareAPI::Platform::MakePortDriver());
    Velkor::HardwareAPI::Platform::SetPortDriverFactory([platform, tally = tally_] {
      return std::make_unique<CountingPortDriver>(std::move(*platform), tally);
    });
  }
  ~CountedPort() { Velkor::HardwareAPI::Platform::SetPortDriverFactory(nullptr); }
  CountedPort(const CountedPort&) = delete;
  CountedPort& operator=(const CountedPort&) = delete;

  // Counts the queries made from `delay` after now on; earlier ones are forgotten.
  void CountFrom(std::chrono::steady_clock::duration delay) {
    tally_->calls = 0;
    tally_->from = (std::chrono::steady_clock::now() + delay).time_since_epoch().count();
  }
  long Calls() const { return tally_->calls; }

 private:
  std::shared_ptr<CountingPortDriver::Tally> tally_;
};

}  // namespace VelkorTest
