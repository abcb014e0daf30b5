#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

// The COM ports scripts/test-windows.sh maps onto Linux pseudo-terminals before
// it starts the tests under Wine.
namespace VelkorWindowsTest {

inline std::string PortFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

// An arm simulator answering on the line.
inline std::string ArmPort() { return PortFromEnvironment("VELKOR_TEST_ARM_PORT"); }
// Takes what is written, never answers.
inline std::string SilentPort() { return PortFromEnvironment("VELKOR_TEST_SILENT_PORT"); }
// Hangs up as soon as anything is written to it.
inline std::string HangupPort() { return PortFromEnvironment("VELKOR_TEST_HANGUP_PORT"); }
// Never reads: writes stall once the line's buffer is full.
inline std::string DeafPort() { return PortFromEnvironment("VELKOR_TEST_DEAF_PORT"); }
// Sends back what it is sent in two pieces: [N, HEAD, PAUSE, N bytes] gives
// the first HEAD bytes at once and the rest PAUSE x 10 ms later.
inline std::string EchoPort() { return PortFromEnvironment("VELKOR_TEST_ECHO_PORT"); }
// A COM name that Wine maps onto something that is no serial line (/dev/null).
inline std::string NotSerialPort() { return PortFromEnvironment("VELKOR_TEST_NOT_SERIAL_PORT"); }

// The hang-up line is offered again under the same name once the far side has
// made a fresh one, which takes it a moment after the previous test.
inline std::unique_ptr<Velkor::HardwareAPI::IO::SerialStream> OpenWhenOffered(const std::string& port) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto stream = std::make_unique<Velkor::HardwareAPI::IO::SerialStream>(port.c_str(), false);
    if (stream->Open() == 1 || std::chrono::steady_clock::now() > give_up) return stream;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace VelkorWindowsTest

#define VELKOR_REQUIRE_PORT(name)                                                        \
  do {                                                                                   \
    if ((name).empty()) GTEST_SKIP() << "no mapped COM port: run scripts/test-windows.sh"; \
  } while (0)
