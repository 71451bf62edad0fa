#include "common/log.h"

#include <cstdio>
#include <string>

namespace tarsk {
namespace {

void to_stderr(void *, int, const char *message) { std::fputs(message, stderr); }

constexpr LogHook default_hook{to_stderr, nullptr};

// The hook of this thread's innermost LogScope; none outside every scope.
thread_local const LogHook *current = nullptr;

}  // namespace

void vlog(LogLevel level, const char *fmt, va_list args) {
  const LogHook &hook = current != nullptr ? *current : default_hook;
  if (hook.call == nullptr) return;
  // Most messages are a line: formatted on the stack, a longer one on the heap.
  char line[512];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line, sizeof line, fmt, args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof line) {
    va_end(again);
    hook.call(hook.user, static_cast<int>(level), line);
    return;
  }
  std::string message(static_cast<size_t>(length), '\0');
  std::vsnprintf(message.data(), message.size() + 1, fmt, again);
  va_end(again);
  hook.call(hook.user, static_cast<int>(level), message.c_str());
}

void log(LogLevel level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vlog(level, fmt, args);
  va_end(args);
}

LogScope::LogScope(LogHook hook) : previous_(current), hook_(hook) { current = &hook_; }

LogScope::~LogScope() { current = previous_; }

}  // namespace tarsk
