#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/IO/serialib.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/PortPath.hpp"
#include "support/PtyEmulator.hpp"

using Velkor::HardwareAPI::Devices::Triple;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::LastError;
using Velkor::HardwareAPI::Platform::PortPath;
using Velkor::HardwareAPI::Platform::SetLastError;
using VelkorTest::PtyEmulator;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// A scratch directory holding one node of each kind that is not a terminal.
class NonTerminals {
 public:
  NonTerminals() {
    char pattern[] = "/tmp/velkor-port-checks-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::ofstream(File()) << "keep me";
    ::mkdir(Dir().c_str(), 0700);
    ::mkfifo(Fifo().c_str(), 0600);
    ::symlink(File().c_str(), Link().c_str());
    socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Socket().c_str());
    ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  ~NonTerminals() {
    ::close(socket_);
    for (const std::string& path : {File(), Fifo(), Link(), Socket()}) std::remove(path.c_str());
    ::rmdir(Dir().c_str());
    ::rmdir(dir_.c_str());
  }

  std::string File() const { return dir_ + "/file"; }
  std::string Dir() const { return dir_ + "/dir"; }
  std::string Fifo() const { return dir_ + "/fifo"; }
  std::string Link() const { return dir_ + "/link-to-file"; }
  std::string Socket() const { return dir_ + "/socket"; }

 private:
  std::string dir_;
  int socket_ = -1;
};

}  // namespace

TEST(PortChecks, PortNamesResolveUnderDevUnlessAbsolute) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"ttyS0", "/dev/ttyS0"},
      {"pts/3", "/dev/pts/3"},
      {"serial/by-id/usb-x", "/dev/serial/by-id/usb-x"},
      {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"/tmp/some_file", "/tmp/some_file"},
  };
  for (const auto& c : cases) EXPECT_EQ(PortPath(c.name), c.path) << c.name;

  PtyEmulator device;
  const std::string& slave = device.SlavePath();
  ASSERT_EQ(slave.rfind("/dev/", 0), 0u);
  serialib port;
  EXPECT_EQ(port.Open(slave.substr(5).c_str()), 1) << "a pts name relative to /dev opens the terminal";
  EXPECT_TRUE(port.IsOpen());
}

TEST(PortChecks, AnythingButATerminalFailsWithMinusThreeAndStaysClosed) {
  NonTerminals nodes;
  const struct {
    const char* kind;
    std::string path;
  } cases[] = {
      {"regular file", nodes.File()},
      {"symlink to a file", nodes.Link()},
      {"directory", nodes.Dir()},
      {"fifo", nodes.Fifo()},
      {"socket", nodes.Socket()},
      {"character device that is not a terminal", "/dev/null"},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    serialib port;
    EXPECT_EQ(port.Open(c.path.c_str()), -3) << c.kind;
    EXPECT_NE(LastError(), 0) << c.kind;
    EXPECT_FALSE(port.IsOpen()) << c.kind;
    EXPECT_EQ(port.sputn("overwrite", 9), 0) << c.kind;
  }
  EXPECT_EQ(ReadFile(nodes.File()), "keep me");
}

TEST(PortChecks, StreamOnAFileLogsBothLinesAndNeverWritesToIt) {
  NonTerminals nodes;
  const std::string file = nodes.File();
  SetLastError(0);
  testing::internal::CaptureStderr();
  SerialStream stream(file.c_str(), true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[err] Library/src/SerialStream:39> unable to open port '" + file +
                "': [25] Inappropriate ioctl for device\n"
                "[err] Library/src/SerialStream:18> unable to open stream '" + file +
                "': [25] Inappropriate ioctl for device\n");
  EXPECT_FALSE(stream.IsOpen());

  testing::internal::CaptureStderr();
  {
    Vorlan3 arm(&stream, 0.2f);
    const auto state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, Triple{1, 2, 3});
    EXPECT_EQ(state.first, (Triple{0, 0, 0}));
    const uint8_t raw[] = {'r', 'a', 'w'};
    EXPECT_FALSE(arm.SendRaw(raw, sizeof raw));
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadFile(file), "keep me");
}

TEST(PortChecks, FifoReaderSeesNoWriterAndNoBytes) {
  NonTerminals nodes;
  const int reader = ::open(nodes.Fifo().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  testing::internal::CaptureStderr();
  SerialStream stream(nodes.Fifo().c_str(), true);
  stream.Write("abc", 3);
  testing::internal::GetCapturedStderr();
  char buffer[8];
  // With no writer ever attached a non-blocking read reports end of file.
  EXPECT_EQ(::read(reader, buffer, sizeof buffer), 0);
  ::close(reader);
}
