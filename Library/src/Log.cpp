#include "Velkor/HardwareAPI/Log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "Platform/ErrorText.hpp"
#include "Platform/StandardError.hpp"

namespace Velkor::HardwareAPI {

std::wstring SystemErrorMessage(int32_t code) {
  std::wstring text = Platform::ErrorText(code);
  if (text.empty()) return L"unknown";
  return text;
}

std::wstring SystemErrorText(int32_t code) {
  std::wstring text = SystemErrorMessage(code);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

namespace {

// The wide text as UTF-8, so the line prints the same whatever the C locale is.
void AppendUtf8(std::string& out, const std::wstring& text) {
  for (wchar_t wc : text) {
    auto c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

std::mutex sink_mutex;
LogSink sink_function = nullptr;
void* sink_context = nullptr;
std::atomic<bool> sink_installed{false};
thread_local int quiet_depth = 0;

}  // namespace

ScopedLogQuiet::ScopedLogQuiet() { ++quiet_depth; }

ScopedLogQuiet::~ScopedLogQuiet() { --quiet_depth; }

void SetLogSink(LogSink sink, void* context) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  sink_function = sink;
  sink_context = context;
  sink_installed.store(sink != nullptr, std::memory_order_release);
}

void LogError(const char* file, unsigned line, int32_t code, const char* message_format, ...) {
  if (quiet_depth > 0) return;
  char message[512];
  va_list args;
  va_start(args, message_format);
  std::vsnprintf(message, sizeof message, message_format, args);
  va_end(args);

  char head[640];
  // Code -1: no system error is behind the line, and it names none.
  if (code != kNoSystemError) {
    std::snprintf(head, sizeof head, "[err] %s:%u> %s: [%d] ", file, line, message, code);
  } else {
    std::snprintf(head, sizeof head, "[err] %s:%u> %s", file, line, message);
  }
  std::string out(head);
  if (code != kNoSystemError) AppendUtf8(out, SystemErrorMessage(code));
  if (sink_installed.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    if (sink_function != nullptr) {
      sink_function(out.data(), out.size(), sink_context);
      return;
    }
  }
  out.push_back('\n');
  Platform::WriteStandardError(out.data(), out.size());
}

void WriteErrorLine(const char* line, size_t length) {
  std::string out(line, length);
  out.push_back('\n');
  Platform::WriteStandardError(out.data(), out.size());
}

}  // namespace Velkor::HardwareAPI
