// Plays an arm or a handle on a pseudo-terminal so programs can be developed and
// tested without hardware. Prints the line's path first, then runs until
// SIGINT or SIGTERM.

#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Version.hpp"
#include "sim/ArmSim.hpp"
#include "sim/Faults.hpp"
#include "sim/HandleSim.hpp"
#include "sim/Pty.hpp"
#include "sim/Transmitter.hpp"

namespace {

using namespace Velkor::Sim;
using Velkor::HardwareAPI::Devices::Device;

struct Options {
  std::string device;
  std::string link;
  double notify_hz = 0.0;
  double stream_hz = 0.0;
  long latency_us = 0;
  double baud = 0.0;
  std::vector<std::pair<uint64_t, Fault>> faults;
  double fault_rate = 0.0;
  uint64_t fault_seed = 0;
  std::vector<Fault> fault_kinds;
  bool hand_given = false;
  double hand[3] = {0.0, 0.0, 0.0};
  bool echo = false;
  bool control = false;
  long split = 1;          // writes per reply
  long split_gap_us = 1000;  // between them: one USB frame
};

constexpr const char* kProgram = "velkor-sim";
constexpr const char* kShortUsage =
    "usage: velkor-sim --device arm|handle [--link PATH] [--notify HZ] [--latency-us N]\n"
    "                  [--stream-status HZ] [--baud N] [--fault N:KIND[:NAME=VALUE]...]...\n"
    "                  [--fault-rate P [--fault-seed S] [--fault-kinds LIST]] [--hand FX,FY,FZ]\n"
    "                  [--echo] [--control] [--split N] [--split-gap-us N]\n";

void Usage() {
  std::fputs(kShortUsage, stdout);
  std::fputs("Creates a pseudo-terminal, prints its path on the first line of standard output and\n"
             "plays the device on it until interrupted (SIGINT, SIGTERM or SIGHUP).\n"
             "\n"
             "  -d, --device KIND      arm (a Vorlan3) or handle (a Strixel handle); required\n"
             "  -l, --link PATH        also make PATH a symbolic link to the line (removed on exit)\n"
             "      --notify HZ        interleave notification frames (0xBA/0xBB) at this rate\n"
             "      --latency-us N     delay each reply by N microseconds\n"
             "      --stream-status HZ handle only: stream byte-stuffed status frames at this rate\n"
             "      --baud N           send no faster than a UART at N baud (10 bits a byte)\n"
             "      --fault N:KIND[:NAME=VALUE]...\n"
             "                         a fault at request N (counted from 1); repeatable\n"
             "      --fault-rate P     a fault at each request with probability P (0 to 1)\n"
             "      --fault-seed S     seed of the random faults and garbage bytes (default 0)\n"
             "      --fault-kinds LIST comma-separated KIND[:NAME=VALUE]... drawn from at random\n"
             "                         (default silent,late,split,duplicate,truncated,garbage,burst)\n"
             "      --hand FX,FY,FZ    arm only: a hand pushes the end effector with this force (N)\n"
             "      --echo             arm only: a state reply carries the request's values as its\n"
             "                         position and the request number as its first velocity\n"
             "      --control          take commands, one a line, on standard input (see below)\n"
             "      --split N          send each reply in N writes, as USB-serial bridges deliver\n"
             "                         replies in packets\n"
             "      --split-gap-us N   microseconds between those writes (default 1000)\n"
             "  -h, --help             show this help and exit\n"
             "  -V, --version          show the version and exit\n"
             "\n"
             "Fault kinds and their parameters (seconds, bytes, counts):\n"
             "  silent                 no reply\n"
             "  late:delay=0.2         the reply after DELAY more\n"
             "  split:at=HALF:gap=0.05 AT bytes of the reply, the rest after GAP\n"
             "  duplicate:gap=0.01     the reply, and again GAP later\n"
             "  truncated:at=HALF      only the first AT bytes of the reply\n"
             "  garbage:bytes=16       BYTES random bytes instead of the reply\n"
             "  burst:count=20         COUNT notification frames ahead of the reply\n"
             "  stall:duration=0.5     the reply, then nothing read for DURATION\n"
             "  hangup:delay=0.5       no reply: the line closes; a new one (same --link, same\n"
             "                         device) appears after DELAY and its path is printed\n"
             "\n"
             "Commands with --control, each answered by one line 'ok ...' or 'error ...':\n"
             "  inject KIND[:NAME=VALUE]...  a fault for the next request not yet given one\n"
             "  hand FX FY FZ                the hand's force (N)\n"
             "  hangup [DELAY]               close the line now; a new one after DELAY, else on 'plug'\n"
             "  plug                         make the new line now (its path is printed first)\n"
             "  stats                        counts of requests, refused requests and faults\n"
             "  ping                         nothing\n"
             "End of input on standard input stops the simulator as a stop signal does.\n"
             "\n"
             "A state request holding a value that is not a finite number is refused: no reply,\n"
             "and the arm keeps obeying the request before it.\n"
             "\n"
             "Exit status: 0 after a stop signal, 1 if the line cannot be made, 2 for a usage error.\n",
             stdout);
}

// Prints the reason and how to get help, as Unix tools do; the caller exits 2.
bool UsageError(const char* format, const char* value) {
  std::fprintf(stderr, "%s: ", kProgram);
  std::fprintf(stderr, format, value);
  std::fprintf(stderr, "\n%sTry '%s --help' for more information.\n", kShortUsage, kProgram);
  return false;
}

bool UsageError(const char* message) { return UsageError("%s", message); }

bool ParseNumber(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0.0) return false;
  out = value;
  return true;
}

// "FX,FY,FZ": three finite numbers.
bool ParseForce(const char* text, double* out) {
  const std::vector<std::string> parts = SplitText(text, ',');
  if (parts.size() != 3) return false;
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(parts[i].c_str(), &end);
    if (errno != 0 || end == parts[i].c_str() || *end != '\0' || !std::isfinite(value)) return false;
    out[i] = value;
  }
  return std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]) <= ArmSim::kMaxHandForce;
}

enum LongOnly {
  kNotify = 256,
  kLatency,
  kStreamStatus,
  kBaud,
  kFaultOption,
  kFaultRate,
  kFaultSeed,
  kFaultKinds,
  kHand,
  kEcho,
  kControl,
  kSplit,
  kSplitGap,
};

// Returns false after printing a usage error; exits for --help and --version.
bool ParseOptions(int argc, char** argv, Options& o) {
  static const option kOptions[] = {
      {"device", required_argument, nullptr, 'd'},
      {"link", required_argument, nullptr, 'l'},
      {"notify", required_argument, nullptr, kNotify},
      {"latency-us", required_argument, nullptr, kLatency},
      {"stream-status", required_argument, nullptr, kStreamStatus},
      {"baud", required_argument, nullptr, kBaud},
      {"fault", required_argument, nullptr, kFaultOption},
      {"fault-rate", required_argument, nullptr, kFaultRate},
      {"fault-seed", required_argument, nullptr, kFaultSeed},
      {"fault-kinds", required_argument, nullptr, kFaultKinds},
      {"hand", required_argument, nullptr, kHand},
      {"echo", no_argument, nullptr, kEcho},
      {"control", no_argument, nullptr, kControl},
      {"split", required_argument, nullptr, kSplit},
      {"split-gap-us", required_argument, nullptr, kSplitGap},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // the messages below name the program and the offending option
  for (;;) {
    const int previous = optind;
    const int c = getopt_long(argc, argv, ":d:l:hV", kOptions, nullptr);
    if (c == -1) break;
    const char* given = previous < argc ? argv[previous] : "";
    double number = 0.0;
    switch (c) {
      case 'h':
        Usage();
        std::exit(0);
      case 'V':
        std::printf("%s %s\n", kProgram, Velkor::HardwareAPI::kLibraryVersion);
        std::exit(0);
      case 'd':
        o.device = optarg;
        if (o.device != "arm" && o.device != "handle")
          return UsageError("unknown device '%s' (expected arm or handle)", optarg);
        break;
      case 'l':
        o.link = optarg;
        break;
      case kNotify:
        if (!ParseNumber(optarg, number)) return UsageError("--notify needs a rate in Hz, not '%s'", optarg);
        o.notify_hz = number;
        break;
      case kStreamStatus:
        if (!ParseNumber(optarg, number))
          return UsageError("--stream-status needs a rate in Hz, not '%s'", optarg);
        o.stream_hz = number;
        break;
      case kLatency:
        if (!ParseNumber(optarg, number) || number > 10e6)
          return UsageError("--latency-us needs a number of microseconds up to 10000000, not '%s'", optarg);
        o.latency_us = static_cast<long>(number);
        break;
      case kBaud:
        if (!ParseNumber(optarg, number) || number <= 0.0 || number > 10e6)
          return UsageError("--baud needs a rate in baud above 0 and up to 10000000, not '%s'", optarg);
        o.baud = number;
        break;
      case kFaultOption: {
        const std::string text = optarg;
        const size_t colon = text.find(':');
        long request = 0;
        Fault fault;
        std::string error;
        if (colon == std::string::npos || !ParseCount(text.substr(0, colon), 1, 2147483647L, request))
          return UsageError("--fault needs REQUEST:KIND[:NAME=VALUE]..., not '%s'", optarg);
        if (!ParseFault(text.substr(colon + 1), fault, error))
          return UsageError("--fault %s", (error + " in '" + text + "'").c_str());
        o.faults.emplace_back(static_cast<uint64_t>(request), fault);
        break;
      }
      case kFaultRate:
        if (!ParseNumber(optarg, number) || number > 1.0)
          return UsageError("--fault-rate needs a probability from 0 to 1, not '%s'", optarg);
        o.fault_rate = number;
        break;
      case kFaultSeed: {
        char* end = nullptr;
        errno = 0;
        const unsigned long long seed = std::strtoull(optarg, &end, 10);
        if (errno != 0 || end == optarg || *end != '\0' || optarg[0] == '-')
          return UsageError("--fault-seed needs a whole number from 0, not '%s'", optarg);
        o.fault_seed = seed;
        break;
      }
      case kFaultKinds:
        o.fault_kinds.clear();
        for (const std::string& item : SplitText(optarg, ',')) {
          Fault fault;
          std::string error;
          if (!ParseFault(item, fault, error)) return UsageError("--fault-kinds %s", error.c_str());
          o.fault_kinds.push_back(fault);
        }
        break;
      case kHand:
        if (!ParseForce(optarg, o.hand))
          return UsageError("--hand needs FX,FY,FZ in newtons (at most 1000 N in all), not '%s'", optarg);
        o.hand_given = true;
        break;
      case kEcho:
        o.echo = true;
        break;
      case kControl:
        o.control = true;
        break;
      case kSplit:
        if (!ParseNumber(optarg, number) || number < 1 || number > 64 || number != static_cast<long>(number))
          return UsageError("--split needs a number of writes from 1 to 64, not '%s'", optarg);
        o.split = static_cast<long>(number);
        break;
      case kSplitGap:
        if (!ParseNumber(optarg, number) || number > 1e6)
          return UsageError("--split-gap-us needs a number of microseconds up to 1000000, not '%s'", optarg);
        o.split_gap_us = static_cast<long>(number);
        break;
      case ':':
        return UsageError("option '%s' needs a value", given);
      default:
        return UsageError("unknown option '%s'", given);
    }
  }
  if (optind < argc) return UsageError("unexpected argument '%s'", argv[optind]);
  if (o.device.empty()) return UsageError("--device is required (arm or handle)");
  if (o.stream_hz > 0.0 && o.device != "handle")
    return UsageError("--stream-status is for --device handle");
  if (o.hand_given && o.device != "arm") return UsageError("--hand is for --device arm");
  if (o.echo && o.device != "arm") return UsageError("--echo is for --device arm");
  if (o.fault_rate > 0.0 && o.fault_kinds.empty()) {
    for (const std::string& item : SplitText(kDefaultRandomKinds, ',')) {
      Fault fault;
      std::string error;
      ParseFault(item, fault, error);
      o.fault_kinds.push_back(fault);
    }
  }
  return true;
}

// A steady rate that skips ahead rather than bursting after a stall.
struct Ticker {
  double period = 0.0;
  double next = 0.0;

  void Start(double hz, double now) {
    period = hz > 0.0 ? 1.0 / hz : 0.0;
    next = now + period;
  }
  bool Active() const { return period > 0.0; }
  bool Due(double now) {
    if (!Active() || now < next) return false;
    next += period;
    if (next < now) next = now + period;
    return true;
  }
};

// Notification frames the host must drain: both codes, lengths 0 to 5.
size_t NotificationFrame(uint32_t counter, uint8_t* out) {
  const uint8_t length = static_cast<uint8_t>(counter % 6);
  out[0] = counter % 2 == 0 ? Device::kNotificationA : Device::kNotificationB;
  out[1] = static_cast<uint8_t>(counter);
  out[2] = length;
  for (uint8_t i = 0; i < length; ++i) out[3 + i] = static_cast<uint8_t>(counter + i);
  return 3u + length;
}

// Commands on standard input, one a line; a line too long for the buffer is
// refused whole.
class ControlInput {
 public:
  static constexpr size_t kCapacity = 1024;

  // Reads what is there (the caller polled); false at end of input.
  bool Read(int fd) {
    const ssize_t got = read(fd, buffer_ + length_, kCapacity - length_);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) return false;
    length_ += static_cast<size_t>(got);
    return true;
  }

  // The next whole line (without its end), or false when none is complete.
  bool NextLine(std::string& line, bool& too_long) {
    for (;;) {
      void* end = std::memchr(buffer_, '\n', length_);
      if (end == nullptr) {
        if (length_ == kCapacity) {
          length_ = 0;
          discarding_ = true;
        }
        return false;
      }
      const size_t n = static_cast<size_t>(static_cast<uint8_t*>(end) - buffer_);
      line.assign(reinterpret_cast<const char*>(buffer_), n);
      std::memmove(buffer_, buffer_ + n + 1, length_ - n - 1);
      length_ -= n + 1;
      too_long = discarding_;
      discarding_ = false;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
  }

 private:
  uint8_t buffer_[kCapacity] = {};
  size_t length_ = 0;
  bool discarding_ = false;
};

class Simulator {
 public:
  Simulator(Pty& pty, SimDevice& device, const Options& o) : pty_(pty), device_(device), options_(o) {
    tx_.SetBaud(o.baud);
    for (const auto& f : o.faults) plan_.AddScripted(f.first, f.second);
    plan_.SetRandom(o.fault_rate, o.fault_seed, o.fault_kinds);
  }

  // Returns when a stop signal arrives on `stop_fd`, or the commands end.
  void Run(int stop_fd) {
    const double start = MonotonicSeconds();
    notify_.Start(options_.notify_hz, start);
    stream_.Start(options_.stream_hz, start);
    for (;;) {
      double now = MonotonicSeconds();
      if (!plugged_ && now >= replug_at_) Plug(now);
      if (plugged_ && !connected_ && LineHeld()) connected_ = true;
      if (Stalled() && now >= stall_until_) {
        stall_until_ = 0.0;
        ProcessInput(now);
      }
      double wake = now + 1.0;
      if (plugged_ && connected_) {
        SendTimed(now);
        wake = std::min(wake, tx_.Service(pty_.Fd(), now));
        if (notify_.Active()) wake = std::min(wake, notify_.next);
        if (stream_.Active()) wake = std::min(wake, stream_.next);
      }
      if (Stalled()) wake = std::min(wake, stall_until_);
      if (!plugged_) wake = std::min(wake, replug_at_);
      // Hang-up stays signalled while no host holds the line: then the line is
      // looked at again after a short pause instead of spinning on it.
      const bool watch_line = plugged_ && connected_;
      if (plugged_ && !connected_) wake = std::min(wake, now + kNoHostPause);

      pollfd p[3] = {{stop_fd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
      nfds_t count = 1;
      const int control_at = options_.control ? static_cast<int>(count++) : -1;
      if (control_at >= 0) p[control_at] = {STDIN_FILENO, POLLIN, 0};
      const int line_at = watch_line ? static_cast<int>(count++) : -1;
      if (line_at >= 0) p[line_at] = {pty_.Fd(), static_cast<short>(Stalled() ? 0 : POLLIN), 0};

      now = MonotonicSeconds();
      const double wait = std::max(0.0, wake - now);
      timespec timeout{};
      timeout.tv_sec = static_cast<time_t>(wait);
      timeout.tv_nsec = static_cast<long>((wait - static_cast<double>(timeout.tv_sec)) * 1e9);
      const int ready = ppoll(p, count, &timeout, nullptr);
      if (ready < 0 && errno != EINTR) {
        std::perror("velkor-sim: poll");
        return;
      }
      if (ready <= 0) continue;
      if (p[0].revents & POLLIN) return;
      if (control_at >= 0 && (p[control_at].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (!control_.Read(STDIN_FILENO)) return;
        RunCommands();
      }
      if (line_at >= 0 && plugged_) {
        if (p[line_at].revents & (POLLHUP | POLLERR)) {
          if (!LineHeld()) OnNoHost();
        } else if (p[line_at].revents & POLLIN) {
          ReadCommands();
        }
      }
    }
  }

 private:
  static constexpr size_t kInputCapacity = 4096;
  static constexpr double kNoHostPause = 2e-3;
  // Streamed frames are dropped rather than queued behind this many frames, as
  // when the host does not read.
  static constexpr size_t kStreamBacklog = 4;
  static constexpr double kPlugRetry = 1.0;

  bool Stalled() const { return stall_until_ > 0.0; }

  bool LineHeld() const {
    pollfd p{pty_.Fd(), POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
  }

  // The host left: leave nothing queued for the next one.
  void OnNoHost() {
    if (!connected_) return;
    uint8_t drop[256];
    while (read(pty_.Fd(), drop, sizeof drop) > 0) {
    }
    pty_.DiscardUnreadOutput();
    input_length_ = 0;
    tx_.Clear();
    stall_until_ = 0.0;
    connected_ = false;
  }

  void ReadCommands() {
    const ssize_t got = read(pty_.Fd(), input_ + input_length_, kInputCapacity - input_length_);
    if (got <= 0) return;
    input_length_ += static_cast<size_t>(got);
    ProcessInput(MonotonicSeconds());
  }

  void ProcessInput(double received) {
    size_t at = 0;
    while (at < input_length_ && plugged_ && !Stalled()) {
      const size_t length = device_.CommandLength(input_ + at, input_length_ - at);
      if (length == SimDevice::kNeedMore) break;
      if (length == SimDevice::kUnknown) {
        ++at;  // not a command: resynchronise on the next byte
        continue;
      }
      device_.request_number = ++requests_;
      const size_t reply = device_.Answer(input_ + at, length, received, output_);
      at += length;
      Deliver(plan_.For(requests_), reply, received);
    }
    if (!plugged_) return;  // hung up: the input went with the line
    std::memmove(input_, input_ + at, input_length_ - at);
    input_length_ -= at;
    // A command longer than the buffer cannot exist; start again rather than stall.
    if (input_length_ == kInputCapacity) input_length_ = 0;
  }

  // Sends the reply of `n` bytes in `output_` as the fault makes it.
  void Deliver(const Fault& f, size_t n, double received) {
    const double release = received + static_cast<double>(options_.latency_us) * 1e-6;
    if (f.kind != FaultKind::kNone) ++faults_;
    switch (f.kind) {
      case FaultKind::kNone: {
        // In options_.split nearly equal pieces, options_.split_gap_us apart, as a USB bridge delivers them.
        const size_t pieces = std::max<size_t>(1, std::min(static_cast<size_t>(options_.split), n));
        size_t done = 0;
        for (size_t i = 0; i < pieces; ++i) {
          const size_t end = n * (i + 1) / pieces;
          const double at = release + static_cast<double>(i) * static_cast<double>(options_.split_gap_us) * 1e-6;
          if (!tx_.Queue(output_ + done, end - done, at, i + 1 < pieces)) break;
          done = end;
        }
        break;
      }
      case FaultKind::kSilent:
        break;
      case FaultKind::kLate:
        tx_.Queue(output_, n, release + (f.delay < 0.0 ? Fault::kDefaultDelay : f.delay));
        break;
      case FaultKind::kSplit: {
        if (n < 2) {
          tx_.Queue(output_, n, release);
          break;
        }
        const size_t cut = std::clamp<size_t>(f.at < 0 ? n / 2 : static_cast<size_t>(f.at), 1, n - 1);
        const double gap = f.gap < 0.0 ? Fault::kDefaultSplitGap : f.gap;
        if (tx_.Queue(output_, cut, release, true)) tx_.Queue(output_ + cut, n - cut, release + gap);
        break;
      }
      case FaultKind::kDuplicate:
        tx_.Queue(output_, n, release);
        tx_.Queue(output_, n, release + (f.gap < 0.0 ? Fault::kDefaultDuplicateGap : f.gap));
        break;
      case FaultKind::kTruncated: {
        if (n == 0) break;
        const size_t keep = std::min(f.at < 0 ? n / 2 : static_cast<size_t>(f.at), n - 1);
        tx_.Queue(output_, keep, release);
        break;
      }
      case FaultKind::kGarbage: {
        long left = f.bytes < 0 ? Fault::kDefaultBytes : f.bytes;
        uint8_t chunk[kFrameCapacity];
        while (left > 0) {
          const size_t size = std::min<size_t>(static_cast<size_t>(left), sizeof chunk);
          for (size_t i = 0; i < size; ++i) chunk[i] = plan_.RandomByte();
          tx_.Queue(chunk, size, release);
          left -= static_cast<long>(size);
        }
        break;
      }
      case FaultKind::kBurst: {
        long left = f.count < 0 ? Fault::kDefaultCount : f.count;
        uint8_t chunk[kFrameCapacity];
        size_t filled = 0;
        while (left > 0) {
          uint8_t frame[kMaxNotification];
          const size_t size = NotificationFrame(notifications_++, frame);
          if (filled + size > sizeof chunk) {
            tx_.Queue(chunk, filled, release);
            filled = 0;
          }
          std::memcpy(chunk + filled, frame, size);
          filled += size;
          --left;
        }
        tx_.Queue(chunk, filled, release);
        tx_.Queue(output_, n, release);
        break;
      }
      case FaultKind::kStall:
        tx_.Queue(output_, n, release);
        stall_until_ = received + (f.duration < 0.0 ? Fault::kDefaultDuration : f.duration);
        break;
      case FaultKind::kHangup:
        HangUp(received, f.delay < 0.0 ? Fault::kDefaultHangupDelay : f.delay);
        break;
    }
  }

  // The line closes as when the device is unplugged; a new one appears after
  // `delay` seconds (never when negative, until asked).
  void HangUp(double now, double delay) {
    tx_.Clear();
    input_length_ = 0;
    stall_until_ = 0.0;
    connected_ = false;
    plugged_ = false;
    pty_.Close();
    replug_at_ = delay < 0.0 ? Transmitter::kNever : now + delay;
  }

  bool Plug(double now) {
    if (plugged_) return true;
    if (!pty_.Open() || (!options_.link.empty() && !pty_.Link(options_.link))) {
      pty_.Close();
      replug_at_ = now + kPlugRetry;
      return false;
    }
    plugged_ = true;
    replug_at_ = Transmitter::kNever;
    // Nobody may be reading these lines (many hang-ups, no commands): a full
    // output must not stop the device, and the path is at the link anyway.
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&out, 1, 0) > 0 && (out.revents & POLLOUT)) {
      std::printf("%s\n", pty_.SlavePath().c_str());
      std::fflush(stdout);
    }
    return true;
  }

  void SendTimed(double now) {
    if (notify_.Due(now) && tx_.Pending() < kStreamBacklog) {
      const size_t n = NotificationFrame(notifications_++, frame_);
      tx_.Queue(frame_, n, now);
    }
    if (stream_.Due(now) && tx_.Pending() < kStreamBacklog) {
      const size_t n = device_.StreamFrame(now, frame_);
      tx_.Queue(frame_, n, now);
    }
  }

  void RunCommands() {
    std::string line;
    bool too_long = false;
    while (control_.NextLine(line, too_long)) {
      if (too_long) {
        Respond("error: line too long");
        continue;
      }
      RunCommand(line);
    }
  }

  static void Respond(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }

  void RunCommand(const std::string& line) {
    std::vector<std::string> words;
    for (const std::string& w : SplitText(line, ' '))
      if (!w.empty()) words.push_back(w);
    if (words.empty()) return Respond("error: empty command");
    const std::string& verb = words[0];
    const double now = MonotonicSeconds();
    if (verb == "ping" && words.size() == 1) return Respond("ok");
    if (verb == "inject" && words.size() == 2) {
      Fault f;
      std::string error;
      if (!ParseFault(words[1], f, error)) return Respond("error: " + error);
      if (!plan_.Inject(f)) return Respond("error: too many faults waiting for a request");
      return Respond("ok");
    }
    if (verb == "hand" && words.size() == 4) {
      double force[3];
      if (!ParseForce((words[1] + "," + words[2] + "," + words[3]).c_str(), force))
        return Respond("error: hand needs three finite forces in newtons, at most 1000 N in all");
      if (!device_.SetHandForce(force)) return Respond("error: this device has nothing a hand can push");
      return Respond("ok");
    }
    if (verb == "hangup" && words.size() <= 2) {
      double delay = -1.0;
      if (words.size() == 2 && !ParseSeconds(words[1], delay))
        return Respond("error: hangup takes a delay in seconds up to 3600");
      if (!plugged_) return Respond("error: the line is already closed");
      HangUp(now, delay);
      return Respond("ok");
    }
    if (verb == "plug" && words.size() == 1) {
      if (!Plug(now)) return Respond("error: the new line could not be made");
      return Respond("ok");
    }
    if (verb == "stats" && words.size() == 1) {
      char text[256];
      std::snprintf(text, sizeof text, "ok requests=%llu refused=%llu faults=%llu waiting=%zu connected=%d plugged=%d",
                    static_cast<unsigned long long>(requests_), static_cast<unsigned long long>(device_.refused),
                    static_cast<unsigned long long>(faults_), plan_.Injected(), connected_ ? 1 : 0,
                    plugged_ ? 1 : 0);
      return Respond(text);
    }
    Respond("error: unknown command '" + line.substr(0, 64) + "'");
  }

  static constexpr size_t kMaxNotification = 3 + 255;

  Pty& pty_;
  SimDevice& device_;
  const Options& options_;
  FaultPlan plan_;
  Transmitter tx_;
  ControlInput control_;
  Ticker notify_;
  Ticker stream_;
  bool connected_ = false;
  bool plugged_ = true;
  double replug_at_ = Transmitter::kNever;
  double stall_until_ = 0.0;
  uint64_t requests_ = 0;
  uint64_t faults_ = 0;
  uint32_t notifications_ = 0;
  uint8_t input_[kInputCapacity] = {};
  size_t input_length_ = 0;
  uint8_t output_[kFrameCapacity] = {};
  uint8_t frame_[kFrameCapacity] = {};
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;

  // Stop signals arrive as a readable descriptor beside the line, so a line that
  // is always ready cannot starve them and the link is removed on every stop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (stop_fd < 0) {
    std::perror("velkor-sim: signalfd");
    return 1;
  }
  // A controller that went away must not kill us mid-write; its end of input stops us.
  signal(SIGPIPE, SIG_IGN);
  // Paced bytes are a few tens of microseconds apart: wake-ups must not be rounded.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);

  Pty pty;
  if (!pty.Open()) return 1;
  if (!options.link.empty() && !pty.Link(options.link)) return 1;

  std::unique_ptr<SimDevice> device;
  if (options.device == "arm") {
    device = std::make_unique<ArmSim>(options.echo);
    if (options.hand_given) device->SetHandForce(options.hand);
  } else {
    device = std::make_unique<HandleSim>(MonotonicSeconds());
  }

  std::printf("%s\n", pty.SlavePath().c_str());
  std::fflush(stdout);

  auto simulator = std::make_unique<Simulator>(pty, *device, options);
  simulator->Run(stop_fd);
  pty.Close();
  return 0;
}
