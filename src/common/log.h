// The library's messages. Every message the library would write to
// standard error goes through log(), which formats it and hands it to the
// current hook: the innermost LogScope's on the calling thread, else the
// process-wide default, which writes it to standard error as it stands
// (a message carries its own newline, where it ends a line).
//
// Messages for a FILE* the caller gave (the decoder's error log, the
// encode loop's output) do not come here.
#pragma once

#include <cstdarg>

namespace tarsk {

enum class LogLevel { error, warning, info, debug };

// A receiver of messages: `call` gets `user`, the level (a LogLevel as an
// int, for C callers) and the formatted message, which it must not keep.
struct LogHook {
  void (*call)(void *user, int level, const char *message);
  void *user;
};

void log(LogLevel level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vlog(LogLevel level, const char *fmt, va_list args) __attribute__((format(printf, 2, 0)));

// Routes the messages of this thread to `hook` for its lifetime, then back
// to whatever received them before (an enclosing scope, or the default):
// a context routes its own messages, on whatever thread it runs, with no
// process-wide state. A scope lives on the stack of the thread that made
// it. A hook without a function silences the messages.
class LogScope {
 public:
  explicit LogScope(LogHook hook);
  ~LogScope();
  LogScope(const LogScope &) = delete;
  LogScope &operator=(const LogScope &) = delete;

 private:
  const LogHook *previous_;
  LogHook hook_;
};

}  // namespace tarsk
