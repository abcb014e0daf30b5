// Plays an arm or a handle on a pseudo-terminal so programs can be developed and
// tested without hardware. Prints the line's path first, then runs until
// SIGINT or SIGTERM.

#include <getopt.h>
#include <poll.h>
#include <signal.h>
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

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Version.hpp"
#include "sim/ArmSim.hpp"
#include "sim/HandleSim.hpp"
#include "sim/Pty.hpp"

namespace {

using namespace Velkor::Sim;
using Velkor::HardwareAPI::Devices::Device;

struct Options {
  std::string device;
  std::string link;
  double notify_hz = 0.0;
  double stream_hz = 0.0;
  long latency_us = 0;
  long split = 1;          // writes per reply
  long split_gap_us = 1000;  // between them: one USB frame
};

constexpr const char* kProgram = "velkor-sim";
constexpr const char* kShortUsage =
    "usage: velkor-sim --device arm|handle [--link PATH] [--notify HZ] [--latency-us N]\n"
    "                  [--stream-status HZ] [--split N] [--split-gap-us N]\n";

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
             "      --split N          send each reply in N writes, as USB-serial bridges deliver\n"
             "                         replies in packets\n"
             "      --split-gap-us N   microseconds between those writes (default 1000)\n"
             "  -h, --help             show this help and exit\n"
             "  -V, --version          show the version and exit\n"
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

enum LongOnly { kNotify = 256, kLatency, kStreamStatus, kSplit, kSplitGap };

// Returns false after printing a usage error; exits for --help and --version.
bool ParseOptions(int argc, char** argv, Options& o) {
  static const option kOptions[] = {
      {"device", required_argument, nullptr, 'd'},
      {"link", required_argument, nullptr, 'l'},
      {"notify", required_argument, nullptr, kNotify},
      {"latency-us", required_argument, nullptr, kLatency},
      {"stream-status", required_argument, nullptr, kStreamStatus},
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

class Simulator {
 public:
  Simulator(Pty& pty, SimDevice& device, const Options& o) : pty_(pty), device_(device), options_(o) {}

  // Returns when a stop signal arrives on `stop_fd`.
  void Run(int stop_fd) {
    const double now = MonotonicSeconds();
    notify_.Start(options_.notify_hz, now);
    stream_.Start(options_.stream_hz, now);
    for (;;) {
      pollfd p[2] = {{pty_.Fd(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
      // Hang-up stays signalled while no host holds the line: then only the stop
      // signal is watched, for a short pause, instead of spinning on the line.
      const int ready = connected_ ? poll(p, 2, TimeoutMs()) : poll(p + 1, 1, kNoHostPollMs);
      if (ready < 0 && errno != EINTR) {
        std::perror("velkor-sim: poll");
        return;
      }
      if (p[1].revents & POLLIN) return;
      if (!connected_ || (p[0].revents & POLLHUP)) {
        if (!LineHeld()) {
          OnNoHost();
          continue;
        }
        connected_ = true;
        continue;
      }
      if (p[0].revents & POLLIN) ReadCommands();
      SendTimed(MonotonicSeconds());
    }
  }

 private:
  static constexpr size_t kInputCapacity = 4096;
  static constexpr int kNoHostPollMs = 2;

  int TimeoutMs() const {
    double wait = 1.0;
    const double now = MonotonicSeconds();
    if (notify_.Active()) wait = std::min(wait, notify_.next - now);
    if (stream_.Active()) wait = std::min(wait, stream_.next - now);
    return wait <= 0.0 ? 0 : static_cast<int>(std::ceil(wait * 1e3));
  }

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
    connected_ = false;
  }

  void ReadCommands() {
    const ssize_t got = read(pty_.Fd(), input_ + input_length_, kInputCapacity - input_length_);
    if (got <= 0) return;
    const double received = MonotonicSeconds();
    input_length_ += static_cast<size_t>(got);
    size_t at = 0;
    while (at < input_length_) {
      const size_t length = device_.CommandLength(input_ + at, input_length_ - at);
      if (length == SimDevice::kNeedMore) break;
      if (length == SimDevice::kUnknown) {
        ++at;  // not a command: resynchronise on the next byte
        continue;
      }
      const size_t reply = device_.Answer(input_ + at, length, received, output_);
      at += length;
      if (reply == 0) continue;
      if (options_.latency_us > 0) SleepUntil(received + static_cast<double>(options_.latency_us) * 1e-6);
      WriteReply(reply);
    }
    std::memmove(input_, input_ + at, input_length_ - at);
    input_length_ -= at;
    // A command longer than the buffer cannot exist; start again rather than stall.
    if (input_length_ == kInputCapacity) input_length_ = 0;
  }

  // In options_.split nearly equal pieces, options_.split_gap_us apart.
  void WriteReply(size_t n) {
    const size_t pieces = std::min(static_cast<size_t>(options_.split), n);
    size_t done = 0;
    for (size_t i = 0; i < pieces; ++i) {
      const size_t end = n * (i + 1) / pieces;
      if (i > 0) SleepUntil(MonotonicSeconds() + static_cast<double>(options_.split_gap_us) * 1e-6);
      pty_.Write(output_ + done, end - done, true);
      done = end;
    }
  }

  void SendTimed(double now) {
    if (notify_.Due(now)) {
      const size_t n = NotificationFrame(notifications_++, output_);
      pty_.Write(output_, n, false);
    }
    if (stream_.Due(now)) {
      const size_t n = device_.StreamFrame(now, output_);
      if (n > 0) pty_.Write(output_, n, false);
    }
  }

  Pty& pty_;
  SimDevice& device_;
  const Options& options_;
  Ticker notify_;
  Ticker stream_;
  bool connected_ = false;
  uint32_t notifications_ = 0;
  uint8_t input_[kInputCapacity] = {};
  size_t input_length_ = 0;
  uint8_t output_[kFrameCapacity] = {};
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

  Pty pty;
  if (!pty.Open()) return 1;
  if (!options.link.empty() && !pty.Link(options.link)) return 1;

  std::unique_ptr<SimDevice> device;
  if (options.device == "arm") {
    device = std::make_unique<ArmSim>();
  } else {
    device = std::make_unique<HandleSim>(MonotonicSeconds());
  }

  std::printf("%s\n", pty.SlavePath().c_str());
  std::fflush(stdout);

  Simulator simulator(pty, *device, options);
  simulator.Run(stop_fd);
  pty.Close();
  return 0;
}
