#include <windows.h>

#include <string>

#include "Platform/ErrorText.hpp"
#include "Platform/StandardError.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Velkor::HardwareAPI::Platform {

namespace {

constexpr DWORD kMessageCapacity = 256;

std::wstring Utf8ToWide(const char* text, size_t size) {
  if (size == 0) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide.data(), n);
  return wide;
}

}  // namespace

int32_t LastError() { return static_cast<int32_t>(::GetLastError()); }
void SetLastError(int32_t code) { ::SetLastError(static_cast<DWORD>(code)); }
int32_t TimedOutErrorCode() { return 0; }

std::wstring ErrorText(int32_t code) {
  // The line that prints this text may be followed by another that reads the
  // same code, so asking for the text must not replace it.
  const DWORD saved = ::GetLastError();
  wchar_t buffer[kMessageCapacity] = {};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   buffer, kMessageCapacity, nullptr);
  ::SetLastError(saved);
  return std::wstring(buffer, n);
}

// The C runtime's stderr belongs to whichever runtime this library was linked
// with; the process's standard-error handle is the one every runtime and the
// interpreter share, also after a test harness redirects it.
void WriteStandardError(const char* text, size_t size) {
  const DWORD saved = ::GetLastError();
  const HANDLE out = ::GetStdHandle(STD_ERROR_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
      const std::wstring wide = Utf8ToWide(text, size);
      DWORD written = 0;
      ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
      DWORD written = 0;
      ::WriteFile(out, text, static_cast<DWORD>(size), &written, nullptr);
    }
  }
  ::SetLastError(saved);
}

}  // namespace Velkor::HardwareAPI::Platform
