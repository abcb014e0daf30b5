#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "support/CountingPortDriver.hpp"

namespace VelkorTest {

// A device whose reply comes in two pieces with a pause between them, as
// USB-serial bridges deliver replies in packets. `open` names a line with
// nothing queued on it (called once per case);
// `send_in_pieces` has the device send the first `head` bytes of a reply at
// once and the rest after `pause`.
struct PiecewiseLine {
  std::function<std::string()> open;
  std::function<void(Velkor::HardwareAPI::IO::SerialStream&, const std::vector<uint8_t>& reply, size_t head,
                     std::chrono::milliseconds pause)>
      send_in_pieces;
};

// While part of a reply is queued, every wait of the device layer must block
// on the port until the rest comes, not sleep and ask again: a sleep lasts a
// timer tick on some runtimes (15.6 ms under Windows), and polling burns a core.
// Counted from shortly after the first piece is queued, a wait on the port
// makes a few queries per interruption slice; polling makes hundreds.
inline void ExpectPieceWaitsBlockOnThePort(const PiecewiseLine& line) {
  using namespace std::chrono;
  using Velkor::HardwareAPI::Devices::Device;
  using Velkor::HardwareAPI::Devices::Handle;
  using Velkor::HardwareAPI::Devices::StrixelStatus;
  constexpr milliseconds kPause{600};
  // Two queries per 50 ms interruption slice, with room to spare.
  constexpr long kMostQueries = 60;

  StrixelStatus status;
  status.device_id = 0x42;
  status.hall_effect_sensor_level = 9;
  status.buttons = 1;
  status.quaternion[3] = 1.0f;
  status.battery_level = 3.7f;
  std::vector<uint8_t> status_frame(1 + Velkor::HardwareAPI::Devices::kStrixelMaxEncodedSize);
  status_frame[0] = Handle::kStatusMessage;
  status_frame.resize(1 + Velkor::HardwareAPI::Devices::EncodeStrixelStatusFrame(
                              status, status_frame.data() + 1, Velkor::HardwareAPI::Devices::kStrixelMaxEncodedSize));

  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
    std::function<bool(Velkor::HardwareAPI::IO::SerialStream&)> wait;
  };
  const Case cases[] = {
      {"device base wait for a whole reply", std::vector<uint8_t>(25, 0x2B),
       [](Velkor::HardwareAPI::IO::SerialStream& stream) {
         Device device(&stream, 5.0f);
         const bool whole = device.WaitForBytes(25);
         // Read, so that nothing is left for the next case on the same line.
         char reply[25];
         stream.read(reply, sizeof reply);
         return whole && stream.gcount() == 25;
       }},
      {"handle status wait", status_frame,
       [&status](Velkor::HardwareAPI::IO::SerialStream& stream) {
         Handle handle(&stream, 5.0f);
         const StrixelStatus got = handle.GetStrixelStatus();
         return got.device_id == status.device_id && got.buttons == status.buttons && got.error_flag == 0;
       }},
  };
  for (const Case& c : cases) {
    CountedPort counted;
    Velkor::HardwareAPI::IO::SerialStream stream(line.open().c_str(), true);
    ASSERT_TRUE(stream.IsOpen()) << c.name;
    constexpr size_t kHead = 3;
    line.send_in_pieces(stream, c.reply, kHead, kPause);
    const auto give_up = steady_clock::now() + seconds(10);
    while (stream.Available() < static_cast<int32_t>(kHead) && steady_clock::now() < give_up) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_GE(stream.Available(), static_cast<int32_t>(kHead)) << c.name;
    // The first queries of a wait may spin briefly on purpose; what counts is
    // what the wait does for the rest of the pause.
    counted.CountFrom(milliseconds(20));
    EXPECT_TRUE(c.wait(stream)) << c.name;
    // Once the rest is in, reading it costs a few queries a byte (the handle
    // decodes its frame byte by byte); a sleeping wait costs thousands.
    const long most = kMostQueries + 4 * static_cast<long>(c.reply.size());
    EXPECT_LT(counted.Calls(), most)
        << c.name << ": the wait asked the port " << counted.Calls() << " times in " << kPause.count()
        << " ms instead of blocking on it";
  }
}

}  // namespace VelkorTest
