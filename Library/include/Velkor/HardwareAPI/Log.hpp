#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Velkor::HardwareAPI {

// The system's message text for a platform error code, or "unknown".
std::wstring SystemErrorMessage(int32_t code);
// The same without the line end the system's texts carry (Windows ends them
// with a carriage return and a line feed), for messages of our own that go on
// after it; the [err] lines keep the text as the system gives it.
std::wstring SystemErrorText(int32_t code);

// Prints one line "[err] <file>:<line>> <message>: [<code>] <text>\n" to standard
// error in a single write and flushes it. `message_format` is printf-style.
#if defined(__MINGW32__)
// MinGW builds the library with its own C99 printf (%zu), not the system one.
#define VELKOR_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define VELKOR_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define VELKOR_PRINTF_FORMAT(format_index, first_arg)
#endif

// The code of a line that no system error is behind: it ends with the message.
constexpr int32_t kNoSystemError = -1;

void LogError(const char* file, unsigned line, int32_t code, const char* message_format, ...)
    VELKOR_PRINTF_FORMAT(4, 5);

// While one lives, LogError prints nothing on the thread that made it: for a
// caller that reports a fault episode once, in its own words, instead of a
// line per failed call (the servo loop). Costs nothing per muted line.
class ScopedLogQuiet {
 public:
  ScopedLogQuiet();
  ~ScopedLogQuiet();
  ScopedLogQuiet(const ScopedLogQuiet&) = delete;
  ScopedLogQuiet& operator=(const ScopedLogQuiet&) = delete;
};

// Receives each error line (without its newline) instead of standard error.
// Called on the thread that logs, possibly while other threads log too.
using LogSink = void (*)(const char* line, size_t length, void* context);

// Installs a process-wide sink; nullptr restores writing to standard error.
void SetLogSink(LogSink sink, void* context);

// Writes one finished line (without its newline) to standard error as LogError
// does without a sink: a sink that keeps some lines passes the others on here.
void WriteErrorLine(const char* line, size_t length);

// Where a message comes from: the file and line texts are fixed parts of the
// message, not the place of the call.
struct LogSite {
  const char* file;
  unsigned line;
  const char* message;  // printf-style, without the trailing ": [%d] %ls\n"
};

}  // namespace Velkor::HardwareAPI
