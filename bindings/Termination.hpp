#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"

namespace py = pybind11;

// SIGTERM (a service manager, kill) and SIGHUP (the terminal closed) end a
// process at once by default, and a servo loop would leave its last force on
// the arm. So while loops run, and as long as the program has installed no
// handler of its own for them, the module's own handler stands in for the
// default action: it stops every loop (each ends with its zero-force exchange)
// and then ends the process by the same signal with the default action, so
// the exit status is what it would have been. A handler the program installs
// (signal.signal) replaces it, before or after; SIG_IGN (nohup) is kept.
// VelkorHardwareAPI.set_termination_handling(False) turns it off.
namespace VelkorBinding {

// Called once a loop has started.
void WatchLoop(const std::shared_ptr<Velkor::HardwareAPI::Servo::ServoLoop>& loop);

}  // namespace VelkorBinding

void RegisterTerminationHandling(py::module_& m);
