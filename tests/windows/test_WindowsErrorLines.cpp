#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "WindowsPorts.hpp"

using Velkor::HardwareAPI::LogError;
using Velkor::HardwareAPI::SystemErrorMessage;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::LastError;
using Velkor::HardwareAPI::Platform::SetLastError;
using namespace VelkorWindowsTest;

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out;
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
  out.resize(static_cast<size_t>(n));
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// Points the process's standard-error handle at a pipe for its lifetime, as a
// parent process (or Python's output capture) does.
class CapturedStandardError {
 public:
  CapturedStandardError() : saved_(::GetStdHandle(STD_ERROR_HANDLE)) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!::CreatePipe(&read_, &write_, &inherit, 1 << 16)) throw std::runtime_error("CreatePipe");
    ::SetStdHandle(STD_ERROR_HANDLE, write_);
  }
  ~CapturedStandardError() {
    ::SetStdHandle(STD_ERROR_HANDLE, saved_);
    if (write_ != nullptr) ::CloseHandle(write_);
    ::CloseHandle(read_);
  }
  std::string Take() {
    ::SetStdHandle(STD_ERROR_HANDLE, saved_);
    ::CloseHandle(write_);
    write_ = nullptr;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
  }

 private:
  HANDLE saved_;
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
};

struct Lines {
  std::string text;
  static void Sink(const char* line, size_t length, void* context) {
    auto* self = static_cast<Lines*>(context);
    self->text.append(line, length);
    self->text.push_back('\n');
  }
};

}  // namespace

TEST(WindowsErrorLines, SystemTextComesFromTheSystemAndKeepsTheLastError) {
  const struct {
    int32_t code;
    bool has_text;
  } cases[] = {{ERROR_FILE_NOT_FOUND, true}, {ERROR_ACCESS_DENIED, true}, {ERROR_NOT_READY, true},
               {0x7FFFFF00, false}};
  for (const auto& c : cases) {
    SetLastError(1234);
    const std::wstring text = SystemErrorMessage(c.code);
    EXPECT_EQ(LastError(), 1234) << "asking for a text replaced the code a later line prints";
    if (c.has_text) {
      EXPECT_NE(text, L"unknown") << c.code;
      ASSERT_GE(text.size(), 2u) << c.code;
      EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << "the system's own line end stays in the text";
    } else {
      EXPECT_EQ(text, L"unknown") << c.code;
    }
  }
}

TEST(WindowsErrorLines, MissingPortPrintsBothLinesOnTheStandardErrorHandle) {
  CapturedStandardError captured;
  SetLastError(0);
  { SerialStream stream("COM199", true); }
  const std::string text = captured.Take();
  const std::string system_text = Utf8(SystemErrorMessage(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(text, "[err] Library/src/SerialStream:39> unable to open port 'COM199': [2] " + system_text + "\n" +
                      "[err] Library/src/SerialStream:18> unable to open stream 'COM199': [2] " + system_text + "\n");
}

TEST(WindowsErrorLines, FailedWriteOnAHungUpLineNamesItsByteCountAndTheCode) {
  VELKOR_REQUIRE_PORT(HangupPort());
  const auto opened = OpenWhenOffered(HangupPort());
  SerialStream& stream = *opened;
  ASSERT_TRUE(stream.IsOpen());
  const char wake = 0x0A;
  stream.Write(&wake, 1);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (stream.WaitReadable(std::chrono::milliseconds(100)) != Velkor::HardwareAPI::Platform::WaitResult::Gone &&
         std::chrono::steady_clock::now() < give_up) {
  }
  Lines lines;
  Velkor::HardwareAPI::SetLogSink(&Lines::Sink, &lines);
  const char request[13] = {0x2A};
  stream.Write(request, sizeof request);
  Velkor::HardwareAPI::SetLogSink(nullptr, nullptr);
  const int32_t code = LastError();
  ASSERT_NE(code, 0);
  EXPECT_EQ(lines.text, "[err] Library/src/SerialStream:53> unable to write '13' bytes to stream: [" +
                            std::to_string(code) + "] " + Utf8(SystemErrorMessage(code)) + "\n");
}

TEST(WindowsErrorLines, FormatsSizesWithTheC99Conversions) {
  Lines lines;
  Velkor::HardwareAPI::SetLogSink(&Lines::Sink, &lines);
  LogError("Library/src/Device", 163, ERROR_FILE_NOT_FOUND, "unable to read '%zu' bytes from stream",
           static_cast<size_t>(1024));
  Velkor::HardwareAPI::SetLogSink(nullptr, nullptr);
  EXPECT_EQ(lines.text.rfind("[err] Library/src/Device:163> unable to read '1024' bytes from stream: [2] ", 0), 0u)
      << lines.text;
}
