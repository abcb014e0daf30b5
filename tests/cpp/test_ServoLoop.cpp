#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"
#include "Velkor/HardwareAPI/Servo/SeqLock.hpp"
#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"
#include "support/PtyEmulator.hpp"

using namespace std::chrono;
using namespace Velkor::HardwareAPI::Servo;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorTest::Bytes;
using VelkorTest::PtyEmulator;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void ExpectVec(const Vec3& actual, const Vec3& expected, float tolerance, const std::string& what) {
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << what << " [" << i << "]";
}

Effect Valid(Effect e) {
  EXPECT_EQ(Validate(e), nullptr);
  return e;
}

Bytes StateReply(const Vec3& position, const Vec3& velocity) {
  Bytes out{Vorlan3::kEndEffectorStateReply};
  for (const Vec3* v : {&position, &velocity})
    for (float x : *v) {
      uint8_t raw[4];
      std::memcpy(raw, &x, 4);
      out.insert(out.end(), raw, raw + 4);
    }
  return out;
}

Vec3 RequestedForce(const Bytes& written, size_t index) {
  Vec3 f{};
  std::memcpy(f.data(), written.data() + index * Vorlan3::kRequestSize + 1, 12);
  return f;
}

}  // namespace

TEST(ServoEffects, EachEffectPushesTheWayItsGeometrySaysAtKnownPositions) {
  struct Case {
    const char* what;
    Effect effect;
    Vec3 position;
    Vec3 velocity;
    Vec3 expected;
  };
  const Vec3 still{};
  const Case cases[] = {
      {"spring pulls back towards its anchor", Spring{{0, 0, 0.1f}, 200, 0}, {0, 0, 0.11f}, still, {0, 0, -2}},
      {"spring pulls along every axis", Spring{{0.01f, 0, 0}, 100, 0}, {0, 0.02f, 0}, still, {1, -2, 0}},
      {"spring damping opposes velocity", Spring{{0, 0, 0}, 0, 5}, {0, 0, 0}, {0.1f, 0, -0.2f}, {-0.5f, 0, 1}},
      {"damper opposes velocity", Damper{10}, {1, 2, 3}, {0, 0.1f, 0}, {0, -1, 0}},
      {"damper at rest gives nothing", Damper{10}, {1, 2, 3}, still, {0, 0, 0}},
      {"plane: free side, no force", Plane{{0, 0, 0.2f}, {0, 0, -1}, 1000, 0}, {0, 0, 0.19f}, still, {0, 0, 0}},
      {"plane: 5 mm in, pushed out along the normal", Plane{{0, 0, 0.2f}, {0, 0, -1}, 1000, 0}, {0, 0, 0.205f},
       still, {0, 0, -5}},
      {"plane: normal is normalised", Plane{{0, 0, 0}, {0, 0, 2}, 100, 0}, {0, 0, -0.01f}, still, {0, 0, 1}},
      {"plane: damping adds while moving in", Plane{{0, 0, 0}, {0, 0, 1}, 100, 10}, {0, 0, -0.01f},
       {0, 0, -0.1f}, {0, 0, 2}},
      {"plane: never pulls while leaving fast", Plane{{0, 0, 0}, {0, 0, 1}, 100, 10}, {0, 0, -0.01f},
       {0, 0, 1}, {0, 0, 0}},
      {"solid sphere pushes out radially", Sphere{{0, 0, 0}, 0.05f, 400, false}, {0.04f, 0, 0}, still, {4, 0, 0}},
      {"solid sphere: outside, nothing", Sphere{{0, 0, 0}, 0.05f, 400, false}, {0.06f, 0, 0}, still, {0, 0, 0}},
      {"solid sphere at its centre pushes up", Sphere{{0, 0, 0}, 0.05f, 100, false}, {0, 0, 0}, still, {0, 0, 5}},
      {"shell keeps the tool in", Sphere{{0, 0, 0}, 0.05f, 400, true}, {0, -0.06f, 0}, still, {0, 4, 0}},
      {"shell: inside, nothing", Sphere{{0, 0, 0}, 0.05f, 400, true}, {0, 0.04f, 0}, still, {0, 0, 0}},
      {"box: inside, nothing", Box{{-1, -1, -1}, {1, 1, 1}, 100}, {0.5f, -0.5f, 0}, still, {0, 0, 0}},
      {"box pushes back in on each axis", Box{{-1, -1, -1}, {1, 1, 1}, 100}, {1.01f, -1.02f, 0}, still, {-1, 2, 0}},
      {"constant force is constant", ConstantForce{{0.5f, -1, 2}}, {9, 9, 9}, {1, 1, 1}, {0.5f, -1, 2}},
  };
  for (const Case& c : cases) {
    const Effect effect = Valid(c.effect);
    ExpectVec(EffectForce(effect, c.position, c.velocity), c.expected, 1e-3f, c.what);
  }
}

TEST(ServoEffects, ClampKeepsDirectionAndRefusesNonFiniteForces) {
  struct Case {
    Vec3 force;
    float limit;
    Vec3 expected;
  };
  const Case cases[] = {
      {{3, 4, 0}, 5, {3, 4, 0}},             // exactly at the limit
      {{6, 8, 0}, 5, {3, 4, 0}},             // scaled down, direction kept
      {{0, 0, -20}, 5, {0, 0, -5}},
      {{1, 1, 1}, 0, {0, 0, 0}},             // a zero limit allows nothing
      {{3e38f, 3e38f, 0}, 5, {3.5355f, 3.5355f, 0}},  // no overflow on the way
      {{kNaN, 0, 0}, 5, {0, 0, 0}},
      {{0, kInf, 0}, 5, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    ExpectVec(ClampMagnitude(c.force, c.limit), c.expected, 1e-3f, "clamp");
  }
}

TEST(ServoEffects, ValidationRefusesUnusableParameters) {
  const Effect bad[] = {
      Spring{{kNaN, 0, 0}, 1, 0}, Spring{{0, 0, 0}, -1, 0},   Spring{{0, 0, 0}, 1, -0.1f},
      Spring{{0, 0, 0}, kInf, 0}, Damper{-1},                 Damper{kNaN},
      Plane{{0, 0, 0}, {0, 0, 0}, 1, 0},                      Plane{{0, 0, 0}, {kNaN, 0, 1}, 1, 0},
      Plane{{0, 0, 0}, {0, 0, 1}, -5, 0},                     Sphere{{0, 0, 0}, 0, 1, false},
      Sphere{{0, 0, 0}, -0.1f, 1, false},                     Sphere{{0, kInf, 0}, 0.1f, 1, false},
      Box{{0, 0, 1}, {1, 1, 0}, 1},                           Box{{0, 0, 0}, {1, 1, 1}, -1},
      ConstantForce{{0, kNaN, 0}},
  };
  for (Effect e : bad) EXPECT_NE(Validate(e), nullptr) << "effect kind " << e.index();

  ServoOptions options;
  EXPECT_EQ(Validate(options), nullptr);
  for (double rate : {0.0, 0.5, 10001.0, std::nan("")}) {
    options.rate_hz = rate;
    EXPECT_NE(Validate(options), nullptr) << rate;
  }
}

TEST(ServoSeqLock, ReadersNeverSeeTwoWritesMixed) {
  struct Wide {
    uint64_t words[9];
  };
  SeqLock<Wide> lock;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> torn{0};
  std::atomic<uint64_t> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const Wide w = lock.Load();
        for (uint64_t x : w.words)
          if (x != w.words[0]) ++torn;
        ++reads;
      }
    });
  }
  // The readers may not get a core before many stores are done: keep storing
  // until they have overlapped with the writer for a while (bounded).
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (uint64_t n = 1; n <= 200000 || (reads.load() < 100000 && std::chrono::steady_clock::now() < give_up); ++n) {
    Wide w;
    for (uint64_t& x : w.words) x = n;
    lock.Store(w);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_GT(reads.load(), 0u);
}

TEST(ServoLoopDevice, SendsTheClampedSumEveryCycleAndZeroForceLast) {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  Vorlan3 arm{&stream, 0.25f};
  constexpr size_t kReplies = 40;
  const Vec3 position{0, 0, 0.1f};
  for (size_t i = 0; i < kReplies; ++i) device.Expect(Vorlan3::kRequestSize, StateReply(position, {}));

  ServoOptions options;
  options.rate_hz = 500.0;
  // A loaded machine must not make the watchdog hold zero force here.
  options.exchange_timeout = 2.0;
  options.late_limit = 10.0;
  options.ramp_s = 0.0;
  ServoLoop loop(arm, options);
  // 30 N/m over 0.1 m and a 4 N push: 3 + 4 = 7 N upwards, clamped to 5.
  loop.Publish({Spring{{0, 0, 0.2f}, 30, 0}, ConstantForce{{0, 0, 4}}}, 5.0f);
  ASSERT_EQ(loop.Start(), nullptr);
  EXPECT_NE(loop.Start(), nullptr);
  ASSERT_TRUE(device.WaitScriptDone());
  loop.Stop();
  EXPECT_FALSE(loop.Running());
  EXPECT_FLOAT_EQ(arm.read_timeout, 0.25f) << "the arm's own time-out is untouched";

  const Bytes written = device.Written();
  ASSERT_GE(written.size(), (kReplies + 1) * Vorlan3::kRequestSize);
  ASSERT_EQ(written.size() % Vorlan3::kRequestSize, 0u);
  const size_t requests = written.size() / Vorlan3::kRequestSize;
  for (size_t i = 0; i < requests; ++i) EXPECT_EQ(written[i * Vorlan3::kRequestSize], Vorlan3::kForceRequest);
  ExpectVec(RequestedForce(written, 0), {0, 0, 0}, 0, "no force before the first state");
  for (size_t i = 1; i < kReplies; ++i) ExpectVec(RequestedForce(written, i), {0, 0, 5}, 1e-4f, "clamped sum");
  ExpectVec(RequestedForce(written, requests - 1), {0, 0, 0}, 0, "last request");

  const ServoState state = loop.State();
  ExpectVec(state.force, {0, 0, 0}, 0, "state after stop");
  ExpectVec(state.position, position, 0, "position");
  const ServoStats stats = loop.Stats();
  // Stop() may cut the cycle that took the last reply short before it counted.
  EXPECT_GE(stats.cycles, kReplies - 1);
  EXPECT_FALSE(stats.realtime);
}

TEST(ServoEffects, DampingEnabledAndGainApplyToEveryShape) {
  const Vec3 v{0, 0, -0.5f};  // moving into the contact
  struct Case {
    Effect effect;
    Vec3 position;
    Vec3 velocity;
    Vec3 expected;
    const char* what;
  };
  const Case cases[] = {
      {Sphere{{0, 0, 0}, 0.1f, 100, false, 4}, {0, 0, 0.09f}, v, {0, 0, 3}, "ball: 1 N spring + 2 N damping"},
      {Sphere{{0, 0, 0}, 0.1f, 100, false, 4}, {0, 0, 0.09f}, {0, 0, 1}, {0, 0, 0}, "ball: never pulls"},
      {Sphere{{0, 0, 0}, 0.1f, 100, true, 4}, {0, 0, 0.11f}, {0, 0, 0.5f}, {0, 0, -3}, "shell: damped outwards"},
      {Box{{-1, -1, 0}, {1, 1, 1}, 100, 4}, {0, 0, -0.01f}, v, {0, 0, 3}, "box floor: damped"},
      {Box{{-1, -1, 0}, {1, 1, 1}, 100, 4}, {0, 0, -0.01f}, {0, 0, 1}, {0, 0, 0}, "box floor: never pulls"},
      {Box{{-1, -1, 0}, {1, 1, 1}, 100, 4}, {0, 0, 0.5f}, v, {0, 0, 0}, "box: no damping inside"},
      {ConstantForce{{0, 0, 2}, false}, {}, {}, {0, 0, 0}, "disabled"},
      {ConstantForce{{0, 0, 2}, true, 0.25f}, {}, {}, {0, 0, 0.5f}, "gain"},
      {Spring{{0, 0, 0}, 10, 0, true, 2}, {0, 0, 0.1f}, {}, {0, 0, -2}, "gain on a spring"},
  };
  for (const Case& c : cases) {
    Effect e = c.effect;
    ASSERT_EQ(Validate(e), nullptr) << c.what;
    ExpectVec(EffectForce(e, c.position, c.velocity), c.expected, 1e-4f, c.what);
  }
  Effect negative_gain = ConstantForce{{0, 0, 1}, true, -1};
  Effect bad_damping = Sphere{{0, 0, 0}, 0.1f, 1, false, kNaN};
  Effect bad_box = Box{{0, 0, 0}, {1, 1, 1}, 1, -1};
  EXPECT_NE(Validate(negative_gain), nullptr);
  EXPECT_NE(Validate(bad_damping), nullptr);
  EXPECT_NE(Validate(bad_box), nullptr);
}

// At a period T the loop renders a spring no stiffer than 0.0135 / T^2 and damps
// one stiffer than 1.3 / T along its push; softer ones, and effects without a
// stiffness, come out exactly as given.
TEST(ServoEffects, StiffContactCapsAndDampsOnlyWhatThePeriodCannotRenderAsGiven) {
  const Vec3 in{0, 0, -0.01f};  // moving into the wall at 1 cm/s
  const Plane wall{{0, 0, 0}, {0, 0, 1}, 1e7f, 0};
  const float cap = 13500.0f, extra = 1.4f * std::sqrt(0.1f * cap);  // at 1 kHz
  struct Case {
    Effect effect;
    double period_s;
    Vec3 position;
    Vec3 velocity;
    Vec3 expected;
    const char* what;
  };
  const Case cases[] = {
      {wall, 0.001, {0, 0, -0.001f}, {}, {0, 0, cap * 0.001f}, "capped at rest"},
      {wall, 0.001, {0, 0, -0.001f}, in, {0, 0, cap * 0.001f + extra * 0.01f}, "capped and damped"},
      {wall, 0.002, {0, 0, -0.001f}, {}, {0, 0, cap / 4 * 0.001f}, "a quarter as stiff at half the rate"},
      {wall, 0.0, {0, 0, -1e-6f}, {}, {0, 0, 10}, "no limits: as given"},
      {Plane{{0, 0, 0}, {0, 0, 1}, 800, 1}, 0.001, {0, 0, -0.001f}, in, {0, 0, 0.81f}, "800 N/m: as given"},
      {Plane{{0, 0, 0}, {0, 0, 1}, 1400, 0}, 0.001, {0, 0, -0.001f}, in, {0, 0, 1.4f + 0.8f * 0.01f},
       "just past the free stiffness: 8 T per N/m beyond it"},
      {Plane{{0, 0, 0}, {0, 0, 1}, 1e7f, 0}, 0.001, {0, 0, -0.001f}, {0, 0, 1}, {0, 0, 0}, "never pulls"},
      {Spring{{0, 0, 0}, 1e6f, 0}, 0.001, {0, 0, 0.001f}, {}, {0, 0, -cap * 0.001f}, "a spring too"},
      {Damper{1e6f}, 0.001, {}, {0, 0, 1e-6f}, {0, 0, -1}, "a damper as given"},
  };
  for (const Case& c : cases) {
    Effect e = Valid(c.effect);
    ExpectVec(StepEffect(e, c.position, c.velocity, ContactLimitsFor(c.period_s)), c.expected, 2e-3f, c.what);
  }
  EXPECT_NEAR(StableStiffness(1000.0), 13500.0, 1e-6);
  EXPECT_NEAR(StableStiffness(500.0), 3375.0, 1e-6);
}

// While a loop runs, nothing else reaches the port: another thread's calls on
// the arm, a second device on the stream, a second loop, the stream's own
// writes. Closing the stream stops the loop, zero force last.
TEST(ServoLoopDevice, TheLeaseRefusesEveryOtherUserAndCloseStopsTheLoopFirst) {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  Vorlan3 arm{&stream, 0.25f};
  Vorlan3 other{&stream, 0.25f};
  for (size_t i = 0; i < 2000; ++i) device.Expect(Vorlan3::kRequestSize, StateReply({0, 0, 0.1f}, {}));

  ServoOptions options;
  options.rate_hz = 500.0;
  options.exchange_timeout = 2.0;
  options.late_limit = 10.0;
  options.ramp_s = 0.0;
  ServoLoop loop(arm, options);
  loop.Publish({ConstantForce{{0, 0, 1}}}, 5.0f);
  ServoLoop second(other, options);
  second.Publish({ConstantForce{{0, 0, -1}}}, 5.0f);
  ASSERT_EQ(loop.Start(), nullptr);
  EXPECT_NE(second.Start(), nullptr) << "a second loop on the same stream";
  EXPECT_EQ(stream.GetLease().Holder(), &loop);

  EXPECT_FALSE(arm.Admits());
  EXPECT_FALSE(other.Admits());
  Velkor::HardwareAPI::Devices::ArmState state;
  EXPECT_EQ(other.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0, 0, 6}, 1.0, state),
            Velkor::HardwareAPI::Devices::Outcome::Refused);
  const auto refused = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0, 0, 7});
  ExpectVec(refused.first, {0, 0, 0}, 0, "a refused exchange returns zeros");
  EXPECT_FALSE(arm.SendRaw(reinterpret_cast<const uint8_t*>("\x2a"), 1));
  Velkor::HardwareAPI::Devices::DeviceInfo info;
  EXPECT_EQ(other.Wakeup(info), -1);
  stream.Write("\x0a", 1);
  EXPECT_EQ(stream.Available(), 0);
  std::thread from_thread([&] { arm.SendRequest(Vorlan3::kForceRequest, {0, 0, 8}); });
  from_thread.join();
  second.Stop();  // one that never started releases nothing

  std::this_thread::sleep_for(milliseconds(50));
  stream.Close();
  EXPECT_FALSE(loop.Running()) << "closing the stream stopped the loop";
  EXPECT_EQ(stream.GetLease().Holder(), nullptr);

  const Bytes written = device.Written();
  ASSERT_EQ(written.size() % Vorlan3::kRequestSize, 0u) << "nothing but whole force requests";
  const size_t requests = written.size() / Vorlan3::kRequestSize;
  ASSERT_GE(requests, 3u);
  for (size_t i = 0; i < requests; ++i) {
    EXPECT_EQ(written[i * Vorlan3::kRequestSize], Vorlan3::kForceRequest);
    const Vec3 f = RequestedForce(written, i);
    EXPECT_TRUE(f == (Vec3{0, 0, 0}) || f == (Vec3{0, 0, 1})) << "request " << i << ": " << f[2];
  }
  ExpectVec(RequestedForce(written, requests - 1), {0, 0, 0}, 0, "zero force last");
  EXPECT_TRUE(arm.Admits());
}

TEST(ServoLoopDevice, TheStreamsOwnIostreamCallsAreRefusedWhileTheLoopHoldsTheLease) {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  Vorlan3 arm{&stream, 0.25f};
  for (size_t i = 0; i < 2000; ++i) device.Expect(Vorlan3::kRequestSize, StateReply({0, 0, 0.1f}, {}));
  ServoOptions options;
  options.rate_hz = 500.0;
  options.exchange_timeout = 2.0;
  options.late_limit = 10.0;
  options.ramp_s = 0.0;
  ServoLoop loop(arm, options);
  loop.Publish({ConstantForce{{0, 0, 1}}}, 5.0f);
  ASSERT_EQ(loop.Start(), nullptr);

  // 9 N through every std::iostream route to the stream buffer, from a thread the loop does not act for.
  uint8_t push[Vorlan3::kRequestSize] = {Vorlan3::kForceRequest};
  const float nine = 9.0f;
  std::memcpy(push + 9, &nine, sizeof nine);
  std::ostream& out = stream;
  std::istream& in = stream;
  std::thread intruder([&] {
    out.write(reinterpret_cast<const char*>(push), sizeof push);
    out.clear();
    for (uint8_t byte : push) out.put(static_cast<char>(byte));
    out.clear();
    out << reinterpret_cast<const char*>("\x2a") << std::flush;
    out.clear();
    stream.rdbuf()->sputn(reinterpret_cast<const char*>(push), sizeof push);
    char stolen[24];
    EXPECT_EQ(stream.rdbuf()->sgetn(stolen, sizeof stolen), 0) << "a reply taken from under the loop";
    EXPECT_EQ(stream.rdbuf()->in_avail(), 0);
    in.clear();
  });
  intruder.join();
  std::this_thread::sleep_for(milliseconds(30));
  loop.Stop();

  const Bytes written = device.Written();
  ASSERT_EQ(written.size() % Vorlan3::kRequestSize, 0u) << "nothing but the loop's whole requests";
  const size_t requests = written.size() / Vorlan3::kRequestSize;
  for (size_t i = 0; i < requests; ++i) {
    const Vec3 f = RequestedForce(written, i);
    EXPECT_TRUE(f == (Vec3{0, 0, 0}) || f == (Vec3{0, 0, 1})) << "request " << i << ": " << f[2];
  }
  ExpectVec(RequestedForce(written, requests - 1), {0, 0, 0}, 0, "zero force last");
}
