#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Discovery/PortListing.hpp"

namespace Velkor::HardwareAPI {

// What became of one candidate port of a concurrent detection.
enum class ProbeOutcome {
  Found,       // a device of the kind answered within the probe limit
  NoAnswer,    // it did not (silent, a wrong reply, or a reply after the limit)
  NotProbed,   // reported without being opened (its USB vendor makes only handles)
  Cancelled,   // the overall time-out or an interruption ended its probe first
};

struct ProbeReport {
  std::string port_name;
  ProbeOutcome outcome;
  std::chrono::steady_clock::duration elapsed;  // from the start of the detection
};

struct ConcurrentDetectResult {
  std::vector<std::string> ports;  // found or reported unopened, in the detect function's order
  bool timed_out = false;          // the overall time-out stopped probes still running
  bool interrupted = false;        // the caller's interruption check stopped them
  bool stopped = false;            // the progress callback asked to stop
};

// Called on the caller's thread as each candidate's outcome becomes known;
// returning false stops the probes still running.
using ProbeProgress = std::function<bool(const ProbeReport&)>;

// The detect function's candidates, narrowing and probe limit, but every probe
// runs at once on a thread of its own: silent ports cost one limit in all
// rather than one each. A probe whose answer can no longer count (the limit
// passed) is stopped and its port closed at once; the call returns only when
// every probe has closed its port. The caller's thread only waits, asking its
// interruption check at least every 10 ms.
ConcurrentDetectResult DetectConcurrently(DetectTarget target, std::chrono::milliseconds limit,
                                          std::optional<std::chrono::milliseconds> overall,
                                          const ProbeProgress& progress, const std::string& sys_root = "/sys",
                                          const std::string& dev_root = "/dev");

}  // namespace Velkor::HardwareAPI
