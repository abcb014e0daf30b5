// The device library's own cost of one Vorlan3::Exchange, apart from the line:
// the port lives in memory and answers each request at once, so what is timed
// is the library's work (framing, waits, the check for stale input, outcome
// bookkeeping) and the in-memory driver, in thread CPU time, which a busy
// machine disturbs far less than the wall time of a pty exchange. Build it
// against two versions of the library to compare them; from the repository
// root (one command line). Rounds alternate between the bare exchange and the
// exchange inside the stream's call lock, as a device call from Python takes
// it (uncontended), so the lock's cost comes out side by side in one run:
//   g++ -std=c++17 -O2 -ILibrary/include -ILibrary/src bench/exchange_overhead.cpp
//     Library/src/*.cpp Library/src/{IO,Devices,Discovery}/*.cpp Library/src/Platform/posix/*.cpp -lpthread -o build/exchange_overhead
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"

namespace hw = Velkor::HardwareAPI;
using hw::Devices::Vorlan3;

namespace {

// Answers every request with a 25-byte end-effector state, queued before the
// write returns. Only the operations every version of the driver interface has.
class AnsweringPort : public hw::Platform::PortDriver {
 public:
  int Open(const char*) override { return 1; }
  int Configure() override { return 0; }
  bool SetTimeouts(const hw::Platform::PortTimeouts&) override { return true; }
  bool IsOpen() const override { return true; }
  void Close() override {}
  long Read(void* buffer, size_t n) override {
    const size_t got = std::min(n, queued_);
    std::memcpy(buffer, reply_ + (sizeof reply_ - queued_), got);
    queued_ -= got;
    return static_cast<long>(got);
  }
  long Write(const void*, size_t n) override {
    if (n == Vorlan3::kRequestSize) queued_ = sizeof reply_;
    return static_cast<long>(n);
  }
  long BytesWaiting() override { return static_cast<long>(queued_); }
  hw::Platform::WaitResult WaitReadable(int64_t) override {
    return queued_ > 0 ? hw::Platform::WaitResult::Readable : hw::Platform::WaitResult::TimedOut;
  }
  bool AssertDtr() override { return true; }

 private:
  uint8_t reply_[25] = {Vorlan3::kEndEffectorStateReply, 0, 0, 0x80, 0x3F};
  size_t queued_ = 0;
};

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  hw::Platform::SetPortDriverFactory([] { return std::make_unique<AnsweringPort>(); });
  hw::IO::SerialStream stream("memory", true);
  Vorlan3 arm(&stream, 1.0f);
  const hw::Devices::Triple zero{};
  std::vector<double> bare_ns, locked_ns;
  for (int round = 0; round < 2 * rounds; ++round) {
    const bool locked = round % 2 == 1;
    const double start = ThreadSeconds();
    for (long i = 0; i < n; ++i) {
      if (locked && !stream.Calls().TryLock()) return 1;
      const float x = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, zero).first[0];
      if (locked) stream.Calls().Unlock();
      if (x != 1.0f) {
        std::fprintf(stderr, "exchange_overhead: no reply\n");
        return 1;
      }
    }
    (locked ? locked_ns : bare_ns).push_back((ThreadSeconds() - start) / static_cast<double>(n) * 1e9);
  }
  std::sort(bare_ns.begin(), bare_ns.end());
  std::sort(locked_ns.begin(), locked_ns.end());
  std::printf("Vorlan3::Exchange on an in-memory port, thread CPU ns per exchange over %d rounds of %ld: "
              "min %.1f  median %.1f\n",
              rounds, n, bare_ns.front(), bare_ns[bare_ns.size() / 2]);
  std::printf("the same inside the stream's call lock (uncontended):                          "
              "min %.1f  median %.1f  (median ratio %.3f)\n",
              locked_ns.front(), locked_ns[locked_ns.size() / 2],
              locked_ns[locked_ns.size() / 2] / bare_ns[bare_ns.size() / 2]);
  return 0;
}
