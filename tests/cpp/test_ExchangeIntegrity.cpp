#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/FrameScanner.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "support/EchoArm.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::ArmState;
using Velkor::HardwareAPI::Devices::FrameScanner;
using Velkor::HardwareAPI::Devices::Outcome;
using Velkor::HardwareAPI::Devices::Triple;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorTest::EchoArm;
using VelkorTest::EchoFault;
using Kind = VelkorTest::EchoFault::Kind;

namespace {

using Bytes = std::vector<uint8_t>;

int Lengths(uint8_t code) {
  switch (code) {
    case 0x2B: return 24;
    case 0xAC: return 1;
    case 0x0E: return 0;
    case 0x0D: return 3;  // a second code, then two bytes
    default: return -1;
  }
}

bool SecondCode(uint8_t code) { return code == 0x0D; }

struct Counts {
  uint64_t replies, notifications, garbage;
  bool at_boundary;
  bool operator==(const Counts& o) const {
    return replies == o.replies && notifications == o.notifications && garbage == o.garbage &&
           at_boundary == o.at_boundary;
  }
};

Counts Scan(const std::vector<Bytes>& pieces) {
  FrameScanner scanner(&Lengths, &SecondCode);
  for (const Bytes& piece : pieces) scanner.Feed(piece.data(), piece.size());
  return {scanner.Replies(), scanner.Notifications(), scanner.GarbageBytes(), scanner.AtBoundary()};
}

}  // namespace

TEST(FrameScanner, FindsTheSameFramesWhereverTheLineSplitsThem) {
  Bytes wire{0xBA, 0x2B, 0x03, 0x2B, 0xBB, 0xAC,        // a notification whose bytes look like codes
             0x2B};                                      // a reply...
  for (int i = 0; i < 24; ++i) wire.push_back(static_cast<uint8_t>(i == 5 ? 0xBA : 0x2B));
  wire.insert(wire.end(), {0x77, 0x0E, 0xBB, 0x00, 0x00, 0xAC, 0xBA});  // garbage, empty reply, empty
                                                                          // notification, short reply
  // A reply with a second code, notifications (one empty) before that code: one reply, in step after it.
  wire.insert(wire.end(), {0x0D, 0xBA, 0x0D, 0x02, 0x0D, 0xBB, 0xBB, 0x42, 0x00, 0xD1, 0x2B, 0x0D, 0x0E});
  const Counts whole = Scan({wire});
  EXPECT_EQ(whole, (Counts{5, 4, 1, true}));
  for (size_t i = 0; i <= wire.size(); ++i) {
    for (size_t j = i; j <= wire.size(); ++j) {
      const Bytes a(wire.begin(), wire.begin() + static_cast<long>(i));
      const Bytes b(wire.begin() + static_cast<long>(i), wire.begin() + static_cast<long>(j));
      const Bytes c(wire.begin() + static_cast<long>(j), wire.end());
      ASSERT_EQ(Scan({a, b, c}), whole) << "split at " << i << " and " << j;
    }
  }
}

TEST(FrameScanner, SaysWhatTheFrameInProgressNeeds) {
  // Each prefix of a notification and of a reply, and what is still needed.
  struct Case {
    Bytes prefix;
    size_t needed;
    bool in_reply;
  };
  const Case cases[] = {
      {{}, 0, false},           {{0xBA}, 2, false},          {{0xBA, 0x01}, 1, false},
      {{0xBA, 0x01, 0x05}, 5, false}, {{0xBA, 0x01, 0x05, 9, 9}, 3, false}, {{0x2B}, 24, true},
      {{0x2B, 1, 2, 3}, 21, true},     {{0x77}, 0, false},
  };
  for (const Case& c : cases) {
    FrameScanner scanner(&Lengths);
    scanner.Feed(c.prefix.data(), c.prefix.size());
    EXPECT_EQ(scanner.Needed(), c.needed) << c.prefix.size() << " bytes";
    EXPECT_EQ(scanner.InReply(), c.in_reply) << c.prefix.size() << " bytes";
    scanner.Resync();
    EXPECT_TRUE(scanner.AtBoundary());
  }
}

namespace {

constexpr int kBaud = 115200;

// The request of exchange i: floats no other exchange sends.
Triple RequestOf(int i) { return {static_cast<float>(i), -static_cast<float>(i), 0.25f * static_cast<float>(i)}; }

struct Reading {
  bool reported_good = false;
  bool own = false;  // the position is this exchange's own request
};

struct Outcomes {
  std::vector<Reading> readings;
  uint64_t strays = 0;
  std::string Describe() const {
    std::ostringstream out;
    for (size_t i = 0; i < readings.size(); ++i)
      out << i << (readings[i].reported_good ? (readings[i].own ? ":ok " : ":FOREIGN ") : ":failed ");
    return out.str();
  }
};

// Exchanges on a paced line with notifications, paced by `pause` between them.
Outcomes Exchanges(EchoArm& device, int count, float read_timeout, microseconds pause) {
  SerialStream stream(device.SlavePath().c_str(), true);
  Vorlan3 arm(&stream, read_timeout);
  Outcomes run;
  for (int i = 1; i <= count; ++i) {
    const ArmState state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, RequestOf(i));
    Reading reading;
    reading.reported_good = arm.last_outcome == Outcome::Ok;
    reading.own = state.first == RequestOf(i);
    run.readings.push_back(reading);
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  run.strays = arm.stray_replies;
  return run;
}

}  // namespace

// Named cases for what was seen go wrong, then random single faults: on a line
// paced at 115200 baud with notification frames, every reading reported good
// is the exchange's own reply, and at most the faulty exchange and the one
// after it fail.
TEST(ExchangeIntegrity, AfterAnySingleFaultEveryReadingIsOwnAndOnlyTwoExchangesFail) {
  // Long enough that a loaded machine never turns a healthy reply into a time-out.
  constexpr float kTimeout = 0.2f;
  constexpr int kExchanges = 10;
  constexpr uint64_t kFaulty = 4;
  const auto t = duration_cast<microseconds>(duration<float>(kTimeout));
  struct Case {
    std::string name;
    EchoFault fault;
    double notify_hz;
  };
  std::vector<Case> cases = {
      {"silent request, notifications every 10 ms", {Kind::Silent, kFaulty, {}, 0}, 100},
      {"reply 2.1 time-outs late", {Kind::Late, kFaulty, t * 21 / 10, 0}, 200},
      {"reply 2.5 time-outs late", {Kind::Late, kFaulty, t * 5 / 2, 0}, 0},
      {"reply split after 5 bytes for 2.3 time-outs", {Kind::Split, kFaulty, t * 23 / 10, 5}, 0},
      {"duplicate reply 1 ms after the first", {Kind::Duplicate, kFaulty, microseconds(1000), 0}, 200},
      {"reply truncated after 9 bytes", {Kind::Truncated, kFaulty, {}, 9}, 200},
      {"garbage burst ahead of the reply", {Kind::Garbage, kFaulty, {}, 40}, 200},
      {"burst of 30 notification frames", {Kind::NotificationBurst, kFaulty, {}, 30}, 200},
  };
  std::mt19937 random(20261208);
  const Kind kinds[] = {Kind::Silent, Kind::Late, Kind::Split, Kind::Duplicate, Kind::Truncated, Kind::Garbage,
                        Kind::NotificationBurst};
  const double rates[] = {0, 100, 300, 1000};
  for (int n = 0; n < 24; ++n) {
    EchoFault fault;
    fault.kind = kinds[random() % 7];
    fault.request = kFaulty;
    const double share = std::uniform_real_distribution<double>(0.1, 1.0)(random);
    switch (fault.kind) {
      case Kind::Late: fault.time = duration_cast<microseconds>(t * (0.5 + 2.0 * share)); break;
      case Kind::Split:
        fault.time = duration_cast<microseconds>(t * 2.5 * share);
        fault.count = 1 + random() % 24;
        break;
      case Kind::Duplicate: fault.time = microseconds(random() % 2000); break;
      case Kind::Truncated: fault.count = 1 + random() % 24; break;
      case Kind::Garbage: fault.count = 1 + random() % 64; break;
      case Kind::NotificationBurst: fault.count = 1 + random() % 40; break;
      default: break;
    }
    cases.push_back({"random schedule " + std::to_string(n) + " (" + VelkorTest::KindName(fault.kind) + ")", fault,
                     rates[random() % 4]});
  }

  for (size_t c = 0; c < cases.size(); ++c) {
    EchoArm device(kBaud, cases[c].notify_hz, 4, static_cast<uint32_t>(c + 1));
    device.Schedule(cases[c].fault);
    // Paced as the servo loop or a loop that sleeps longer than the reply takes.
    const Outcomes run = Exchanges(device, kExchanges, kTimeout, microseconds(20000));
    // A reply cut short and followed by other frames within the read time-out
    // is completed by their bytes: with no checksum and no gap to go by, no
    // reader can tell, so only that exchange may report another's reading.
    const bool completed_by_others = cases[c].fault.kind == Kind::Truncated && cases[c].notify_hz > 0;
    for (size_t i = 0; i < run.readings.size(); ++i) {
      const Reading& r = run.readings[i];
      if (r.reported_good && !(completed_by_others && i + 1 == kFaulty)) {
        EXPECT_TRUE(r.own) << cases[c].name << ": " << run.Describe();
      }
      const bool may_fail = i + 1 == kFaulty || i + 1 == kFaulty + 1;
      if (!may_fail) {
        EXPECT_TRUE(r.reported_good) << cases[c].name << ": " << run.Describe();
      }
    }
    if (cases[c].fault.kind == Kind::Duplicate) {
      EXPECT_GE(run.strays, 1u) << cases[c].name;
    }
  }
}

TEST(ExchangeIntegrity, AHealthyPacedLineWithNotificationsNeverFails) {
  struct Case {
    double notify_hz;
    size_t payload;
    microseconds pause;
  };
  const Case cases[] = {{200, 4, microseconds(0)}, {100, 40, microseconds(0)}, {1000, 2, microseconds(300)}};
  for (const Case& c : cases) {
    EchoArm device(kBaud, c.notify_hz, c.payload);
    const Outcomes run = Exchanges(device, 300, 2.0f, c.pause);
    for (size_t i = 0; i < run.readings.size(); ++i) {
      ASSERT_TRUE(run.readings[i].reported_good && run.readings[i].own)
          << c.notify_hz << " Hz of " << c.payload << "-byte notifications, exchange " << i;
    }
    EXPECT_EQ(run.strays, 0u);
  }
}

// A loop that waits longer than the device takes to reply between its
// requests finds a duplicate queued before its next request and discards it:
// it is never left one reply behind. (Back to back, a duplicate that lands
// after the next request went out cannot be told from that request's reply.)
TEST(ExchangeIntegrity, APacedLoopIsNeverLeftBehindByADuplicate) {
  EchoArm device(kBaud, 0, 0);
  device.Schedule({Kind::Duplicate, 3, microseconds(1000), 0});
  const Outcomes run = Exchanges(device, 200, 2.0f, microseconds(10000));
  for (size_t i = 0; i < run.readings.size(); ++i) {
    ASSERT_TRUE(run.readings[i].reported_good && run.readings[i].own) << run.Describe();
  }
  EXPECT_EQ(run.strays, 1u);
}
