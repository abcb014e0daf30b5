// Exchanges on a healthy line as a UART at 115200 baud delivers it, with
// notification frames between the replies: how many fail, how many return
// another request's state, and the median and p99 exchange time of the
// library's whole exchange against the plain algorithm (write the request, read
// the next reply as it comes: what SendRequest and ReceiveState do) on the same
// line, in alternating rounds. Then one fault of each kind, and the exchange
// time before it and after recovery. Run it with bench/exchange_integrity.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "support/EchoArm.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::ArmState;
using Velkor::HardwareAPI::Devices::Outcome;
using Velkor::HardwareAPI::Devices::Triple;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorTest::EchoArm;
using VelkorTest::EchoFault;
using Kind = VelkorTest::EchoFault::Kind;

namespace {

// Within what an arm reads (1000 m): a plain exchange takes more as a bad reply. Exact in float.
Triple RequestOf(int i) { return {static_cast<float>(i) / 64.0f, -static_cast<float>(i) / 64.0f, 0.5f}; }

struct Tally {
  int exchanges = 0, failed = 0, foreign = 0;
  std::vector<double> us;
  double Percentile(double q) {
    if (us.empty()) return 0;
    std::vector<double> v = us;
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
    return v[i];
  }
};

// One exchange; plain: the algorithm that reads the next reply as it comes.
void Exchange(Vorlan3& arm, int i, bool plain, Tally& tally) {
  const auto start = steady_clock::now();
  ArmState state;
  bool good;
  if (plain) {
    arm.SendRequest(Vorlan3::kForceRequest, RequestOf(i));
    good = arm.last_outcome == Outcome::Ok && arm.ReceiveState(state.first, state.second) == 24;
  } else {
    state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, RequestOf(i));
    good = arm.last_outcome == Outcome::Ok;
  }
  tally.us.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
  ++tally.exchanges;
  if (!good) ++tally.failed;
  if (good && state.first != RequestOf(i)) ++tally.foreign;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  constexpr int kRound = 250;
  std::printf("healthy line, 115200 baud, %d exchanges each way, alternating rounds of %d\n", count, kRound);
  std::printf("%-28s %8s %8s %8s %10s %10s %10s %10s %7s\n", "notifications", "failed", "foreign", "strays",
              "p50 us", "p99 us", "plain p50", "plain p99", "ratio");
  struct Line {
    double hz;
    size_t payload;
  };
  for (const Line line : {Line{0, 0}, Line{200, 4}, Line{1000, 2}, Line{100, 40}}) {
    EchoArm device(115200, line.hz, line.payload);
    SerialStream stream(device.SlavePath().c_str(), true);
    Vorlan3 arm(&stream, 0.3f);
    Tally whole, plain;
    int i = 0;
    while (whole.exchanges < count || plain.exchanges < count) {
      for (int k = 0; k < kRound && whole.exchanges < count; ++k) Exchange(arm, ++i, false, whole);
      for (int k = 0; k < kRound && plain.exchanges < count; ++k) Exchange(arm, ++i, true, plain);
    }
    char name[64];
    std::snprintf(name, sizeof name, "%g Hz of %zu-byte frames", line.hz, line.payload);
    const double p50 = whole.Percentile(0.5);
    std::printf("%-28s %8d %8d %8llu %10.1f %10.1f %10.1f %10.1f %7.3f\n", name, whole.failed, whole.foreign,
                static_cast<unsigned long long>(arm.stray_replies), p50, whole.Percentile(0.99),
                plain.Percentile(0.5), plain.Percentile(0.99), p50 / plain.Percentile(0.5));
    if (plain.failed || plain.foreign)
      std::printf("%-28s plain algorithm: %d failed, %d foreign\n", "", plain.failed, plain.foreign);
  }

  std::printf("\none fault at request 50 of 200 (read time-out 50 ms, 300 Hz notifications of 4 bytes, 2 ms "
              "between exchanges)\n");
  std::printf("%-22s %8s %8s %12s %12s\n", "fault", "failed", "foreign", "before p50", "after p50");
  const auto t = microseconds(50000);
  const EchoFault faults[] = {
      {Kind::Silent, 50, {}, 0},           {Kind::Late, 50, t * 2, 0},     {Kind::Split, 50, t * 2, 5},
      {Kind::Duplicate, 50, microseconds(1000), 0}, {Kind::Truncated, 50, {}, 9}, {Kind::Garbage, 50, {}, 40},
      {Kind::NotificationBurst, 50, {}, 30},
  };
  for (const EchoFault& fault : faults) {
    EchoArm device(115200, 300, 4);
    device.Schedule(fault);
    SerialStream stream(device.SlavePath().c_str(), true);
    Vorlan3 arm(&stream, 0.05f);
    Tally before, after, all;
    for (int i = 1; i <= 200; ++i) {
      Tally& part = i < 50 ? before : (i > 51 ? after : all);
      Exchange(arm, i, false, part);
      std::this_thread::sleep_for(milliseconds(2));
    }
    std::printf("%-22s %8d %8d %12.1f %12.1f\n", VelkorTest::KindName(fault.kind),
                before.failed + all.failed + after.failed, before.foreign + all.foreign + after.foreign,
                before.Percentile(0.5), after.Percentile(0.5));
  }
  return 0;
}
