// Messages, names and timing shared by the subcommands.
#include "cli.h"

#include <cinttypes>
#include <cstdio>

#include "output.h"
#include "progress.h"

namespace tarsk::cli {

void error(const std::string &message) {
  clear_progress();
  std::fprintf(stderr, "tarsk: %s\n", message.c_str());
}

void notice(const std::string &message) {
  clear_progress();
  std::fprintf(stderr, "tarsk: %s\n", message.c_str());
}

void warning(const std::string &message) {
  clear_progress();
  std::fprintf(stderr, "tarsk: warning: %s\n", message.c_str());
}

std::string system_name(tarsk_system system) {
  switch (system) {
    case TARSK_SYSTEM_625_50:
      return "625/50 (PAL)";
    case TARSK_SYSTEM_525_60:
      return "525/60 (NTSC)";
  }
  return "unknown";
}

std::string standard_name(bool smpte_314m) { return smpte_314m ? "SMPTE 314M" : "IEC 61834"; }

std::string sampling_name(tarsk_sampling sampling) {
  switch (sampling) {
    case TARSK_SAMPLING_411:
      return "4:1:1";
    case TARSK_SAMPLING_420:
      return "4:2:0";
    case TARSK_SAMPLING_422:
      return "4:2:2";
  }
  return "unknown";
}

std::optional<uint64_t> parse_count(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
    return std::nullopt;
  return std::stoull(text);
}

std::optional<int> parse_threads(const std::string &text) {
  const auto n = parse_count(text);
  if (!n || *n < 1 || *n > 64) return std::nullopt;
  return static_cast<int>(*n);
}

bool parse_frame_range(const std::string &text, uint64_t &first, uint64_t &end) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    const auto n = parse_count(text);
    if (!n) return false;
    first = *n;
    end = *n + 1;
    return true;
  }
  const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
  const auto from = a.empty() ? std::optional<uint64_t>(0) : parse_count(a);
  const auto to = b.empty() ? std::optional<uint64_t>(UINT64_MAX) : parse_count(b);
  if (!from || !to || *from >= *to) return false;
  first = *from;
  end = *to;
  return true;
}

Rate frame_rate(tarsk_system system) {
  return system == TARSK_SYSTEM_625_50 ? Rate{25, 1} : Rate{30000, 1001};
}

uint64_t samples_before(uint64_t frames, int frequency, tarsk_system system) {
  const Rate rate = frame_rate(system);
  return frames * static_cast<uint64_t>(frequency) * static_cast<uint64_t>(rate.den) /
         static_cast<uint64_t>(rate.num);
}

namespace {

// popt's callback for -y and -n: the last one given counts.
void overwrite_callback(poptContext, enum poptCallbackReason, const poptOption *option,
                        const char *, const void *) {
  set_overwrite(option->val == 'y');
}

}  // namespace

const poptOption overwrite_options[] = {
    {nullptr, '\0', POPT_ARG_CALLBACK, reinterpret_cast<void *>(overwrite_callback), 0, nullptr,
     nullptr},
    {"overwrite", 'y', POPT_ARG_NONE, nullptr, 'y', "replace output files that exist", nullptr},
    {"no-overwrite", 'n', POPT_ARG_NONE, nullptr, 'n',
     "stop rather than replace an existing file, as without -y", nullptr},
    POPT_TABLEEND};

std::optional<int> word_value(const char *command, const char *name, const std::string &value,
                              std::initializer_list<const char *> words) {
  int i = 0;
  for (const char *w : words) {
    if (value == w) return i;
    ++i;
  }
  std::string list;
  size_t n = 0;
  for (const char *w : words) {
    if (n > 0) list += n + 1 == words.size() ? " or " : ", ";
    list += w;
    ++n;
  }
  error(std::string(command) + ": --" + name + " takes " + list + ", not '" + value + "'");
  return std::nullopt;
}

Status usage_error(const std::string &command, const std::string &message) {
  error(command + ": " + message);
  std::fprintf(stderr, "Try 'tarsk %s --help' for more information.\n", command.c_str());
  return bad_usage;
}

std::string duration_text(uint64_t frames, tarsk_system system) {
  const Rate rate = frame_rate(system);
  const uint64_t ms =
      frames * 1000 * static_cast<uint64_t>(rate.den) / static_cast<uint64_t>(rate.num);
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64,
                ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

std::string timecode_text(const tarsk_frame_info &info) {
  if (!info.has_timecode) return {};
  const tarsk_timecode &t = info.timecode;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", t.hours, t.minutes, t.seconds,
                t.drop_frame ? ';' : ':', t.frames);
  return text;
}

}  // namespace tarsk::cli
