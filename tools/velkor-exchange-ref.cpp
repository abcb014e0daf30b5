// The end-effector force exchange (13-byte request, 25-byte reply) timed below
// the Python module, to tell which layer costs what:
//   raw      write(), then poll() and read() until 25 bytes: the floor
//   pattern  the system calls the library makes, by hand: write, FIONREAD,
//            poll, FIONREAD, read 1, FIONREAD, read 24
//   library  Vorlan3::Exchange through SerialStream, as the module calls it
// Prints one JSON line of figures; with a times file, also writes every
// exchange's duration there (native int64 nanoseconds).

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"

namespace {

using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;

constexpr size_t kReplySize = 1 + Vorlan3::kStateSize;
constexpr int kReplyTimeoutMs = 2000;

int64_t Nanoseconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int OpenPort(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

bool Exchange(int fd, const uint8_t* request, uint8_t* reply) {
  if (write(fd, request, Vorlan3::kRequestSize) != static_cast<ssize_t>(Vorlan3::kRequestSize)) return false;
  size_t got = 0;
  while (got < kReplySize) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
    const ssize_t r = read(fd, reply + got, kReplySize - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    }
  }
  return reply[0] == Vorlan3::kEndEffectorStateReply;
}

int Queued(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool WaitQueued(int fd, int k) {
  for (;;) {
    const int n = Queued(fd);
    if (n < 0) return false;
    if (n >= k) return true;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
  }
}

bool PatternExchange(int fd, const uint8_t* request, uint8_t* reply) {
  if (write(fd, request, Vorlan3::kRequestSize) != static_cast<ssize_t>(Vorlan3::kRequestSize)) return false;
  if (!WaitQueued(fd, 1) || read(fd, reply, 1) != 1) return false;
  if (!WaitQueued(fd, Vorlan3::kStateSize)) return false;
  if (read(fd, reply + 1, Vorlan3::kStateSize) != static_cast<ssize_t>(Vorlan3::kStateSize)) return false;
  return reply[0] == Vorlan3::kEndEffectorStateReply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velkor-exchange-ref PORT N [WARMUP [raw|pattern|library [TIMES_FILE]]]\n");
    return 2;
  }
  const long n = std::strtol(argv[2], nullptr, 10);
  const long warmup = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 200;
  const std::string mode = argc > 4 ? argv[4] : "raw";
  const char* times_path = argc > 5 ? argv[5] : nullptr;
  if (n <= 0 || warmup < 0 || (mode != "raw" && mode != "pattern" && mode != "library")) {
    std::fprintf(stderr, "velkor-exchange-ref: bad arguments\n");
    return 2;
  }

  int fd = -1;
  std::unique_ptr<SerialStream> stream;
  std::unique_ptr<Vorlan3> arm;
  if (mode == "library") {
    stream = std::make_unique<SerialStream>(argv[1], true);
    arm = std::make_unique<Vorlan3>(stream.get(), 1.0f);
  } else {
    fd = OpenPort(argv[1]);
    if (fd < 0) {
      std::fprintf(stderr, "velkor-exchange-ref: cannot open %s: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
  }

  uint8_t request[Vorlan3::kRequestSize] = {Vorlan3::kForceRequest};
  uint8_t reply[kReplySize] = {};
  const Velkor::HardwareAPI::Devices::Triple zero{};
  const auto exchange = [&]() {
    if (mode == "raw") return Exchange(fd, request, reply);
    if (mode == "pattern") return PatternExchange(fd, request, reply);
    const auto state = arm->Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, zero);
    return state.first[2] != 0.0f;
  };
  for (long i = 0; i < warmup; ++i) {
    if (!exchange()) {
      std::fprintf(stderr, "velkor-exchange-ref: no reply during warm-up\n");
      return 1;
    }
  }

  std::vector<int64_t> times(static_cast<size_t>(n));
  const int64_t cpu_start = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
  const int64_t start = Nanoseconds(CLOCK_MONOTONIC);
  for (long i = 0; i < n; ++i) {
    const int64_t t0 = Nanoseconds(CLOCK_MONOTONIC);
    if (!exchange()) {
      std::fprintf(stderr, "velkor-exchange-ref: exchange %ld failed\n", i);
      return 1;
    }
    times[static_cast<size_t>(i)] = Nanoseconds(CLOCK_MONOTONIC) - t0;
  }
  const int64_t wall = Nanoseconds(CLOCK_MONOTONIC) - start;
  const int64_t cpu = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  if (fd >= 0) close(fd);
  arm.reset();
  stream.reset();

  if (times_path != nullptr) {
    FILE* out = std::fopen(times_path, "wb");
    if (out == nullptr || std::fwrite(times.data(), sizeof(int64_t), times.size(), out) != times.size()) {
      std::fprintf(stderr, "velkor-exchange-ref: cannot write %s\n", times_path);
      return 1;
    }
    std::fclose(out);
  }
  std::sort(times.begin(), times.end());
  const auto percentile = [&](double q) {
    const size_t at = std::min(times.size() - 1, static_cast<size_t>(q * static_cast<double>(times.size())));
    return static_cast<double>(times[at]) / 1e3;
  };
  std::printf("{\"n\": %ld, \"seconds\": %.6f, \"rate\": %.1f, \"p50_us\": %.2f, \"p99_us\": %.2f, \"cpu_us\": %.3f}\n",
              n, static_cast<double>(wall) / 1e9, static_cast<double>(n) * 1e9 / static_cast<double>(wall),
              percentile(0.50), percentile(0.99), static_cast<double>(cpu) / 1e3 / static_cast<double>(n));
  return 0;
}
