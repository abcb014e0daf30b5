#include "support/HeldStderr.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

namespace VelkorTest {
namespace {

struct Hold {
  int held_fd;
  int replaced_fd;
  pid_t owner;
};

// Fixed storage: the rescue runs in signal handlers, where nothing may allocate.
constexpr int kMaxDepth = 8;
Hold g_holds[kMaxDepth];
volatile sig_atomic_t g_depth = 0;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTERM, SIGINT};
struct sigaction g_previous[NSIG];

void CopyHeld(int from, int to) {
  if (lseek(from, 0, SEEK_SET) < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return;
      done += put;
    }
  }
}

// Only calls that are safe in a signal handler. Holds made by a parent before
// a fork belong to the parent: a crashing child must not replay them.
void Rescue() {
  const pid_t self = getpid();
  while (g_depth > 0 && g_holds[g_depth - 1].owner == self) {
    const Hold& hold = g_holds[g_depth - 1];
    CopyHeld(hold.held_fd, hold.replaced_fd);
    dup2(hold.replaced_fd, STDERR_FILENO);
    g_depth = g_depth - 1;
  }
}

bool IsFault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE;
}

void OnFatalSignal(int signal_number) {
  const int saved_errno = errno;
  Rescue();
  sigaction(signal_number, &g_previous[signal_number], nullptr);
  errno = saved_errno;
  // A fault comes back to the previous handler when the instruction runs
  // again; anything else has to be sent again.
  if (!IsFault(signal_number)) raise(signal_number);
}

// Each sanitizer runtime loaded (GCC loads ASan's and UBSan's apart) keeps its
// own death callback, called after its report and before it exits.
int CallRescueOnSanitizerDeath(dl_phdr_info* info, size_t, void*) {
  void* object = dlopen(info->dlpi_name[0] != '\0' ? info->dlpi_name : nullptr, RTLD_LAZY | RTLD_NOLOAD);
  if (object == nullptr) return 0;
  using SetDeathCallback = void (*)(void (*)(void));
  if (auto set = reinterpret_cast<SetDeathCallback>(dlsym(object, "__sanitizer_set_death_callback"))) set(Rescue);
  dlclose(object);
  return 0;
}

// Tests that pass say nothing: what a test writes to standard error (the
// library's [err] lines, mostly expected ones) is shown only if it fails.
class QuietPassingTests : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { held_ = HoldStderr(); }
  void OnTestEnd(const testing::TestInfo& info) override {
    if (held_) ReleaseStderr(info.result()->Failed());
    held_ = false;
  }
  bool held_ = false;
};

[[maybe_unused]] const bool kInstalled = [] {
  for (int signal_number : kFatalSignals) {
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, &g_previous[signal_number]);
  }
  dl_iterate_phdr(CallRescueOnSanitizerDeath, nullptr);
  std::atexit(Rescue);
  testing::UnitTest::GetInstance()->listeners().Append(new QuietPassingTests);
  return true;
}();

}  // namespace

bool HoldStderr() {
  if (g_depth == kMaxDepth) return false;
  FILE* file = std::tmpfile();
  if (file == nullptr) return false;
  const int held_fd = fcntl(fileno(file), F_DUPFD_CLOEXEC, 3);
  std::fclose(file);
  if (held_fd < 0) return false;
  const int replaced_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (replaced_fd < 0) {
    close(held_fd);
    return false;
  }
  std::fflush(nullptr);
  g_holds[g_depth] = Hold{held_fd, replaced_fd, getpid()};
  g_depth = g_depth + 1;
  dup2(held_fd, STDERR_FILENO);
  return true;
}

void ReleaseStderr(bool replay) {
  if (g_depth == 0) return;
  std::fflush(nullptr);
  const Hold hold = g_holds[g_depth - 1];
  dup2(hold.replaced_fd, STDERR_FILENO);
  if (replay) CopyHeld(hold.held_fd, STDERR_FILENO);
  g_depth = g_depth - 1;
  close(hold.held_fd);
  close(hold.replaced_fd);
}

}  // namespace VelkorTest
