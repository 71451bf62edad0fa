// tarsk: the command-line face of the library. `tarsk info` describes DV
// files, `tarsk decode` turns them into pictures and sound, `tarsk encode`
// makes them.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "container.h"

// The project's version, which the build gives (TARSK_VERSION of tarsk.h
// is the library's).
#ifndef TARSK_TOOL_VERSION
#define TARSK_TOOL_VERSION "unknown"
#endif

namespace {

void print_help(FILE *out) {
  std::fputs(
      "Usage: tarsk COMMAND [OPTION...] FILE...\n"
      "DV video files: what they hold, and their pictures and sound.\n"
      "\n"
      "Commands:\n"
      "  info [--json] [--frames] FILE...  describe DV files\n"
      "  decode FILE -o OUT [--audio WAV]   decode to Y4M, raw video, PNG or PPM, and WAV\n"
      "  encode IN -o OUT.dv [--audio SND]  encode Y4M, PNG, PPM, PGM or raw pictures and sound\n"
      "                                     (OUT.avi, .mov or .mkv: DV in that container)\n"
      "  encode --test-pattern -o OUT.dv    encode a moving test pattern with a tone\n"
      "  remux IN -o OUT                    rewrap DV between raw .dv, .avi, .mov and .mkv\n"
      "  analyze FILE [--csv|--json] [--map OUT.png]\n"
      "                                     a transfer frame by frame: recordings, clocks, damage\n"
      "  split FILE -o PIECE%03d.dv         cut a tape's transfer where recordings begin\n"
      "  merge A B [C...] -o OUT            combine transfers of one tape, the least damage\n"
      "                                     of each frame kept (--log CSV: where from)\n"
      "  dub IN.dv --audio SND -o OUT.dv    new sound for a DV file, its pictures untouched\n"
      "                                     (--audio-bits 12; --pair 2: the second pair only)\n"
      "\n"
      "  -h, --help     this help; 'tarsk COMMAND --help' lists a command's options\n"
      "      --version  the versions of the tool and of the library it runs with\n"
      "\n"
      "Exit status: 0 done, 1 bad input or output failed, 2 bad command line.\n",
      out);
  if (!tarsk::cli::containers_built())
    std::fputs("\nThis tarsk was built without libavformat: it reads and writes raw DV only.\n",
               out);
}

}  // namespace

int main(int argc, char **argv) {
  using namespace tarsk::cli;
  if (argc < 2) {
    print_help(stderr);
    return bad_usage;
  }
  const std::string command = argv[1];
  // The subcommand sees its own name as argv[0], as popt expects.
  const char **rest = const_cast<const char **>(argv + 1);
  if (command == "info") return run_info(argc - 1, rest);
  if (command == "decode") return run_decode(argc - 1, rest);
  if (command == "encode") return run_encode(argc - 1, rest);
  if (command == "remux") return run_remux(argc - 1, rest);
  if (command == "analyze") return run_analyze(argc - 1, rest);
  if (command == "split") return run_split(argc - 1, rest);
  if (command == "merge") return run_merge(argc - 1, rest);
  if (command == "dub") return run_dub(argc - 1, rest);
  if (command == "-h" || command == "--help" || command == "help") {
    print_help(stdout);
    return ok;
  }
  if (command == "--version") {
    // The tool, and the library it runs with (which may be another build).
    std::printf("tarsk %s (library %s)\n", TARSK_TOOL_VERSION, tarsk_version_string());
    return ok;
  }
  error("unknown command '" + command +
        "'; the commands are info, decode, encode, remux, analyze, split, merge and dub");
  std::fputs("Try 'tarsk --help' for more information.\n", stderr);
  return bad_usage;
}
