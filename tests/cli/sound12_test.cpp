// tarsk encode --audio-bits 12: one stereo pair, two (a file each, the
// shorter padded with silence) or one file of four channels, in both
// systems. Oracle: the plain twin of the 12-bit code (support/twelve_bit.h)
// over a signal crossing every segment; the frames read back by the
// library's decoder. And the refusals, each with its exit status and what
// its message must tell.
#include <gtest/gtest.h>

#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli/tool.h"
#include "support/twelve_bit.h"
#include "support/wav.h"

namespace tarsk::test {
namespace {

namespace fs = std::filesystem;
using Samples = std::vector<int16_t>;

// The four channels of every frame of a DV file, one after another.
std::vector<Samples> decoded_channels(const fs::path &path) {
  std::vector<Samples> out(4);
  tarsk::Decoder d;
  const std::vector<uint8_t> bytes = read_file(path);
  for (auto frame : split_frames(bytes)) {
    auto audio = d.decode_audio(frame);
    EXPECT_TRUE(audio);
    if (!audio) break;
    EXPECT_EQ(audio->quantization, 12);
    for (size_t c = 0; c < 4 && c < audio->channels.size(); ++c)
      out[c].insert(out[c].end(), audio->channels[c].begin(), audio->channels[c].end());
  }
  return out;
}

TEST(EncodeSound12, PairsComeBackAsTheNearestCodes) {
  struct Case {
    const char *system;
    const char *duration;
    int total;                  // sample frames of 32 kHz sound in the run
    std::vector<int> channels;  // of each --audio file
  };
  // 10 frames of 625/50, 15 of 525/60 (16016 samples: a whole cycle).
  const Case cases[] = {{"pal", "0.4", 12800, {2}},
                        {"pal", "0.4", 12800, {2, 2}},
                        {"ntsc", "0.5", 16016, {4}},
                        {"ntsc", "0.5", 16016, {2, 2}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.system) + ", " + std::to_string(c.channels.size()) + " files of " +
                 std::to_string(c.channels[0]) + " channels");
    const fs::path dir = fresh_dir();
    std::vector<std::string> args = {"encode",
                                     "--test-pattern",
                                     "--duration",
                                     c.duration,
                                     "--system",
                                     c.system,
                                     "--audio-bits",
                                     "12",
                                     "-q",
                                     "-o",
                                     (dir / "out.dv").string()};
    // A second file is half as long: the rest of pair 2 is silence.
    std::vector<int> lengths;
    for (size_t f = 0; f < c.channels.size(); ++f) {
      lengths.push_back(f == 0 ? c.total + 100 : c.total / 2);
      args.push_back("--audio");
      args.push_back(signal_wav(dir, "s" + std::to_string(f) + ".wav", c.channels[f],
                                static_cast<int>(2 * f), lengths.back())
                         .string());
    }
    const CommandResult r = run_tarsk(args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("pair 2") != std::string::npos, c.channels.size() == 2) << r.err;
    const std::vector<Samples> got = decoded_channels(dir / "out.dv");
    for (int ch = 0; ch < 4; ++ch) {
      const size_t file = c.channels[0] == 4 ? 0 : static_cast<size_t>(ch / 2);
      Samples want;
      for (int n = 0; n < c.total; ++n)
        want.push_back(file < lengths.size() && n < lengths[file] ? twin().quantised(signal(ch, n))
                                                                  : 0);
      EXPECT_EQ(got[static_cast<size_t>(ch)], want) << "channel " << ch;
    }
  }
}

TEST(EncodeSound12, RefusalsSayWhy) {
  const fs::path dir = fresh_dir();
  const std::string s32 = signal_wav(dir, "a.wav", 2, 0, 3200).string();
  const std::string s48 = signal_wav(dir, "b.wav", 2, 0, 4800, 48000).string();
  const std::string quad = signal_wav(dir, "q.wav", 4, 0, 3200).string();
  struct Refusal {
    std::vector<std::string> args;
    int status;
    const char *says;
  };
  const Refusal refusals[] = {
      {{"--audio-bits", "12", "--audio", s48}, 1, "-ar 32000"},
      {{"--audio", s32, "--audio", s32}, 2, "--audio-bits 12"},
      {{"--audio", quad}, 1, "four channels with --audio-bits 12"},
      {{"--audio-bits", "12", "--audio", quad, "--audio", s32}, 1, "as the only --audio"},
      {{"--audio-bits", "12", "--audio", s32, "--audio", s32, "--audio", s32},
       2,
       "two stereo pairs"},
      {{"--audio-bits", "14"}, 2, "16 or 12"},
  };
  for (const Refusal &f : refusals) {
    std::vector<std::string> args = {"encode", "--test-pattern",         "--duration", "0.1",
                                     "-o",     (dir / "out.dv").string()};
    args.insert(args.end(), f.args.begin(), f.args.end());
    const CommandResult r = run_tarsk(args);
    EXPECT_EQ(r.exit_status, f.status) << quoted(args) << "\n" << r.err;
    EXPECT_NE(r.err.find(f.says), std::string::npos) << quoted(args) << "\n" << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.dv"));
  }
  EXPECT_NE(run_tarsk({"encode", "--help"}).out.find("--audio-bits"), std::string::npos);
}

}  // namespace
}  // namespace tarsk::test
