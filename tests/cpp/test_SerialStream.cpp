#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/PortLock.hpp"
#include "support/PtyEmulator.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::LastError;
using Velkor::HardwareAPI::Platform::SetLastError;
using VelkorTest::PtyEmulator;

TEST(ErrorLines, LineFormAndUnknownText) {
  testing::internal::CaptureStderr();
  Velkor::HardwareAPI::LogError("Library/src/SerialStream", 53, 5, "unable to write '%zu' bytes to stream", size_t{13});
  Velkor::HardwareAPI::LogError("Library/src/Device", 78, 987654, "timeout waiting for header code");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[err] Library/src/SerialStream:53> unable to write '13' bytes to stream: [5] Input/output error\n"
            "[err] Library/src/Device:78> timeout waiting for header code: [987654] unknown\n");
  EXPECT_EQ(Velkor::HardwareAPI::SystemErrorMessage(2), L"No such file or directory");
}

TEST(SerialStream, MissingPortGivesTwoLinesWithTheOpenError) {
  SetLastError(0);
  testing::internal::CaptureStderr();
  SerialStream stream("/dev/velkor-missing", true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[err] Library/src/SerialStream:39> unable to open port '/dev/velkor-missing': [2] No such file or directory\n"
            "[err] Library/src/SerialStream:18> unable to open stream '/dev/velkor-missing': [2] No such file or directory\n");
  EXPECT_EQ(stream.Available(), 0);
  EXPECT_FALSE(stream.IsOpen());
  stream.Close();
  stream.Close();
  EXPECT_EQ(stream.Available(), 0);
}

TEST(SerialStream, UnopenedStreamIsBadUntilOpened) {
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), false);
  EXPECT_TRUE(stream.bad());
  EXPECT_EQ(stream.Open(), 1);
  EXPECT_TRUE(stream.good());
}

TEST(SerialStream, AvailableCountsQueuedBytesAndCloseStopsIt) {
  PtyEmulator device;
  SetLastError(0);
  testing::internal::CaptureStderr();
  SerialStream stream(device.SlavePath().c_str(), true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a pty's missing modem lines are no failure";
  EXPECT_EQ(LastError(), 0);
  device.Send({1, 2, 3, 4, 5});
  for (int i = 0; i < 200 && stream.Available() < 5; ++i) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(stream.Available(), 5);
  stream.Close();
  EXPECT_EQ(stream.Available(), 0);
  stream.Close();
  char c;
  stream.read(&c, 1);
  EXPECT_FALSE(stream.good());
}

TEST(SerialStream, ShortReadFailsEveryLaterReadWithoutTouchingThePort) {
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), true);
  device.Send({9, 8});
  char buffer[4];
  stream.read(buffer, 4);  // two arrive, then the gap time-out
  EXPECT_TRUE(stream.eof());
  EXPECT_TRUE(stream.fail());
  device.Send({7});
  for (int i = 0; i < 200 && stream.Available() < 1; ++i) std::this_thread::sleep_for(milliseconds(5));
  stream.read(buffer, 1);
  EXPECT_EQ(stream.gcount(), 0);
  EXPECT_EQ(stream.Available(), 1) << "the byte stays queued";
}

TEST(SerialStream, FailedWriteLogsAndLaterReadsFailWithoutTouchingThePort) {
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), true);
  device.HangUp();
  SetLastError(0);
  const uint8_t request[13] = {0x2A};
  testing::internal::CaptureStderr();
  stream.Write(request, 13);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(stream.bad());
  EXPECT_EQ(lines.rfind("[err] Library/src/SerialStream:53> unable to write '13' bytes to stream: [", 0), 0u) << lines;

  char buffer[1];
  const auto start = steady_clock::now();
  stream.read(buffer, 1);
  EXPECT_EQ(stream.gcount(), 0);
  EXPECT_LT(duration<double>(steady_clock::now() - start).count(), 0.5) << "no read reached the port";
}

TEST(SerialStream, ZeroByteWriteChangesNothing) {
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), true);
  testing::internal::CaptureStderr();
  stream.Write("", 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(stream.good());
}

TEST(SerialStream, AForkedChildClosingItsCopyLeavesThePortLockedForItsParent) {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  ASSERT_TRUE(stream.IsOpen());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    stream.Close();
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  {
    Velkor::HardwareAPI::ScopedLogQuiet quiet;
    SerialStream other{device.SlavePath().c_str(), true};
    EXPECT_FALSE(other.IsOpen()) << "another opener got the port while its owner still had it open";
  }
  stream.Close();
  SerialStream after{device.SlavePath().c_str(), true};
  EXPECT_TRUE(after.IsOpen()) << "the port is free once its owner closed it";
}

TEST(SerialStream, ItsPortLockIsKnownAsThisProcesssOnlyWhileOpen) {
  using Velkor::HardwareAPI::Platform::PortLockedByThisProcess;
  PtyEmulator device;
  EXPECT_FALSE(PortLockedByThisProcess(device.SlavePath()));
  SerialStream stream(device.SlavePath().c_str(), true);
  ASSERT_TRUE(stream.good());
  EXPECT_TRUE(PortLockedByThisProcess(device.SlavePath()));
  stream.Close();
  EXPECT_FALSE(PortLockedByThisProcess(device.SlavePath()));
  EXPECT_FALSE(PortLockedByThisProcess("/dev/velkor-missing"));
}
