#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tarsk::cli {

namespace {

// "1:05" or "1:02:05".
std::string clock_time(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// "3.00 s", or "1:05.04" from a minute on.
std::string material_time(double seconds) {
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
  }
  const auto whole = static_cast<long>(seconds);
  const double rest = seconds - static_cast<double>(whole - whole % 60);
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%05.2f", whole / 3600, whole / 60 % 60, rest);
  else
    std::snprintf(text, sizeof text, "%ld:%05.2f", whole / 60, rest);
  return text;
}

Progress *shown_progress = nullptr;  // one at a time, on the one standard error

}  // namespace

Progress::Progress(bool enabled)
    : enabled_(enabled && isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_(start_) {}

Progress::~Progress() { finish(); }

void clear_progress() {
  if (shown_progress != nullptr) shown_progress->finish();
}

void Progress::update(uint64_t done) {
  if (!enabled_) return;
  const auto now = Clock::now();
  // Redrawing for every frame would cost more than it tells.
  if (shown_ && now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double fps = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string line = "frame " + std::to_string(done);
  if (total_ > 0) line += " of " + std::to_string(total_);
  char rate[32];
  std::snprintf(rate, sizeof rate, ", %.1f fps", fps);
  line += rate;
  if (total_ > 0 && done <= total_) {
    line += ", " + std::to_string(done * 100 / total_) + "%";
    if (fps > 0) line += ", " + clock_time(static_cast<double>(total_ - done) / fps) + " left";
  }
  // "\r" returns to the line's start and "\033[K" clears what a longer
  // line left there.
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
  shown_progress = this;
}

void Progress::finish() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
  shown_progress = nullptr;
}

std::string Progress::summary(uint64_t frames, double frame_seconds,
                              const std::string &system) const {
  const double material = static_cast<double>(frames) * frame_seconds;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  char took[64];
  if (elapsed > 0)
    std::snprintf(took, sizeof took, "in %.2f s (%.1fx real time)", elapsed, material / elapsed);
  else
    std::snprintf(took, sizeof took, "in no measurable time");
  return std::to_string(frames) + (frames == 1 ? " frame, " : " frames, ") +
         material_time(material) + " of " + system + ", " + took;
}

}  // namespace tarsk::cli
