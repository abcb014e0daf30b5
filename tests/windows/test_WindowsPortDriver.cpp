#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/IO/serialib.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "WindowsPorts.hpp"
#include "support/Interruption.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::Devices::Outcome;
using Velkor::HardwareAPI::Devices::DeviceInfo;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::LastError;
using Velkor::HardwareAPI::Platform::SetLastError;
using Velkor::HardwareAPI::Platform::WaitResult;
using namespace VelkorWindowsTest;
using VelkorTest::InterruptAfter;

namespace {

class ProbePort : public serialib {
 public:
  using serialib::xsgetn;
  using serialib::xsputn;
};

double MillisecondsSince(steady_clock::time_point start) {
  return duration<double, std::milli>(steady_clock::now() - start).count();
}

}  // namespace

TEST(WindowsPortDriver, OpenCodesForMissingAndNonSerialDevices) {
  VELKOR_REQUIRE_PORT(NotSerialPort());
  SetLastError(0);
  ProbePort missing;
  EXPECT_EQ(missing.Open("COM199"), -1);
  EXPECT_EQ(LastError(), static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.IsOpen());
  char byte = 'x';
  EXPECT_EQ(missing.xsputn(&byte, 1), 0);

  ProbePort not_serial;
  EXPECT_EQ(not_serial.Open(NotSerialPort().c_str()), -3);
  EXPECT_NE(LastError(), 0);
  EXPECT_FALSE(not_serial.IsOpen()) << "a device that is no serial line is closed before anything is written";
  EXPECT_EQ(not_serial.xsputn(&byte, 1), 0);
}

TEST(WindowsPortDriver, APortNamedInTheDeviceNamespaceOpensAsGiven) {
  VELKOR_REQUIRE_PORT(SilentPort());
  // As device managers and other tools write names, also those of COM10 and above.
  for (const std::string& name : {"\\\\.\\" + SilentPort(), SilentPort()}) {
    SCOPED_TRACE(name);
    ProbePort port;
    EXPECT_EQ(port.Open(name.c_str()), 1);
    EXPECT_TRUE(port.IsOpen());
  }
  ProbePort missing;
  EXPECT_EQ(missing.Open("\\\\.\\COM199"), -1);
}

TEST(WindowsPortDriver, SilentReadEndsAfterTheConstantPlusPerByteLimit) {
  VELKOR_REQUIRE_PORT(SilentPort());
  ProbePort port;
  ASSERT_EQ(port.Open(SilentPort().c_str()), 1);
  for (size_t n : {1u, 25u, 100u}) {
    char buffer[100];
    const double expected_ms = 1000.0 + 8.0 * static_cast<double>(n);
    const auto start = steady_clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, n), 0) << n;
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, expected_ms - 50.0) << n;
    EXPECT_LT(elapsed, expected_ms + 3000.0) << n;
  }
}

TEST(WindowsPortDriver, WaitReadableTimesOutOnASilentLineWithoutConsumingAnything) {
  VELKOR_REQUIRE_PORT(SilentPort());
  ProbePort port;
  ASSERT_EQ(port.Open(SilentPort().c_str()), 1);
  for (int64_t wait_ms : {0, 1, 300}) {
    const auto start = steady_clock::now();
    EXPECT_EQ(port.WaitReadable(wait_ms * 1000000), WaitResult::TimedOut) << wait_ms;
    EXPECT_GE(MillisecondsSince(start), static_cast<double>(wait_ms) - 20.0) << wait_ms;
    EXPECT_EQ(port.Waiting(), 0);
  }
}

TEST(WindowsPortDriver, WaitReadableWakesOnTheReplyAndLosesNoByteOfIt) {
  VELKOR_REQUIRE_PORT(ArmPort());
  ProbePort port;
  ASSERT_EQ(port.Open(ArmPort().c_str()), 1);
  const char wakeup = static_cast<char>(Vorlan3::kWakeup);
  ASSERT_EQ(port.xsputn(&wakeup, 1), 1);
  ASSERT_EQ(port.WaitReadable(duration_cast<nanoseconds>(seconds(5)).count()), WaitResult::Readable);
  EXPECT_GE(port.Waiting(), 1);
  char reply[1 + Vorlan3::kDeviceInfoSize] = {};
  EXPECT_EQ(port.xsgetn(reply, sizeof reply), static_cast<std::streamsize>(sizeof reply));
  EXPECT_EQ(static_cast<uint8_t>(reply[0]), Vorlan3::kDeviceInfoReply);
  EXPECT_EQ(static_cast<uint8_t>(reply[3]), Vorlan3::kArmModelNumber);
  EXPECT_EQ(port.Waiting(), 0);
}

TEST(WindowsPortDriver, ArmWakeupAndForceExchangesLeaveNoErrorCode) {
  VELKOR_REQUIRE_PORT(ArmPort());
  SetLastError(0);
  SerialStream stream(ArmPort().c_str(), true);
  ASSERT_TRUE(stream.IsOpen());
  EXPECT_EQ(LastError(), 0) << "asserting DTR on a line without modem signals left an error code";
  Vorlan3 arm(&stream, 2.0f);
  arm.SendDeviceWakeup();
  DeviceInfo info;
  ASSERT_EQ(arm.ReceiveDeviceInfo(info), static_cast<int32_t>(Vorlan3::kDeviceInfoSize));
  EXPECT_EQ(info.device_model_number, Vorlan3::kArmModelNumber);
  for (int i = 0; i < 200; ++i) {
    const auto state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0.0f, 0.0f, 0.5f});
    ASSERT_TRUE(stream.good()) << "exchange " << i;
    ASSERT_TRUE(state.first[0] != 0.0f || state.first[1] != 0.0f || state.first[2] != 0.0f) << "exchange " << i;
  }
  EXPECT_EQ(stream.Available(), 0);
}

TEST(WindowsPortDriver, HungUpLineReadsAsGoneNotAsSilence) {
  VELKOR_REQUIRE_PORT(HangupPort());
  const auto opened = OpenWhenOffered(HangupPort());
  SerialStream& stream = *opened;
  ASSERT_TRUE(stream.IsOpen());
  const char byte = 0x0A;
  stream.Write(&byte, 1);
  // The far side hangs up when it sees the byte; the kernel and Wine pass that
  // on in their own time.
  const auto give_up = steady_clock::now() + seconds(10);
  WaitResult waited = WaitResult::TimedOut;
  while (waited != WaitResult::Gone && steady_clock::now() < give_up) {
    waited = stream.WaitReadable(milliseconds(100));
  }
  ASSERT_EQ(waited, WaitResult::Gone);
  EXPECT_NE(LastError(), 0);

  // A device wait with a long time-out ends at once instead of spinning to it.
  Device device(&stream, 30.0f);
  const auto start = steady_clock::now();
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_LT(MillisecondsSince(start), 10000.0);
  EXPECT_EQ(stream.Available(), 0);
}

TEST(WindowsPortDriver, WaitsAndWritesToADeviceThatStopsReadingEndWhenAskedOrAfterAStall) {
  VELKOR_REQUIRE_PORT(DeafPort());
  SerialStream stream(DeafPort().c_str(), true);
  ASSERT_TRUE(stream.IsOpen());
  Vorlan3 arm(&stream, 0.0f);
  std::string lines;
  Velkor::HardwareAPI::SetLogSink(
      [](const char* line, size_t length, void* context) { static_cast<std::string*>(context)->append(line, length); },
      &lines);

  // A reply awaited without limit ends when the caller asks, without a line.
  auto start = steady_clock::now();
  {
    InterruptAfter interrupt(milliseconds(100));
    const auto state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0.0f, 0.0f, 0.0f});
    EXPECT_EQ(state.first[2], 0.0f);
  }
  EXPECT_LT(MillisecondsSince(start), 5000.0);
  EXPECT_EQ(arm.last_outcome, Outcome::Interrupted);

  // The line's buffer fills long before 300 kB; each piece of the write blocks
  // only briefly, so asking to stop is heard.
  const std::vector<uint8_t> payload(300000, 0x55);
  start = steady_clock::now();
  {
    InterruptAfter interrupt(milliseconds(100));
    EXPECT_FALSE(arm.SendRaw(payload.data(), payload.size()));
  }
  EXPECT_LT(MillisecondsSince(start), 5000.0);
  EXPECT_EQ(arm.last_outcome, Outcome::Interrupted);
  EXPECT_EQ(lines, "");

  // Unasked, the write fails after a stall instead of 8 ms per byte (40 minutes),
  // visibly to the caller; but WriteFile cut short by its time-outs is no
  // platform failure, so there is no line and no code left for later lines.
  SetLastError(0);
  start = steady_clock::now();
  EXPECT_FALSE(arm.SendRaw(payload.data(), payload.size()));
  EXPECT_LT(MillisecondsSince(start), 30000.0);
  EXPECT_EQ(arm.last_outcome, Outcome::WriteFailed);
  EXPECT_EQ(LastError(), 0);
  // Nor does a code that an earlier failure left behind make a line of it.
  // The failed write dropped what the device had not taken: fill the line
  // again, a byte at a time, until one byte cannot go out.
  SetLastError(static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
  const char one = 0x55;
  for (int i = 0; i < 1000000 && stream.good(); ++i) stream.Write(&one, 1);
  EXPECT_EQ(stream.LastFault(), Velkor::HardwareAPI::IO::PortFault::TimedOut);
  EXPECT_EQ(LastError(), static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  stream.clear();
  Device reader(&stream, 0.2f);
  EXPECT_EQ(reader.ReadHeaderCode(), 0);
  Velkor::HardwareAPI::SetLogSink(nullptr, nullptr);
  EXPECT_EQ(lines, "") << "a write cut short printed a line, or left a code that a later time-out printed";
}

namespace {

// Points this program's import of a system function at a replacement for the
// object's lifetime (the library is linked into the program, so its calls go
// through the program's import table).
class ImportPatch {
 public:
  ImportPatch(const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name != 0 && slot_ == nullptr; ++module) {
      if (module->OriginalFirstThunk == 0) continue;
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) continue;
        slot_ = &slots->u1.Function;
        original_ = reinterpret_cast<void*>(*slot_);
        Write(replacement);
        break;
      }
    }
  }
  ~ImportPatch() {
    if (slot_ != nullptr) Write(original_);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;
  void* Original() const { return original_; }

 private:
  void Write(void* function) {
    DWORD protection = 0;
    ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    *slot_ = reinterpret_cast<ULONG_PTR>(function);
    ::VirtualProtect(slot_, sizeof *slot_, protection, &protection);
  }
  ULONG_PTR* slot_ = nullptr;
  void* original_ = nullptr;
};

using SetCommTimeoutsFunction = BOOL(WINAPI*)(HANDLE, LPCOMMTIMEOUTS);
SetCommTimeoutsFunction real_set_comm_timeouts = nullptr;
long set_comm_timeouts_calls = 0;

BOOL WINAPI CountedSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  ++set_comm_timeouts_calls;
  return real_set_comm_timeouts(handle, timeouts);
}

}  // namespace

TEST(WindowsPortDriver, ARunOfExchangesTellsThePortItsTimeOutsOnlyWhenTheyChange) {
  VELKOR_REQUIRE_PORT(ArmPort());
  const ImportPatch patch("SetCommTimeouts", reinterpret_cast<void*>(&CountedSetCommTimeouts));
  ASSERT_NE(patch.Original(), nullptr) << "the program imports no SetCommTimeouts";
  real_set_comm_timeouts = reinterpret_cast<SetCommTimeoutsFunction>(patch.Original());
  SerialStream stream(ArmPort().c_str(), true);
  ASSERT_TRUE(stream.IsOpen());
  Vorlan3 arm(&stream, 2.0f);
  arm.SendDeviceWakeup();
  DeviceInfo info;
  ASSERT_EQ(arm.ReceiveDeviceInfo(info), static_cast<int32_t>(Vorlan3::kDeviceInfoSize));
  EXPECT_GE(set_comm_timeouts_calls, 1) << "the record was never applied: the count sees no call";
  for (int i = 0; i < 10; ++i) arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0.0f, 0.0f, 0.5f});
  set_comm_timeouts_calls = 0;
  constexpr int kExchanges = 200;
  for (int i = 0; i < kExchanges; ++i) {
    const auto state = arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {0.0f, 0.0f, 0.5f});
    ASSERT_TRUE(state.first[0] != 0.0f || state.first[1] != 0.0f || state.first[2] != 0.0f) << "exchange " << i;
  }
  // A wait that runs long on a loaded machine may take a shorter slice and
  // change the record once or twice; one change per exchange is what this stops.
  EXPECT_LT(set_comm_timeouts_calls, kExchanges / 10);
}
