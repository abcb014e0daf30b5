#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/Process.hpp"

namespace Velkor::HardwareAPI::IO {

namespace {

constexpr const char* kFile = "Library/src/SerialStream";
constexpr LogSite kOpenStreamFailed{kFile, 18, "unable to open stream '%s'"};
constexpr LogSite kOpenPortFailed{kFile, 39, "unable to open port '%s'"};
constexpr LogSite kWriteFailed{kFile, 53, "unable to write '%zu' bytes to stream"};

}  // namespace

SerialStream::SerialStream(const char* name, bool open_now)
    : std::basic_iostream<char>(nullptr), port_name_(name != nullptr ? name : "") {
  if (!open_now) return;
  if (Open() < 0) {
    const int32_t code = Platform::LastError();
    if (code != 0) LogError(kOpenStreamFailed.file, kOpenStreamFailed.line, code, kOpenStreamFailed.message, port_name_.c_str());
  }
}

SerialStream::~SerialStream() {
  lease_.Revoke();
  if (port_) port_->Close();
  rdbuf(nullptr);
}

int8_t SerialStream::Open() {
  lease_.Revoke();
  auto fresh = std::make_unique<serialib>();
  fresh->Guard(&lease_);
  rdbuf(fresh.get());
  port_ = std::move(fresh);
  opened_by_ = Platform::CurrentProcess();
  int8_t code = -1;
  try {
    code = port_->Open(port_name_.c_str());
  } catch (...) {
    code = -1;
  }
  // Only a port that opened has a line to assert.
  if (port_->IsOpen()) port_->AssertDtr();
  if (code >= 0) return code;
  const int32_t error = Platform::LastError();
  if (error != 0) LogError(kOpenPortFailed.file, kOpenPortFailed.line, error, kOpenPortFailed.message, port_name_.c_str());
  return code;
}

int8_t SerialStream::Reopen() {
  lease_.Revoke();
  Close();
  clear();
  return Open();
}

int8_t SerialStream::ReopenAt(const char* name) {
  lease_.Revoke();
  port_name_ = name != nullptr ? name : "";
  return Reopen();
}

void SerialStream::Close() {
  lease_.Revoke();
  if (port_ && port_->IsOpen()) port_->Close();
}

bool SerialStream::IsOpen() const { return port_ && port_->IsOpen(); }

PortFault SerialStream::LastFault() const { return port_ ? port_->LastFault() : PortFault::Gone; }

int32_t SerialStream::Available() {
  if (!IsOpen() || !lease_.Admits()) return 0;
  const long queued = port_->Waiting();
  return queued > 0 ? static_cast<int32_t>(queued) : 0;
}

void SerialStream::Write(const void* data, size_t n) {
  if (n == 0 || !lease_.Admits()) return;
  bool quiet = false;
  if (!good()) {
    setstate(std::ios_base::badbit);
  } else {
    write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    quiet = LastFault() == PortFault::Interrupted;
    // Where the platform's own timed write reports a cut-short write as a
    // success (Windows), it gets no line either, whatever code is left over.
    quiet = quiet || (LastFault() == PortFault::TimedOut && Platform::TimedOutErrorCode() == 0);
  }
  if (good() || eof() || quiet) return;
  const int32_t code = Platform::LastError();
  if (code != 0) LogError(kWriteFailed.file, kWriteFailed.line, code, kWriteFailed.message, n);
}

Platform::WaitResult SerialStream::WaitReadable(std::chrono::nanoseconds timeout) {
  if (!IsOpen() || !lease_.Admits()) return Platform::WaitResult::Gone;
  return port_->WaitReadable(timeout.count());
}

Platform::WaitResult SerialStream::WaitForMore(int32_t queued_now, std::chrono::nanoseconds timeout) {
  if (!IsOpen() || !lease_.Admits()) return Platform::WaitResult::Gone;
  return port_->WaitForMore(queued_now, timeout.count());
}

}  // namespace Velkor::HardwareAPI::IO
