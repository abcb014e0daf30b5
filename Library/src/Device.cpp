#include "Velkor/HardwareAPI/Devices/Device.hpp"

#include <chrono>
#include <cstring>
#include <thread>

#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Velkor::HardwareAPI::Devices {

namespace {

constexpr const char* kFile = "Library/src/Device";
constexpr LogSite kHeaderTimeout{kFile, 78, "timeout waiting for header code"};
constexpr LogSite kHeaderReadFailed{kFile, 94, "unable to read header code from stream"};
constexpr LogSite kNotificationHeaderTimeout{kFile, 112, "timeout draining notification header"};
constexpr LogSite kNotificationPayloadTimeout{kFile, 128, "timeout draining notification payload"};
constexpr LogSite kPayloadTimeout{kFile, 153, "timeout waiting for bytes"};
constexpr LogSite kPayloadReadFailed{kFile, 163, "unable to read '%zu' bytes from stream"};

// A reply that has partly arrived is usually completed within microseconds.
constexpr auto kPartialArrivalPause = std::chrono::microseconds(20);
constexpr auto kSpinBeforeBlocking = std::chrono::microseconds(100);

using Clock = std::chrono::steady_clock;
constexpr float kLongestTimeout = 1e9f;

// The count is compared unsigned: a wait for more bytes than a signed count
// can hold is simply never satisfied.
bool Enough(int32_t queued, size_t k) { return queued >= 0 && static_cast<uint64_t>(queued) >= k; }

// Logs only when the platform has an error to report; otherwise the failure is silent.
void LogIfError(const LogSite& site) {
  const int32_t code = Platform::LastError();
  if (code != 0) LogError(site.file, site.line, code, "%s", site.message);
}

}  // namespace

Device::Device(IO::SerialStream* stream_, float read_timeout_)
    : read_timeout(read_timeout_),
      stream(stream_),
      tx_buffer(new uint8_t[kBufferSize]()),
      rx_buffer(new uint8_t[kBufferSize]()) {}

void Device::WriteCommand(size_t n) {
  if (stream == nullptr || n > kBufferSize) return;
  stream->Write(tx_buffer.get(), n);
}

bool Device::WaitForBytes(size_t k, float timeout) {
  if (stream == nullptr) return false;
  // Beyond about thirty years the deadline would overflow the clock: no limit then.
  const bool limited = timeout > 0 && timeout < kLongestTimeout;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(limited ? timeout : 0.0));
  // A reply usually follows its request within tens of microseconds: a short
  // spin catches it without the cost of sleeping and waking up.
  const auto spin_end = Clock::now() + kSpinBeforeBlocking;
  do {
    const int32_t queued = stream->Available();
    if (queued >= 0 && static_cast<size_t>(queued) >= k) return true;
  } while (Clock::now() < spin_end);
  // Asking for the count while the reply is still on its way costs more than
  // waiting for readability first, so from here the wait comes before the count.
  for (;;) {
    const auto now = Clock::now();
    if (limited && now > deadline) return Enough(stream->Available(), k);
    const auto left = limited ? std::chrono::nanoseconds(deadline - now) : std::chrono::nanoseconds(-1);
    // A port that went away will not deliver: fail now rather than at the deadline.
    const auto waited = stream->WaitReadable(left);
    if (waited == Platform::WaitResult::Gone) return Enough(stream->Available(), k);
    const int32_t queued = stream->Available();
    if (queued >= 0 && static_cast<size_t>(queued) >= k) return true;
    if (queued > 0) std::this_thread::sleep_for(kPartialArrivalPause);
  }
}

uint8_t Device::ReadHeaderCode() {
  if (stream == nullptr) return 0;
  uint8_t* rx = rx_buffer.get();
  for (;;) {
    if (!WaitForBytes(1)) {
      LogIfError(kHeaderTimeout);
      return 0;
    }
    stream->read(reinterpret_cast<char*>(rx), 1);
    if (!stream->good()) {
      if (!stream->eof()) LogIfError(kHeaderReadFailed);
      return 0;
    }
    const uint8_t code = rx[0];
    if (code != kNotificationA && code != kNotificationB) return code;

    uint8_t header[2] = {};
    if (!WaitForBytes(2)) {
      LogIfError(kNotificationHeaderTimeout);
      return 0;
    }
    stream->read(reinterpret_cast<char*>(header), 2);
    if (!stream->good()) return 0;
    const uint8_t length = header[1];
    if (length == 0) continue;
    if (!WaitForBytes(length)) {
      LogIfError(kNotificationPayloadTimeout);
      return 0;
    }
    stream->read(reinterpret_cast<char*>(rx), length);
    if (!stream->good()) return 0;
  }
}

uint32_t Device::ReadPayload(size_t n) {
  if (stream == nullptr || n > kBufferSize) return 0;
  if (!WaitForBytes(n)) {
    LogIfError(kPayloadTimeout);
    return 0;
  }
  stream->read(reinterpret_cast<char*>(rx_buffer.get()), static_cast<std::streamsize>(n));
  if (stream->good()) return static_cast<uint32_t>(stream->gcount());
  if (!stream->eof()) {
    const int32_t code = Platform::LastError();
    if (code != 0) LogError(kPayloadReadFailed.file, kPayloadReadFailed.line, code, kPayloadReadFailed.message, n);
  }
  return 0;
}

}  // namespace Velkor::HardwareAPI::Devices
