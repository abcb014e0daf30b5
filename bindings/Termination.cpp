#include "Termination.hpp"

#include "EndForce.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace VelkorBinding {

using Velkor::HardwareAPI::Servo::ServoLoop;

namespace {

struct Watched {
  std::mutex mutex;
  std::vector<std::weak_ptr<ServoLoop>> loops;
  bool enabled = true;
};
// Never destroyed: the watcher thread may use it while the process exits.
Watched& watched = *new Watched;

#if !defined(_WIN32)

constexpr int kSignals[] = {SIGTERM, SIGHUP};

// Set up by the process that installed the handler; a forked child that gets
// the signal before it starts loops of its own just takes the default action.
volatile sig_atomic_t owner_pid = 0;
int wake_fd[2] = {-1, -1};
bool installed[2] = {false, false};

extern "C" void OnTerminationSignal(int sig) {
  const int saved = errno;
  if (static_cast<pid_t>(owner_pid) != getpid()) {
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
    return;
  }
  const unsigned char byte = static_cast<unsigned char>(sig);
  // A full pipe means a signal is on its way already.
  [[maybe_unused]] const ssize_t ignored = write(wake_fd[1], &byte, 1);
  errno = saved;
}

bool OursInstalled(int sig) {
  struct sigaction current {};
  if (sigaction(sig, nullptr, &current) != 0) return false;
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == &OnTerminationSignal;
}

void StopEveryLoop() {
  std::vector<std::shared_ptr<ServoLoop>> loops;
  {
    std::lock_guard<std::mutex> lock(watched.mutex);
    for (const auto& weak : watched.loops)
      if (auto loop = weak.lock()) loops.push_back(std::move(loop));
  }
  for (const auto& loop : loops) loop->Stop();
}

// While a loop runs or an arm's last request carried a force, the disposition
// is looked at this often: a program that puts back SIG_DFL (say, what
// signal.getsignal returned while the stand-in was in place) gets the stand-in
// again within this time.
constexpr int kRecheckMs = 5;
// Otherwise (nothing to guard) the watcher only sleeps between looks.
constexpr int kIdleMs = 250;

void Install();

bool Guarding() {
  if (AnyArmForceOn()) return true;
  std::lock_guard<std::mutex> lock(watched.mutex);
  for (const auto& weak : watched.loops)
    if (auto loop = weak.lock())
      if (loop->Running()) return true;
  return false;
}

void Recheck() {
  std::lock_guard<std::mutex> lock(watched.mutex);
  if (watched.enabled) Install();
}

void Watch(int read_fd) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    const bool guarding = Guarding();
    if (guarding) Recheck();
    struct pollfd wait {};
    wait.fd = read_fd;
    wait.events = POLLIN;
    const int ready = poll(&wait, 1, guarding ? kRecheckMs : kIdleMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return;
    if (ready == 0) continue;
    unsigned char byte = 0;
    const ssize_t got = read(read_fd, &byte, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got != 1) return;
    if (byte == 0) continue;  // a wake-up: something new to guard
    const int sig = byte;
    StopEveryLoop();
    EndArmForcesOnSignal();
    // Now the action the signal would have had.
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    kill(getpid(), sig);
    raise(sig);
  }
}

// Lock held.
void Install() {
  if (owner_pid != getpid()) {
    // First use, or a forked child: its own pipe and thread.
    if (pipe(wake_fd) != 0) return;
    for (int fd : wake_fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(wake_fd[0], F_SETFL, fcntl(wake_fd[0], F_GETFL) | O_NONBLOCK);
    fcntl(wake_fd[1], F_SETFL, fcntl(wake_fd[1], F_GETFL) | O_NONBLOCK);
    installed[0] = installed[1] = false;
    std::thread(Watch, wake_fd[0]).detach();
    owner_pid = getpid();
  }
  for (size_t i = 0; i < 2; ++i) {
    if (installed[i] && OursInstalled(kSignals[i])) continue;
    struct sigaction current {};
    if (sigaction(kSignals[i], nullptr, &current) != 0) continue;
    // Only the default action is ours to stand in for.
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction ours {};
    ours.sa_handler = &OnTerminationSignal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    // The swap returns what it replaced: a handler the program installed since
    // the look above goes back at once.
    struct sigaction replaced {};
    installed[i] = sigaction(kSignals[i], &ours, &replaced) == 0;
    if (installed[i] && ((replaced.sa_flags & SA_SIGINFO) != 0 || replaced.sa_handler != SIG_DFL)) {
      sigaction(kSignals[i], &replaced, nullptr);
      installed[i] = false;
    }
  }
}

// Lock held. The watcher looks at the disposition at its shorter pace from now on.
void Wake() {
  const unsigned char byte = 0;
  if (owner_pid != getpid()) return;
  [[maybe_unused]] const ssize_t ignored = write(wake_fd[1], &byte, 1);
}

// Lock held.
void Uninstall() {
  for (size_t i = 0; i < 2; ++i) {
    if (OursInstalled(kSignals[i])) signal(kSignals[i], SIG_DFL);
    installed[i] = false;
  }
}

#else

void Install() {}
void Uninstall() {}
void Wake() {}

#endif

}  // namespace

void WatchLoop(const std::shared_ptr<ServoLoop>& loop) {
  std::lock_guard<std::mutex> lock(watched.mutex);
  auto& loops = watched.loops;
  loops.erase(std::remove_if(loops.begin(), loops.end(), [](const auto& weak) { return weak.expired(); }),
              loops.end());
  loops.push_back(loop);
  if (watched.enabled) {
    Install();
    Wake();
  }
}

void WatchForces() {
  std::lock_guard<std::mutex> lock(watched.mutex);
  if (!watched.enabled) return;
  // Every plain force: cheap when the stand-in is in place already. The
  // watcher sees the force at once (nothing to wake).
  Install();
}

}  // namespace VelkorBinding

void RegisterTerminationHandling(py::module_& m) {
  m.def(
      "set_termination_handling",
      [](bool enabled) {
        std::lock_guard<std::mutex> lock(VelkorBinding::watched.mutex);
        const bool was = VelkorBinding::watched.enabled;
        VelkorBinding::watched.enabled = enabled;
        if (!enabled) VelkorBinding::Uninstall();
        return was;
      },
      py::arg("enabled"),
      "While a ServoLoop runs or an arm's last plain request carried a force, SIGTERM and SIGHUP whose action is "
      "still the default stop every loop (zero force last), send the zero-force exchange to every arm that needs "
      "one (see Vorlan3.zero_force_on_close) and then end the process by that signal as the default would. A "
      "handler the program installs is never replaced, and SIG_IGN is kept; SIG_DFL put back meanwhile is stood "
      "in for again within about 5 ms. False turns this off (and puts back the default action where the module's "
      "handler stands in); True turns it on again from the next loop's start or force request. Returns the "
      "previous setting.");
}
