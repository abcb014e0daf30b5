// What a loop reports: its state, stats and error text, the telemetry ring
// drained into NumPy records, and recordings to MCAP.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ServoShared.hpp"

namespace servo_binding {

using Velkor::HardwareAPI::Devices::OutcomeName;

namespace {

// Below this share of the rate asked for, over the last second, error says so.
constexpr double kSlowRateShare = 0.95;

// A NumPy dtype with TelemetryRecord's fields at their offsets; made once, on
// first use, so that importing the module does not import NumPy.
py::object TelemetryDtype() {
  static py::object* dtype = nullptr;  // kept for the life of the process
  if (dtype == nullptr) {
    py::dict layout;
    layout["names"] = py::make_tuple("time", "cycle", "position", "velocity", "force", "period_us", "exchange_us",
                                     "compute_us", "lateness_us", "flags");
    layout["formats"] = py::make_tuple("<f8", "<u8", "(3,)<f4", "(3,)<f4", "(3,)<f4", "<f4", "<f4", "<f4", "<f4", "<u4");
    layout["offsets"] = py::make_tuple(
        offsetof(TelemetryRecord, time), offsetof(TelemetryRecord, cycle), offsetof(TelemetryRecord, position),
        offsetof(TelemetryRecord, velocity), offsetof(TelemetryRecord, force), offsetof(TelemetryRecord, period_us),
        offsetof(TelemetryRecord, exchange_us), offsetof(TelemetryRecord, compute_us),
        offsetof(TelemetryRecord, lateness_us), offsetof(TelemetryRecord, flags));
    layout["itemsize"] = sizeof(TelemetryRecord);
    dtype = new py::object(py::module_::import("numpy").attr("dtype")(layout));
  }
  return *dtype;
}

// The records since the last drain, copied straight into a new array, and how
// many the ring had no room for meanwhile.
py::tuple Drain(TelemetryTap& tap) {
  TelemetryRing& ring = tap.loop->Telemetry();
  const size_t available = ring.Size();
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(available)};
  py::array records(py::dtype::from_args(TelemetryDtype()), shape);
  const size_t n = ring.Pop(static_cast<TelemetryRecord*>(records.mutable_data()), available);
  const uint64_t dropped = ring.Dropped();
  const uint64_t lost = dropped - tap.dropped_seen;
  tap.dropped_seen = dropped;
  if (n < available) records.resize({static_cast<py::ssize_t>(n)});
  return py::make_tuple(records, lost);
}

}  // namespace

py::dict StateDict(const ServoState& s) {
  return py::dict(py::arg("position") = s.position, py::arg("velocity") = s.velocity, py::arg("force") = s.force,
                  py::arg("cycle") = s.cycle, py::arg("time") = s.time,
                  py::arg("holding") = s.hold != HoldReason::None, py::arg("valid") = s.valid);
}

std::string ErrorText(const PyLoop& self) {
  if (!self.loop->Running()) return {};
  const ServoState s = self.loop->State();
  const ServoOptions& options = self.loop->Options();
  char text[256];
  switch (s.hold) {
    case HoldReason::None:
      break;
    case HoldReason::Failures: {
      const char* outcome = OutcomeName(s.outcome);
      std::snprintf(text, sizeof text, "holding zero force: %u exchanges in a row failed (%s)",
                    s.consecutive_failures, outcome != nullptr ? outcome : "unknown");
      return text;
    }
    case HoldReason::Reconnecting: {
      const auto& id = self.loop->Identifier();
      char hex[33];
      for (size_t i = 0; i < id.size(); ++i) std::snprintf(hex + 2 * i, 3, "%02x", id[i]);
      std::snprintf(text, sizeof text,
                    "holding zero force: the port went away; looking for the arm with identifier %s "
                    "(attempt %u, every %.2f s)",
                    hex, s.reconnect_attempts, ServoLoop::kReconnectInterval);
      return text;
    }
    case HoldReason::Late:
      std::snprintf(text, sizeof text,
                    "a cycle started %.1f ms late (limit %.1f ms): the force the device had was sent again",
                    s.lateness * 1e3, options.late_limit * 1e3);
      return text;
  }
  if (s.overrun) {
    std::snprintf(text, sizeof text,
                  "the device cannot keep the rate: an exchange takes %.2f ms, the period is %.2f ms; deadlines are "
                  "being missed (stats()['missed_deadlines'])",
                  s.exchange_s * 1e3, 1e3 / options.rate_hz);
    return text;
  }
  // Cycles that start late skip the deadlines they missed: the loop keeps going, slower than asked.
  const double recent = self.loop->RecentRate();
  if (recent > 0.0 && recent < kSlowRateShare * options.rate_hz) {
    std::snprintf(text, sizeof text,
                  "running at %.0f Hz over the last second, below %.0f%% of the %g Hz asked for; the timer (%s) "
                  "wakes %.2f ms late and the loop spins %.2f ms before each deadline",
                  recent, kSlowRateShare * 100.0, options.rate_hz, self.loop->TimerName(),
                  static_cast<double>(self.loop->TimerLateness()) / 1e6, static_cast<double>(self.loop->Spin()) / 1e6);
    return text;
  }
  return {};
}

py::dict StatsDict(const ServoStats& s) {
  py::dict d;
  d["cycles"] = s.cycles;
  d["rate_hz"] = s.rate_hz;
  d["period_p50_us"] = s.period_p50_us;
  d["period_p99_us"] = s.period_p99_us;
  d["period_max_us"] = s.period_max_us;
  d["late_cycles"] = s.late_cycles;
  d["exchange_p50_us"] = s.exchange_p50_us;
  d["exchange_p99_us"] = s.exchange_p99_us;
  d["compute_p50_us"] = s.compute_p50_us;
  d["compute_p99_us"] = s.compute_p99_us;
  d["failures"] = s.failures;
  d["realtime"] = s.realtime;
  d["target_rate_hz"] = s.target_rate_hz;
  d["period_error_p99_us"] = s.period_error_p99_us;
  d["exchange_max_us"] = s.exchange_max_us;
  d["held_cycles"] = s.held_cycles;
  d["holds"] = s.holds;
  d["memory_locked"] = s.memory_locked;
  d["realtime_note"] = s.realtime_note;
  d["window"] = s.window;
  d["missed_deadlines"] = s.missed_deadlines;
  d["late_resends"] = s.late_resends;
  d["fault_episodes"] = s.fault_episodes;
  d["stray_replies"] = s.stray_replies;
  d["reconnects"] = s.reconnects;
  d["lease_expiries"] = s.lease_expiries;
  d["leases_out"] = s.leases_out;
  d["telemetry_dropped"] = s.telemetry_dropped;
  d["recent_rate_hz"] = s.recent_rate_hz;
  d["timer"] = s.timer;
  d["timer_lateness_us"] = s.timer_lateness_us;
  d["spin_us"] = s.spin_us;
  // Before the first cycle every figure above is a zero that measured nothing.
  d["valid"] = s.cycles > 0;
  return d;
}

void PyLoop::Record(const py::object& path) {
  if (recorder) throw std::runtime_error("ServoLoop.record(): already recording; call stop_recording() first");
  std::shared_ptr<TelemetryTap> shared = tap;
  py::cpp_function drain([shared]() { return Drain(*shared); });
  py::object recording = py::module_::import("velkor_telemetry").attr("Recording");
  py::object made = recording(path, drain, py::arg("rate_hz") = loop->Options().rate_hz);
  made.attr("start")();
  recorder = made;
}

py::object PyLoop::StopRecording() {
  if (!recorder) return py::none();
  py::object made = std::move(recorder);
  recorder = py::object();
  return made.attr("stop")();
}

void RegisterLoopTelemetry(py::class_<PyLoop>& servo_loop) {
  servo_loop
      .def(
          "drain",
          [](PyLoop& self) {
            if (self.recorder)
              throw std::runtime_error("ServoLoop.drain(): a recording drains the telemetry; stop_recording() first");
            return Drain(*self.tap);
          },
          "Every cycle since the last drain, oldest first, as (records, lost): records is a NumPy structured array "
          "of dtype ServoLoop.telemetry_dtype (time, cycle, position, velocity, force, period_us, exchange_us, "
          "compute_us, lateness_us, flags); lost counts cycles the ring (8192 records) had no room for because "
          "nothing drained it in time.")
      .def_property_readonly_static(
          "telemetry_dtype", [](py::object) { return TelemetryDtype(); },
          "The NumPy dtype of drain()'s records.")
      .def(
          "record",
          [](PyLoop& self, py::object path) {
            // A recording made before start() would wait for cycles that may never come and
            // would miss the first ones once they did: start(record=path) records from the first.
            if (!self.loop->Running())
              throw std::runtime_error(
                  "ServoLoop.record(): the loop is not running; call start() first, or start(record=path) to "
                  "record from the first cycle");
            self.Record(path);
          },
          py::arg("path"),
          "Record every cycle to an MCAP file at path (velkor_telemetry.Recording, on a Python thread that drains "
          "the telemetry) until stop_recording() or stop(). RuntimeError if a recording runs already.")
      .def(
          "stop_recording", [](PyLoop& self) { return self.StopRecording(); },
          "End the recording: the cycles so far are written and the file closed. Returns its summary (path, "
          "messages, lost) or None when nothing was recording.")
      .def_property_readonly(
          "recording",
          [](const PyLoop& self) -> py::object {
            if (!self.recorder) return py::none();
            return self.recorder.attr("path");
          },
          "The path being recorded to, or None.");
}

}  // namespace servo_binding
