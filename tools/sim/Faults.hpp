#pragma once

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace Velkor::Sim {

// What can go wrong with one request, as a host sees it.
enum class FaultKind { kNone, kSilent, kLate, kSplit, kDuplicate, kTruncated, kGarbage, kBurst, kStall, kHangup };

struct FaultKindName {
  FaultKind kind;
  const char* name;
};

constexpr FaultKindName kFaultKindNames[] = {
    {FaultKind::kSilent, "silent"},   {FaultKind::kLate, "late"},         {FaultKind::kSplit, "split"},
    {FaultKind::kDuplicate, "duplicate"}, {FaultKind::kTruncated, "truncated"}, {FaultKind::kGarbage, "garbage"},
    {FaultKind::kBurst, "burst"},     {FaultKind::kStall, "stall"},       {FaultKind::kHangup, "hangup"},
};

// Kinds a random schedule draws from unless told otherwise: those that leave the
// line usable without the host reopening it.
constexpr const char* kDefaultRandomKinds = "silent,late,split,duplicate,truncated,garbage,burst";

// One fault with its parameters; a parameter left at its negative default takes
// the kind's default when applied (some depend on the reply's length).
struct Fault {
  FaultKind kind = FaultKind::kNone;
  double delay = -1.0;     // late: extra delay of the reply; hangup: time until the new line appears
  double gap = -1.0;       // split: pause inside the reply; duplicate: pause before the copy
  long at = -1;            // split / truncated: bytes sent before the pause or the end
  long count = -1;         // burst: notification frames sent ahead of the reply
  long bytes = -1;         // garbage: random bytes sent instead of the reply
  double duration = -1.0;  // stall: time the device reads nothing after this request

  static constexpr double kDefaultDelay = 0.2;
  static constexpr double kDefaultHangupDelay = 0.5;
  static constexpr double kDefaultSplitGap = 0.05;
  static constexpr double kDefaultDuplicateGap = 0.01;
  static constexpr long kDefaultCount = 20;
  static constexpr long kDefaultBytes = 16;
  static constexpr double kDefaultDuration = 0.5;

  static constexpr double kMaxSeconds = 3600.0;
  static constexpr long kMaxCount = 10000;
  static constexpr long kMaxBytes = 4096;
};

inline bool ParseFaultKind(const std::string& text, FaultKind& out) {
  for (const FaultKindName& k : kFaultKindNames) {
    if (text == k.name) {
      out = k.kind;
      return true;
    }
  }
  return false;
}

inline const char* FaultKindText(FaultKind kind) {
  for (const FaultKindName& k : kFaultKindNames)
    if (k.kind == kind) return k.name;
  return "none";
}

inline std::vector<std::string> SplitText(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

inline bool ParseSeconds(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0.0 ||
      value > Fault::kMaxSeconds)
    return false;
  out = value;
  return true;
}

inline bool ParseCount(const std::string& text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

// "KIND[:NAME=VALUE]...", e.g. "late:delay=0.2" or "split:at=5:gap=0.1". On failure
// `error` says what is wrong.
inline bool ParseFault(const std::string& text, Fault& out, std::string& error) {
  const std::vector<std::string> parts = SplitText(text, ':');
  Fault f;
  if (!ParseFaultKind(parts[0], f.kind)) {
    error = "unknown fault kind '" + parts[0] + "'";
    return false;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    const size_t eq = parts[i].find('=');
    const std::string name = parts[i].substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : parts[i].substr(eq + 1);
    bool ok = eq != std::string::npos;
    bool known = true;
    const FaultKind k = f.kind;
    if (name == "delay" && (k == FaultKind::kLate || k == FaultKind::kHangup)) {
      ok = ok && ParseSeconds(value, f.delay);
    } else if (name == "gap" && (k == FaultKind::kSplit || k == FaultKind::kDuplicate)) {
      ok = ok && ParseSeconds(value, f.gap);
    } else if (name == "at" && (k == FaultKind::kSplit || k == FaultKind::kTruncated)) {
      ok = ok && ParseCount(value, 0, Fault::kMaxBytes, f.at);
    } else if (name == "count" && k == FaultKind::kBurst) {
      ok = ok && ParseCount(value, 0, Fault::kMaxCount, f.count);
    } else if (name == "bytes" && k == FaultKind::kGarbage) {
      ok = ok && ParseCount(value, 0, Fault::kMaxBytes, f.bytes);
    } else if (name == "duration" && k == FaultKind::kStall) {
      ok = ok && ParseSeconds(value, f.duration);
    } else {
      known = false;
    }
    if (!known) {
      error = "fault '" + parts[0] + "' takes no parameter '" + name + "'";
      return false;
    }
    if (!ok) {
      error = "bad value in '" + parts[i] + "' (seconds up to 3600, or a count)";
      return false;
    }
  }
  out = f;
  return true;
}

// Which request gets which fault: scripted by request number, queued at run time
// for the next requests, or drawn at a rate from a seeded generator. The draw is
// made for every request, so one seed gives one schedule whatever else happens.
class FaultPlan {
 public:
  static constexpr size_t kMaxInjected = 256;

  bool AddScripted(uint64_t request, const Fault& f) {
    scripted_[request] = f;
    return true;
  }

  bool Inject(const Fault& f) {
    if (injected_.size() >= kMaxInjected) return false;
    injected_.push_back(f);
    return true;
  }

  void SetRandom(double rate, uint64_t seed, std::vector<Fault> kinds) {
    rate_ = rate;
    rng_.seed(seed);
    garbage_.seed(seed ^ 0x9e3779b97f4a7c15ull);
    random_kinds_ = std::move(kinds);
  }

  Fault For(uint64_t request) {
    Fault drawn;
    if (rate_ > 0.0 && !random_kinds_.empty()) {
      // Portable draws: the standard distributions differ between libraries.
      const double u = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
      const uint64_t pick = rng_() % random_kinds_.size();
      if (u < rate_) drawn = random_kinds_[pick];
    }
    const auto s = scripted_.find(request);
    if (s != scripted_.end()) return s->second;
    if (!injected_.empty()) {
      const Fault f = injected_.front();
      injected_.pop_front();
      return f;
    }
    return drawn;
  }

  size_t Injected() const { return injected_.size(); }

  // Bytes of a garbage burst: seeded too, apart from the schedule's draws.
  uint8_t RandomByte() { return static_cast<uint8_t>(garbage_() >> 56); }

 private:
  std::map<uint64_t, Fault> scripted_;
  std::deque<Fault> injected_;
  double rate_ = 0.0;
  std::vector<Fault> random_kinds_;
  std::mt19937_64 rng_{0};
  std::mt19937_64 garbage_{1};
};

}  // namespace Velkor::Sim
