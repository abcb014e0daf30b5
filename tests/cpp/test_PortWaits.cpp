#include <gtest/gtest.h>

#include <memory>

#include "support/PieceWaits.hpp"
#include "support/PtyEmulator.hpp"

using VelkorTest::Bytes;
using VelkorTest::PiecewiseLine;
using VelkorTest::PtyEmulator;

TEST(PortWaits, AReplyArrivingInPiecesIsAwaitedOnThePortNotBySleepingAndAskingAgain) {
  std::unique_ptr<PtyEmulator> device;
  PiecewiseLine line;
  line.open = [&device] {
    device = std::make_unique<PtyEmulator>();
    return device->SlavePath();
  };
  line.send_in_pieces = [&device](Velkor::HardwareAPI::IO::SerialStream&, const Bytes& reply, size_t head,
                                  std::chrono::milliseconds pause) {
    device->Send(Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(head)));
    device->SendAfter(pause, Bytes(reply.begin() + static_cast<std::ptrdiff_t>(head), reply.end()));
  };
  VelkorTest::ExpectPieceWaitsBlockOnThePort(line);
}
