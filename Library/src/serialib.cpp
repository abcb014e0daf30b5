#include "Velkor/HardwareAPI/IO/serialib.hpp"

namespace Platform = Velkor::HardwareAPI::Platform;

namespace {

// Every read re-applies the whole record with this total constant.
constexpr uint32_t kReadTotalConstantMs = 1000;
constexpr Platform::PortTimeouts kOpenTimeouts{1000, 8, 8, 8, 8};

}  // namespace

serialib::serialib() : port_(Platform::MakePortDriver()) {}

serialib::~serialib() {
  if (port_ && port_->IsOpen()) port_->Close();
}

int8_t serialib::Open(const char* name) {
  const int opened = port_->Open(name);
  if (opened != 1) return static_cast<int8_t>(opened);
  const int configured = port_->Configure();
  if (configured != 0) return static_cast<int8_t>(configured);
  timeouts_ = kOpenTimeouts;
  if (!port_->SetTimeouts(timeouts_)) return -6;
  return 1;
}

long serialib::ReadBytes(void* buffer, size_t n) {
  timeouts_.read_total_constant = kReadTotalConstantMs;
  if (!port_->SetTimeouts(timeouts_)) return -1;
  const long r = port_->Read(buffer, n);
  return r < 0 ? -2 : r;
}

bool serialib::IsOpen() const { return port_ && port_->IsOpen(); }

void serialib::Close() {
  if (IsOpen()) port_->Close();
}

long serialib::Waiting() {
  if (!IsOpen()) return 0;
  const long queued = port_->BytesWaiting();
  if (queued < 0) return -1;
  return queued + (has_lookahead_ ? 1 : 0);
}

Platform::WaitResult serialib::WaitReadable(int64_t timeout_ns) {
  if (!IsOpen()) return Platform::WaitResult::Gone;
  if (has_lookahead_) return Platform::WaitResult::Readable;
  return port_->WaitReadable(timeout_ns);
}

bool serialib::AssertDtr() { return IsOpen() && port_->AssertDtr(); }

serialib::int_type serialib::overflow(int_type c) {
  if (!IsOpen() || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
  const char byte = traits_type::to_char_type(c);
  return port_->Write(&byte, 1) == 1 ? c : traits_type::eof();
}

serialib::int_type serialib::pbackfail(int_type c) {
  if (has_lookahead_ || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
  lookahead_ = static_cast<uint8_t>(traits_type::to_char_type(c));
  has_lookahead_ = true;
  return c;
}

std::streamsize serialib::showmanyc() {
  if (!IsOpen()) return 0;
  if (has_lookahead_) return 1;
  if (ReadBytes(&lookahead_, 1) == 1) {
    has_lookahead_ = true;
    return 1;
  }
  return 0;
}

serialib::int_type serialib::underflow() {
  if (!IsOpen()) return traits_type::eof();
  if (has_lookahead_) return traits_type::to_int_type(static_cast<char>(lookahead_));
  if (ReadBytes(&lookahead_, 1) != 1) return traits_type::eof();
  has_lookahead_ = true;
  return traits_type::to_int_type(static_cast<char>(lookahead_));
}

serialib::int_type serialib::uflow() {
  const int_type c = underflow();
  has_lookahead_ = false;
  return c;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
  if (!IsOpen() || n <= 0) return 0;
  if (has_lookahead_) {
    s[0] = static_cast<char>(lookahead_);
    has_lookahead_ = false;
    if (n == 1) return 1;
    const long r = ReadBytes(s + 1, static_cast<size_t>(n - 1));
    // The look-ahead byte was delivered even when the read after it failed.
    return r >= 0 ? r + 1 : 1;
  }
  const long r = ReadBytes(s, static_cast<size_t>(n));
  return r > 0 ? r : 0;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
  if (!IsOpen() || n <= 0) return 0;
  // A write cut short by its time-out reports the count that went out, so the
  // stream above sees the loss instead of a success.
  const long r = port_->Write(s, static_cast<size_t>(n));
  return r > 0 ? r : 0;
}

std::basic_streambuf<char>* serialib::setbuf(char_type*, std::streamsize) { return this; }
