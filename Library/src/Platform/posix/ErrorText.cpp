#include "Platform/ErrorText.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Velkor::HardwareAPI::Platform {

namespace {

thread_local int32_t last_error = 0;

// strerror_r comes in two variants; overloading on the result type picks the
// right reading for whichever one the C library declares.
[[maybe_unused]] const char* ResultText(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ResultText(const char* result, const char*) { return result; }

bool IsUnknownText(const char* text) {
  return text == nullptr || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0;
}

}  // namespace

int32_t LastError() { return last_error; }
void SetLastError(int32_t code) { last_error = code; }
int32_t TimedOutErrorCode() { return ETIMEDOUT; }

std::wstring ErrorText(int32_t code) {
  char buffer[256] = {};
  const char* text = ResultText(strerror_r(code, buffer, sizeof buffer), buffer);
  if (IsUnknownText(text)) return {};
  // The C library's texts are ASCII.
  std::wstring wide;
  for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  return wide;
}

}  // namespace Velkor::HardwareAPI::Platform
