// What the parts of the tarsk command share: exit statuses, messages for a
// person, option parsing with popt, and the subcommands' entry points.
#pragma once

#include <popt.h>
#include <tarsk/tarsk.h>
#include <tarsk/tarsk.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarsk::cli {

// Exit statuses: a script can tell a bad file from a bad command line.
enum Status { ok = 0, bad_input = 1, bad_usage = 2 };

// "tarsk: MESSAGE" and "tarsk: warning: MESSAGE" on standard error.
void error(const std::string &message);
void warning(const std::string &message);
// "tarsk: MESSAGE": what a run chose, for a person to know.
void notice(const std::string &message);

// A bad command line: "tarsk: COMMAND: MESSAGE", then where the
// command's help is; returns bad_usage.
Status usage_error(const std::string &command, const std::string &message);

// -y (--overwrite) and -n (--no-overwrite), for every command that writes
// files: include them in its table with OVERWRITE_OPTIONS.
extern const poptOption overwrite_options[];
#define OVERWRITE_OPTIONS                                                              \
  {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, const_cast<poptOption *>(overwrite_options), 0, \
   "Existing files:", nullptr}

// Parses a subcommand's arguments (argv[0] is the subcommand's name) with
// popt. `handle` is called for every option whose table entry has a
// nonzero val, with its argument (empty when it takes none); it returns
// false after reporting a bad value. The positional arguments come back in
// `args`. Returns ok, or bad_usage after saying why.
struct ParsedArgs {
  std::vector<std::string> args;
};
template <typename Handler>
Status parse_options(int argc, const char **argv, const poptOption *table, const char *usage,
                     ParsedArgs &parsed, Handler handle);

// An option's word value: the index of `value` among `words`; nothing, after
// "tarsk: COMMAND: --NAME takes a, b or c, not 'value'", for another word.
std::optional<int> word_value(const char *command, const char *name, const std::string &value,
                              std::initializer_list<const char *> words);

// A count of frames or the like: digits only, at most 18 of them.
std::optional<uint64_t> parse_count(const std::string &text);
// A --threads value: 1 to 64; nothing for anything else.
std::optional<int> parse_threads(const std::string &text);
// A range of frames, counted from 0: "N", "A:B" (A up to B, B not
// included), "A:" or ":B"; `end` is UINT64_MAX when open. False, with
// first and end untouched, for anything else or an empty range.
bool parse_frame_range(const std::string &text, uint64_t &first, uint64_t &end);

// The tool's own failures (files it reads and writes, pictures it
// converts) as the library's errors: a value or an Error, whose message says
// why for a person.
struct Failure : Error {
  explicit Failure(std::string message) : Error{Errc::io, std::move(message)} {}
};
template <typename T>
using Result = Expected<T>;

// Names a person reads.
std::string system_name(tarsk_system system);        // "625/50 (PAL)"
std::string standard_name(bool smpte_314m);          // "IEC 61834"
std::string sampling_name(tarsk_sampling sampling);  // "4:2:0"

// Frame rate of a system as a fraction: 25/1 or 30000/1001.
struct Rate {
  int num, den;
};
Rate frame_rate(tarsk_system system);

// Audio samples a channel carries over frames [0, frames) at `frequency`:
// the whole part of frames x frequency / frame rate. The difference of two
// such counts is a frame's share, so that silence put in for lost frames
// never drifts from the pictures.
uint64_t samples_before(uint64_t frames, int frequency, tarsk_system system);
// How long `frames` frames of a system last: "HH:MM:SS.mmm".
std::string duration_text(uint64_t frames, tarsk_system system);

int run_info(int argc, const char **argv);
int run_decode(int argc, const char **argv);
int run_encode(int argc, const char **argv);
int run_remux(int argc, const char **argv);
int run_analyze(int argc, const char **argv);
int run_split(int argc, const char **argv);
int run_merge(int argc, const char **argv);
int run_dub(int argc, const char **argv);

// ---------------------------------------------------------------------------

template <typename Handler>
Status parse_options(int argc, const char **argv, const poptOption *table, const char *usage,
                     ParsedArgs &parsed, Handler handle) {
  // popt's help names the program by argv[0]: "tarsk decode", not "decode".
  const std::string program = std::string("tarsk ") + argv[0];
  std::vector<const char *> args(argv, argv + argc);
  args[0] = program.c_str();
  poptContext con = poptGetContext(argv[0], argc, args.data(), table, 0);
  poptSetOtherOptionHelp(con, usage);
  Status status = ok;
  int rc;
  while ((rc = poptGetNextOpt(con)) > 0) {
    // popt hands over a copy of the argument that the caller frees.
    char *arg = poptGetOptArg(con);
    const std::string value = arg != nullptr ? arg : "";
    std::free(arg);
    if (!handle(rc, value)) {
      status = bad_usage;
      break;
    }
  }
  if (status == ok && rc < -1) {
    error(std::string(argv[0]) + ": " + poptBadOption(con, POPT_BADOPTION_NOALIAS) + ": " +
          poptStrerror(rc));
    status = bad_usage;
  }
  if (status == ok)
    while (const char *arg = poptGetArg(con)) parsed.args.emplace_back(arg);
  poptFreeContext(con);
  if (status != ok) std::fprintf(stderr, "Try 'tarsk %s --help' for more information.\n", argv[0]);
  return status;
}

// A frame's time code as time codes are written: "HH:MM:SS:FF", with ';'
// before the frame number for drop-frame time code ("00:01:00;02"); empty
// when the frame has none.
std::string timecode_text(const tarsk_frame_info &info);

}  // namespace tarsk::cli
