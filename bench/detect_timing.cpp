// Wall time of the detect functions over N silent and N answering candidates on
// a fake sysfs tree whose ports are pty emulators. Build from the repository root
// after building the library into build-disc (one command line):
//   g++ -std=c++17 -O2 -ILibrary/include -Itests/cpp bench/detect_timing.cpp
//     tests/cpp/support/FakeSysfs.cpp tests/cpp/support/PtyEmulator.cpp
//     build-disc/libvelkor_hwapi.a -lpthread -o build-disc/detect_timing
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"
#include "support/FakeSysfs.hpp"
#include "support/PtyEmulator.hpp"

namespace hw = Velkor::HardwareAPI;
using VelkorTest::Bytes;
using VelkorTest::PtyEmulator;

namespace {

Bytes ArmInfo() {
  Bytes reply{0x0B, 0x34, 0x12, 4, 2, 5};
  for (uint8_t i = 0; i < 16; ++i) reply.push_back(i);
  return reply;
}

enum class Device { Arm, Handle };

void Measure(Device device, int n, bool answering) {
  Velkor::Testing::FakeSysfs sys;
  std::vector<std::unique_ptr<PtyEmulator>> ports;
  for (int i = 0; i < n; ++i) {
    const std::string name = (device == Device::Arm ? "ttyACM" : "ttyUSB") + std::to_string(i);
    if (device == Device::Arm) {
      sys.AddCdcAcm(name, "16c0");
    } else {
      sys.AddUsbSerial(name, "cp210x", "10c4");
    }
    ports.push_back(std::make_unique<PtyEmulator>());
    if (answering) {
      ports.back()->Expect(1, device == Device::Arm ? ArmInfo() : Bytes{0xD0, 5, 0, 0x34, 0x12, 7, 9});
    }
    sys.AddDevNode(name, ports.back()->SlavePath());
  }
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> found = device == Device::Arm
                                             ? hw::DetectVorlan3s(sys.SysRoot(), sys.DevRoot())
                                             : hw::DetectWiredHandles(sys.SysRoot(), sys.DevRoot());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-20s N=%2d %-9s found %2zu  %9.4f s  (%.4f s per candidate)\n",
              device == Device::Arm ? "DetectVorlan3s" : "DetectWiredHandles", n,
              answering ? "answering" : "silent", found.size(), seconds, seconds / n);
  std::fflush(stdout);
}

}  // namespace

int main() {
  for (const int n : {1, 4, 16}) Measure(Device::Arm, n, true);
  for (const int n : {1, 4, 16}) Measure(Device::Handle, n, true);
  for (const int n : {1, 2}) Measure(Device::Arm, n, false);
  for (const int n : {1, 3}) Measure(Device::Handle, n, false);
}
