#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/HeldStderr.hpp"

using VelkorTest::HoldStderr;
using VelkorTest::ReleaseStderr;

namespace {

void WriteStderr(const std::string& text) {
  ASSERT_EQ(write(STDERR_FILENO, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

// Runs `body` with fd 2 on a pipe and returns what reached the pipe.
template <typename Body>
std::string WrittenToStderr(Body body) {
  int ends[2];
  if (pipe(ends) != 0) return "pipe failed";
  const int original = dup(STDERR_FILENO);
  dup2(ends[1], STDERR_FILENO);
  close(ends[1]);
  body();
  dup2(original, STDERR_FILENO);
  close(original);
  std::string text = ReadAll(ends[0]);
  close(ends[0]);
  return text;
}

}  // namespace

TEST(HeldStderr, ReplaysWhatWasWrittenOnlyWhenAsked) {
  for (bool replay : {true, false}) {
    const std::string seen = WrittenToStderr([&] {
      ASSERT_TRUE(HoldStderr());
      WriteStderr("[err] held line\n");
      std::fputs("through stdio\n", stderr);
      ReleaseStderr(replay);
      WriteStderr("after\n");
    });
    EXPECT_EQ(seen, replay ? "[err] held line\nthrough stdio\nafter\n" : "after\n") << replay;
  }
}

TEST(HeldStderr, NestsWithItselfAndWithGoogleTestCapture) {
  std::string captured;
  const std::string seen = WrittenToStderr([&] {
    ASSERT_TRUE(HoldStderr());
    WriteStderr("outer ");
    testing::internal::CaptureStderr();
    WriteStderr("captured ");
    ASSERT_TRUE(HoldStderr());
    WriteStderr("dropped ");
    ReleaseStderr(false);
    ASSERT_TRUE(HoldStderr());
    WriteStderr("inner ");
    ReleaseStderr(true);
    captured = testing::internal::GetCapturedStderr();
    WriteStderr("outer again");
    ReleaseStderr(true);
  });
  EXPECT_EQ(captured, "captured inner ");
  EXPECT_EQ(seen, "outer outer again");
}

TEST(HeldStderr, ACrashStillShowsWhatWasHeld) {
  for (int signal_number : {SIGABRT, SIGSEGV, SIGTERM}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      close(ends[0]);
      dup2(ends[1], STDERR_FILENO);
      if (!HoldStderr()) _exit(3);
      WriteStderr("written before the signal\n");
      if (signal_number == SIGABRT) std::abort();
      if (signal_number == SIGSEGV) *static_cast<volatile int*>(nullptr) = 1;
      raise(signal_number);
      _exit(4);
    }
    close(ends[1]);
    const std::string seen = ReadAll(ends[0]);
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_NE(seen.find("written before the signal\n"), std::string::npos) << signal_number << ": " << seen;
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << signal_number;
  }
}
