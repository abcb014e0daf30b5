#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/IO/serialib.hpp"
#include "WindowsPorts.hpp"
#include "support/PieceWaits.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::IO::SerialStream;
using namespace VelkorWindowsTest;

namespace {

constexpr uint8_t kHangUp = 255;

class ProbePort : public serialib {
 public:
  using serialib::xsgetn;
  using serialib::xsputn;
};

// Asks the echo line to send `reply` back: `head` bytes at once, the rest
// after `pause` (or a hang-up instead of the rest).
std::vector<char> EchoRequest(const std::vector<uint8_t>& reply, size_t head, uint8_t pause_tens_of_ms) {
  std::vector<char> request(3 + reply.size());
  request[0] = static_cast<char>(reply.size());
  request[1] = static_cast<char>(head);
  request[2] = static_cast<char>(pause_tens_of_ms);
  for (size_t i = 0; i < reply.size(); ++i) request[3 + i] = static_cast<char>(reply[i]);
  return request;
}

// The port's line settings as the next opener finds them.
bool ReadLineSettings(const std::string& port, DCB& dcb) {
  const std::string path = "\\\\.\\" + port;
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  dcb = DCB{};
  dcb.DCBlength = sizeof dcb;
  const bool ok = ::GetCommState(handle, &dcb) != 0;
  ::CloseHandle(handle);
  return ok;
}

// Leaves the port as a program using software and hardware flow control would.
bool PresetFlowControl(const std::string& port) {
  const std::string path = "\\\\.\\" + port;
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  bool ok = ::GetCommState(handle, &dcb) != 0;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.fNull = TRUE;
  dcb.fAbortOnError = TRUE;
  ok = ok && ::SetCommState(handle, &dcb) != 0;
  ::CloseHandle(handle);
  return ok;
}

// Leaves the port at another speed and byte format, as a program talking to a
// slower device would.
bool PresetSpeedAndFormat(const std::string& port, DWORD baud, BYTE stop_bits) {
  const std::string path = "\\\\.\\" + port;
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  bool ok = ::GetCommState(handle, &dcb) != 0;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = stop_bits;
  ok = ok && ::SetCommState(handle, &dcb) != 0;
  ::CloseHandle(handle);
  return ok;
}

// The line's speed and format as the far side sees them, asked through a stream that holds the port.
std::string LineSettingsSeenByTheDevice(SerialStream& stream) {
  const std::vector<char> request = EchoRequest({}, 0, 254);
  stream.Write(request.data(), request.size());
  char text[16] = {};
  stream.read(text, sizeof text);
  std::string settings(text, static_cast<size_t>(stream.gcount()));
  while (!settings.empty() && settings.back() == ' ') settings.pop_back();
  return settings;
}

}  // namespace

TEST(WindowsLine, TheLineRuns115200With8N1WhileTheLibraryHoldsItWhateverItWasLeftAt) {
  VELKOR_REQUIRE_PORT(EchoPort());
  const struct {
    DWORD baud;
    BYTE stop_bits;
    const char* preset;
  } presets[] = {{CBR_9600, TWOSTOPBITS, "9600 8N2"}, {CBR_57600, ONESTOPBIT, "57600 8N1"}};
  for (const auto& preset : presets) {
    SCOPED_TRACE(preset.preset);
    ASSERT_TRUE(PresetSpeedAndFormat(EchoPort(), preset.baud, preset.stop_bits));
    DCB before{};
    ASSERT_TRUE(ReadLineSettings(EchoPort(), before));
    ASSERT_EQ(before.BaudRate, preset.baud) << "the line did not keep its preset, so this test would prove nothing";
    ASSERT_EQ(before.StopBits, preset.stop_bits);

    SerialStream stream(EchoPort().c_str(), true);
    ASSERT_TRUE(stream.IsOpen());
    EXPECT_EQ(LineSettingsSeenByTheDevice(stream), "115200 8N1");
  }
}

TEST(WindowsLine, AReplyArrivingInPiecesIsAwaitedOnThePortNotBySleepingAndAskingAgain) {
  VELKOR_REQUIRE_PORT(EchoPort());
  VelkorTest::PiecewiseLine line;
  line.open = [] { return EchoPort(); };
  line.send_in_pieces = [](SerialStream& stream, const std::vector<uint8_t>& reply, size_t head,
                           milliseconds pause) {
    const std::vector<char> request = EchoRequest(reply, head, static_cast<uint8_t>(pause.count() / 10));
    stream.Write(request.data(), request.size());
  };
  VelkorTest::ExpectPieceWaitsBlockOnThePort(line);
}

TEST(WindowsLine, APortLeftWithFlowControlCarriesEveryByteValue) {
  VELKOR_REQUIRE_PORT(EchoPort());
  ASSERT_TRUE(PresetFlowControl(EchoPort()));
  DCB before{};
  ASSERT_TRUE(ReadLineSettings(EchoPort(), before));
  ASSERT_TRUE(before.fOutX && before.fInX) << "the line did not keep XON/XOFF, so this test would prove nothing";

  {
    SerialStream stream(EchoPort().c_str(), true);
    ASSERT_TRUE(stream.IsOpen());
    // XON, XOFF, NUL and the bytes around them, as a binary reply carries them.
    const std::vector<uint8_t> reply{0x11, 0x13, 0x00, 0x10, 0x12, 0x14, 0xFF, 0x13, 0x11, 0x00};
    const std::vector<char> request = EchoRequest(reply, reply.size(), 0);
    stream.Write(request.data(), request.size());
    ASSERT_TRUE(stream.good());
    std::vector<char> got(reply.size());
    stream.read(got.data(), static_cast<std::streamsize>(got.size()));
    ASSERT_EQ(stream.gcount(), static_cast<std::streamsize>(reply.size()));
    EXPECT_EQ(std::memcmp(got.data(), reply.data(), reply.size()), 0);
    // A write holding XOFF must not stop the host's own output either.
    const std::vector<char> again = EchoRequest({0x13, 0x42}, 2, 0);
    stream.Write(again.data(), again.size());
    char two[2] = {};
    stream.read(two, 2);
    EXPECT_EQ(stream.gcount(), 2);
    EXPECT_EQ(two[1], 0x42);
  }

  DCB after{};
  ASSERT_TRUE(ReadLineSettings(EchoPort(), after));
  EXPECT_FALSE(after.fOutX);
  EXPECT_FALSE(after.fInX);
  EXPECT_FALSE(after.fOutxCtsFlow);
  EXPECT_FALSE(after.fOutxDsrFlow);
  EXPECT_NE(after.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_NE(after.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
}

TEST(WindowsLine, AShortReadThatMeetsAHangUpReturnsTheBytesThatCame) {
  VELKOR_REQUIRE_PORT(EchoPort());
  ProbePort port;
  ASSERT_EQ(port.Open(EchoPort().c_str()), 1);
  const std::vector<char> request = EchoRequest({'a', 'b', 'c', 'd', 'e'}, 2, kHangUp);
  ASSERT_EQ(port.xsputn(request.data(), static_cast<std::streamsize>(request.size())),
            static_cast<std::streamsize>(request.size()));
  // The read asks for five, gets two, and meets the hang-up while it waits
  // for the rest: the two are the caller's all the same.
  char got[5] = {};
  EXPECT_EQ(port.xsgetn(got, 5), 2);
  EXPECT_EQ(std::string(got, 2), "ab");
}
