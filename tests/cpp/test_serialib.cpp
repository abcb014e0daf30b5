#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "Velkor/HardwareAPI/IO/serialib.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "support/Interruption.hpp"
#include "support/PtyEmulator.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Platform::LastError;
using Velkor::HardwareAPI::Platform::SetLastError;
using Velkor::HardwareAPI::IO::PortFault;
using VelkorTest::Bytes;
using VelkorTest::InterruptAfter;
using VelkorTest::PtyEmulator;

namespace {

// Exposes the stream-buffer operations the standard streams call.
class ProbePort : public serialib {
 public:
  using serialib::overflow;
  using serialib::pbackfail;
  using serialib::showmanyc;
  using serialib::underflow;
  using serialib::uflow;
  using serialib::xsgetn;
  using serialib::xsputn;
};

double SecondsSince(steady_clock::time_point start) {
  return duration<double>(steady_clock::now() - start).count();
}

}  // namespace

TEST(SerialPort, OpenResultCodesForMissingNonTtyAndHeldPorts) {
  SetLastError(0);
  ProbePort missing;
  EXPECT_EQ(missing.Open("/dev/velkor-no-such-port"), -1);
  EXPECT_EQ(LastError(), ENOENT);
  EXPECT_FALSE(missing.IsOpen());

  // One name per process: copies of the suite may run side by side.
  const std::string file = ::testing::TempDir() + "velkor-not-a-tty-" + std::to_string(getpid());
  std::ofstream(file) << "x";
  ProbePort plain;
  EXPECT_EQ(plain.Open(file.c_str()), -3);
  EXPECT_FALSE(plain.IsOpen()) << "what is not a terminal is never left open";
  std::remove(file.c_str());

  PtyEmulator device;
  ProbePort first, second;
  EXPECT_EQ(first.Open(device.SlavePath().c_str()), 1);
  EXPECT_EQ(second.Open(device.SlavePath().c_str()), -2);
  EXPECT_EQ(LastError(), EBUSY);
  first.Close();
  ProbePort third;
  EXPECT_EQ(third.Open(device.SlavePath().c_str()), 1) << "closing releases the port";
}

TEST(SerialPort, ClosedPortDoesNothing) {
  ProbePort port;
  char buffer[4] = {};
  EXPECT_EQ(port.xsgetn(buffer, 4), 0);
  EXPECT_EQ(port.xsputn("abcd", 4), 0);
  EXPECT_EQ(port.underflow(), std::char_traits<char>::eof());
  EXPECT_EQ(port.showmanyc(), 0);
  EXPECT_EQ(port.overflow('x'), std::char_traits<char>::eof());
}

TEST(SerialPort, OpenAppliesTheFixedTimeouts) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  const auto& t = port.Timeouts();
  EXPECT_EQ(t.read_interval, 1000u);
  EXPECT_EQ(t.read_total_per_byte, 8u);
  EXPECT_EQ(t.read_total_constant, 8u);
  EXPECT_EQ(t.write_total_per_byte, 8u);
  EXPECT_EQ(t.write_total_constant, 8u);
}

TEST(SerialPort, SilentReadReturnsZeroAfterTotalLimit) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  uint8_t buffer[25];
  const auto start = steady_clock::now();
  EXPECT_EQ(port.ReadBytes(buffer, 25), 0);
  const double took = SecondsSince(start);
  // 1000 ms + 8 ms per byte.
  EXPECT_GE(took, 1.19);
  EXPECT_LT(took, 10.0) << "the read must end";
  EXPECT_EQ(port.Timeouts().read_total_constant, 1000u);
}

TEST(SerialPort, ReadReturnsAsSoonAsAllBytesArriveOrAfterIntervalGap) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  device.SendAfter(milliseconds(50), {1, 2, 3});
  uint8_t buffer[8] = {};
  auto start = steady_clock::now();
  EXPECT_EQ(port.ReadBytes(buffer, 3), 3);
  EXPECT_LT(SecondsSince(start), 0.9);
  EXPECT_EQ(buffer[2], 3);

  // Two bytes then silence: the 1000 ms gap ends the read long before its
  // total limit of 1000 + 8 * 1000 ms.
  device.Send({7, 8});
  uint8_t big[1000];
  start = steady_clock::now();
  EXPECT_EQ(port.ReadBytes(big, 1000), 2);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 6.0);
}

TEST(SerialPort, LookaheadSlotRules) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  device.Send({0x41, 0x42, 0x43});
  ASSERT_TRUE(device.WaitWritten(0));
  std::this_thread::sleep_for(milliseconds(50));

  EXPECT_EQ(port.underflow(), 0x41);
  EXPECT_EQ(port.underflow(), 0x41) << "underflow peeks without consuming";
  EXPECT_EQ(port.showmanyc(), 1);
  EXPECT_EQ(port.pbackfail('z'), std::char_traits<char>::eof()) << "slot already full";
  EXPECT_EQ(port.uflow(), 0x41);
  EXPECT_FALSE(port.HasLookahead());

  EXPECT_EQ(port.pbackfail('z'), 'z');
  char one = 0;
  EXPECT_EQ(port.xsgetn(&one, 1), 1);
  EXPECT_EQ(one, 'z') << "a pushed-back byte comes first, without touching the port";

  EXPECT_EQ(port.pbackfail('y'), 'y');
  char three[3] = {};
  EXPECT_EQ(port.xsgetn(three, 3), 3);
  EXPECT_EQ(std::string(three, 3), "yBC");
  EXPECT_EQ(port.pbackfail(std::char_traits<char>::eof()), std::char_traits<char>::eof());
}

TEST(SerialPort, WritesReachTheDevice) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  Bytes payload(200);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(port.xsputn(reinterpret_cast<const char*>(payload.data()), 200), 200);
  EXPECT_EQ(port.overflow(0xFF), 0xFF);
  ASSERT_TRUE(device.WaitWritten(201));
  Bytes expected = payload;
  expected.push_back(0xFF);
  EXPECT_EQ(device.Written(), expected);
}

TEST(SerialPort, HangUpEndsAReadAtOnce) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  SetLastError(0);
  device.HangUp();
  // Spun out, this read would take 1000 + 8 * 1000 ms.
  uint8_t buffer[1000];
  const auto start = steady_clock::now();
  EXPECT_EQ(port.ReadBytes(buffer, 1000), -2);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_NE(LastError(), 0);
}

TEST(SerialPort, AWriteToADeviceThatStopsReadingGivesUpAndDropsWhatTheDeviceHasNotTaken) {
  struct Case {
    const char* name;
    bool interrupt;
    PortFault fault;
  };
  const Case cases[] = {{"stalled", false, PortFault::TimedOut}, {"interrupted", true, PortFault::Interrupted}};
  for (const auto& c : cases) {
    PtyEmulator device;
    ProbePort port;
    ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
    device.PauseReading();
    // The write limit of 300 kB is 40 minutes; a stall ends it long before.
    const Bytes payload(300000, 0x55);
    SetLastError(0);
    long sent = 0;
    const auto start = steady_clock::now();
    {
      InterruptAfter interrupt(c.interrupt ? milliseconds(100) : hours(1));
      sent = port.WriteBytes(payload.data(), payload.size());
    }
    EXPECT_LT(SecondsSince(start), 30.0) << c.name;
    EXPECT_GT(sent, 0) << c.name;
    EXPECT_LT(sent, static_cast<long>(payload.size())) << c.name;
    EXPECT_EQ(port.LastFault(), c.fault) << c.name;
    EXPECT_EQ(LastError(), c.interrupt ? 0 : ETIMEDOUT) << c.name;

    // Once the device reads again, a marker written now arrives after whatever
    // survived, and less than what the OS had taken reaches the device.
    device.ResumeReading();
    const Bytes marker{0xA5, 0x5A, 0xA5, 0x5A};
    ASSERT_EQ(port.WriteBytes(marker.data(), marker.size()), 4) << c.name;
    EXPECT_EQ(port.LastFault(), PortFault::None) << c.name;
    const auto limit = steady_clock::now() + seconds(10);
    Bytes seen;
    while (steady_clock::now() < limit) {
      seen = device.Written();
      if (seen.size() >= 4 && Bytes(seen.end() - 4, seen.end()) == marker) break;
      std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_GE(seen.size(), 4u) << c.name;
    ASSERT_EQ(Bytes(seen.end() - 4, seen.end()), marker) << c.name;
    EXPECT_LT(seen.size() - 4, static_cast<size_t>(sent)) << c.name;
  }
}

TEST(SerialPort, AWriteToAHungUpLineFailsAtOnce) {
  PtyEmulator device;
  ProbePort port;
  ASSERT_EQ(port.Open(device.SlavePath().c_str()), 1);
  device.HangUp();
  const Bytes payload(5000, 1);
  const auto start = steady_clock::now();
  EXPECT_EQ(port.xsputn(reinterpret_cast<const char*>(payload.data()), 5000), 0);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_EQ(port.LastFault(), PortFault::Gone);
}
