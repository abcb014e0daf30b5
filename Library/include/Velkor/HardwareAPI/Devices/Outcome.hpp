#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI::Devices {

// How a device call ended. Every public device call records one, so a caller can
// tell a reading from the zeros of a failed exchange.
enum class Outcome : uint8_t {
  Ok = 0,
  Timeout,      // the reply did not come (in full) within the call's deadline
  BadReply,     // a reply came but was not the one asked for, or was malformed
  PortGone,     // the port is closed, was never opened, or the device went away
  WriteFailed,  // the request could not be written (in full)
  Interrupted,  // the caller's interruption check stopped the wait
  // Another owner (a running servo loop) holds the stream's lease: nothing was
  // sent or read. Returned by ExchangeWithin; a refused call leaves
  // last_outcome as the owner left it.
  Refused,
};

// The name the Python layer shows for a failed outcome; nullptr for Ok.
constexpr const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok: return nullptr;
    case Outcome::Timeout: return "timeout";
    case Outcome::BadReply: return "bad_reply";
    case Outcome::PortGone: return "port_gone";
    case Outcome::WriteFailed: return "write_failed";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::Refused: return "refused";
  }
  return "unknown";
}

}  // namespace Velkor::HardwareAPI::Devices
