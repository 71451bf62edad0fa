// tarsk dub over transfers of two marked recordings (support/transfer.h):
// every DIF block but the audio blocks' sound comes out byte for byte, the
// recorder's AAUX source control, date and time packs and so the recording
// start flags stay, and the sound read back by our decoder is the WAV's
// (16-bit exactly; 12-bit as the plain twin of the code quantises it),
// frame after frame at the locked counts, silence after a short WAV; ffmpeg
// reads the same sound from the dubbed file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli/tool.h"
#include "common/dif.h"
#include "support/transfer.h"
#include "support/twelve_bit.h"
#include "support/wav.h"

namespace tarsk::test {
namespace {

namespace fs = std::filesystem;
namespace dif = tarsk::dif;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// A transfer of two recordings, each marked at its start: 4 + 4 frames of
// 625/50 or 10 + 5 of 525/60 (a whole number of 48 and 32 kHz cycles).
Bytes transfer(tarsk_system system) {
  const bool pal = system == TARSK_SYSTEM_625_50;
  return make_transfer(
      {Recording{.frames = pal ? 4 : 10, .system = system},
       Recording{.frames = pal ? 4 : 5, .timecode = 5000, .date = 1700100000, .system = system}});
}

// The channels of every frame, one after another.
std::vector<Samples> decoded(const Bytes &stream) {
  std::vector<Samples> out(4);
  tarsk::Decoder d;
  for (auto frame : split_frames(stream)) {
    auto audio = d.decode_audio(frame);
    EXPECT_TRUE(audio);
    if (!audio) break;
    for (size_t c = 0; c < audio->channels.size(); ++c)
      out[c].insert(out[c].end(), audio->channels[c].begin(), audio->channels[c].end());
  }
  return out;
}

// What may differ between a frame and its dub: the sound bytes of the
// audio blocks, and their pack slots but for the recorder's packs.
void expect_only_sound_changed(const Bytes &in, const Bytes &out) {
  ASSERT_EQ(in.size(), out.size());
  size_t differing = 0;
  for (size_t at = 0; at < in.size(); at += dif::block_size) {
    const uint8_t *a = &in[at], *b = &out[at];
    if (dif::section_of(a) != dif::Section::audio) {
      differing += std::memcmp(a, b, dif::block_size) != 0;
      continue;
    }
    differing += std::memcmp(a, b, dif::aaux_pack_offset) != 0;  // the block ID
    const uint8_t id = a[dif::aaux_pack_offset];
    if (id >= 0x51 && id <= 0x53)
      differing += std::memcmp(a + dif::aaux_pack_offset, b + dif::aaux_pack_offset, 5) != 0;
  }
  EXPECT_EQ(differing, 0u) << "blocks the dub must leave alone";
}

std::vector<int> recording_starts(const Bytes &stream) {
  tarsk::Decoder d;
  std::vector<int> starts;
  for (auto frame : split_frames(stream)) {
    auto facts = d.inspect(frame);
    starts.push_back(facts ? facts->recording_start : -2);
  }
  return starts;
}

struct Dub {
  CommandResult run;
  Bytes out;
};
Dub dub(const fs::path &in, const fs::path &out, std::vector<std::string> options) {
  std::vector<std::string> args = {"dub", in.string(), "-o", out.string(), "-q", "-y"};
  args.insert(args.end(), options.begin(), options.end());
  Dub d{run_tarsk(args), {}};
  if (fs::exists(out)) d.out = read_file(out);
  return d;
}

TEST(Dub, NewSoundAndEverythingElseAsItWas) {
  struct Case {
    tarsk_system system;
    int bits, rate, total;      // total: sample frames of the whole transfer at the rate
    std::vector<int> channels;  // of each --audio file
    bool short_sound;           // the (last) file ends before the frames do
  };
  const Case cases[] = {
      {TARSK_SYSTEM_625_50, 16, 48000, 15360, {2}, true},
      {TARSK_SYSTEM_525_60, 16, 48000, 24024, {1}, false},
      {TARSK_SYSTEM_625_50, 12, 32000, 10240, {4}, false},
      {TARSK_SYSTEM_525_60, 12, 32000, 16016, {2, 2}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels.size()) +
                 " files, " + (c.system == TARSK_SYSTEM_625_50 ? "625/50" : "525/60"));
    const fs::path dir = fresh_dir();
    const Bytes input = transfer(c.system);
    write_bytes(dir / "in.dv", input);
    std::vector<std::string> options = {"--audio-bits", std::to_string(c.bits)};
    std::vector<int> lengths;
    for (size_t f = 0; f < c.channels.size(); ++f) {
      const bool last = f + 1 == c.channels.size();
      lengths.push_back(last && c.short_sound ? c.total / 3 : c.total + 500);
      options.push_back("--audio");
      options.push_back(signal_wav(dir, "s" + std::to_string(f) + ".wav", c.channels[f],
                                   static_cast<int>(2 * f), lengths.back(), c.rate)
                            .string());
    }
    const Dub d = dub(dir / "in.dv", dir / "out.dv", options);
    ASSERT_EQ(d.run.exit_status, 0) << d.run.err;
    EXPECT_NE(d.run.err.find(c.short_sound ? "runs out" : "the rest is left out"),
              std::string::npos)
        << d.run.err;
    expect_only_sound_changed(input, d.out);
    const std::vector<int> starts = recording_starts(input);
    EXPECT_EQ(std::count(starts.begin(), starts.end(), 1), 2);
    EXPECT_EQ(recording_starts(d.out), starts);

    // Channel ch comes from file ch / 2 (a file of four: all), channel
    // ch % 2 of it (a mono file: its only one); -32768, the error code of
    // 16-bit sound, is written as -32767.
    const std::vector<Samples> got = decoded(d.out);
    for (int ch = 0; ch < (c.bits == 12 ? 4 : 2); ++ch) {
      const size_t file = c.channels[0] == 4 ? 0 : static_cast<size_t>(ch / 2);
      const int source = c.channels[0] == 1 ? 0 : ch;
      Samples want;
      for (int n = 0; n < c.total; ++n) {
        int16_t s = 0;
        if (file < lengths.size() && n < lengths[file]) {
          s = signal(source, n);
          s = c.bits == 12 ? twin().quantised(s) : s == -32768 ? int16_t{-32767} : s;
        }
        want.push_back(s);
      }
      EXPECT_EQ(got[static_cast<size_t>(ch)], want) << "channel " << ch;
    }
    const std::vector<uint8_t> theirs = ffmpeg_audio_s16le(dir / "out.dv");
    Samples ours;
    for (size_t i = 0; i < got[0].size(); ++i) {
      ours.push_back(got[0][i]);
      ours.push_back(got[1][i]);
    }
    ASSERT_EQ(theirs.size(), 2 * ours.size());
    EXPECT_EQ(std::memcmp(theirs.data(), ours.data(), theirs.size()), 0) << "ffmpeg's pair 1";
  }
}

// --pair 2 over 12-bit sound: the first pair's audio blocks stay byte for
// byte, the second pair is the new sound, at the original's sample counts.
TEST(Dub, SecondPairOnlyKeepsTheFirst) {
  const fs::path dir = fresh_dir();
  write_bytes(dir / "in.dv", transfer(TARSK_SYSTEM_625_50));
  const auto a = signal_wav(dir, "a.wav", 2, 0, 20000, 32000);
  const auto b = signal_wav(dir, "b.wav", 2, 2, 20000, 32000);
  const Dub first =
      dub(dir / "in.dv", dir / "12.dv", {"--audio-bits", "12", "--audio", a.string()});
  ASSERT_EQ(first.run.exit_status, 0) << first.run.err;
  const Dub second = dub(dir / "12.dv", dir / "out.dv", {"--pair", "2", "--audio", b.string()});
  ASSERT_EQ(second.run.exit_status, 0) << second.run.err;
  expect_only_sound_changed(first.out, second.out);
  size_t moved = 0;
  const size_t frame = 144000;
  for (size_t f = 0; f < first.out.size(); f += frame)
    for (int s = 0; s < 6; ++s)
      for (int blk = 0; blk < 9; ++blk) {
        const size_t at = f + dif::audio_offset(s, blk);
        moved += std::memcmp(&first.out[at], &second.out[at], dif::block_size) != 0;
      }
  EXPECT_EQ(moved, 0u) << "first-pair audio blocks changed";
  const std::vector<Samples> got = decoded(second.out);
  for (int ch = 0; ch < 4; ++ch) {
    Samples want;
    for (int n = 0; n < 10240; ++n) want.push_back(twin().quantised(signal(ch, n)));
    EXPECT_EQ(got[static_cast<size_t>(ch)], want) << "channel " << ch;
  }
}

// A frame the reader had to mend (a video block missing) goes out as read,
// with its old sound and a warning naming it; the frames after it keep
// their place in the new sound.
TEST(Dub, RepairedFrameWrittenAsRead) {
  const fs::path dir = fresh_dir();
  Bytes input = transfer(TARSK_SYSTEM_625_50);
  const size_t frame = 144000, damaged = 2;
  const Bytes clean_frame(input.begin() + damaged * frame, input.begin() + (damaged + 1) * frame);
  const size_t cut = damaged * frame + dif::block_offset(3, 40);
  input.erase(input.begin() + static_cast<long>(cut),
              input.begin() + static_cast<long>(cut + dif::block_size));
  write_bytes(dir / "in.dv", input);
  const auto wav = signal_wav(dir, "a.wav", 2, 0, 15360, 48000);
  const Dub d = dub(dir / "in.dv", dir / "out.dv", {"--audio", wav.string()});
  ASSERT_EQ(d.run.exit_status, 0) << d.run.err;
  EXPECT_NE(d.run.err.find("frame 2: 1 DIF blocks were missing; written as read"),
            std::string::npos)
      << d.run.err;
  ASSERT_EQ(d.out.size(), 8 * frame);
  for (int s = 0; s < 12; ++s)
    for (int blk = 0; blk < 9; ++blk) {
      const size_t at = dif::audio_offset(s, blk);
      EXPECT_EQ(std::memcmp(&d.out[damaged * frame + at], &clean_frame[at], dif::block_size), 0);
    }
  tarsk::Decoder dec;
  auto after = dec.decode_audio(std::span<const uint8_t>(d.out).subspan(3 * frame, frame));
  ASSERT_TRUE(after);
  EXPECT_EQ(after->channels[1][0], signal(1, 3 * 1920));
}

// DV in a container dubs as raw DV does, and dubs into one: the frames
// come out the same whatever holds them.
TEST(Dub, ContainersInAndOut) {
  const fs::path dir = fresh_dir();
  write_bytes(dir / "in.dv", transfer(TARSK_SYSTEM_625_50));
  const auto wav = signal_wav(dir, "a.wav", 2, 0, 15360, 48000);
  ASSERT_EQ(
      run_tarsk({"remux", (dir / "in.dv").string(), "-o", (dir / "in.avi").string()}).exit_status,
      0);
  const Dub raw = dub(dir / "in.dv", dir / "raw.dv", {"--audio", wav.string()});
  const Dub from_avi = dub(dir / "in.avi", dir / "avi.dv", {"--audio", wav.string()});
  const Dub to_mov = dub(dir / "in.dv", dir / "out.mov", {"--audio", wav.string()});
  ASSERT_EQ(to_mov.run.exit_status, 0) << to_mov.run.err;
  ASSERT_EQ(
      run_tarsk({"remux", (dir / "out.mov").string(), "-o", (dir / "mov.dv").string()}).exit_status,
      0);
  ASSERT_EQ(raw.out.size(), 8u * 144000);
  EXPECT_TRUE(from_avi.out == raw.out) << from_avi.run.err;
  EXPECT_TRUE(read_file(dir / "mov.dv") == raw.out);
}

TEST(Dub, RefusalsSayWhy) {
  const fs::path dir = fresh_dir();
  write_bytes(dir / "in.dv", transfer(TARSK_SYSTEM_625_50));
  const std::string s48 = signal_wav(dir, "a.wav", 2, 0, 100, 48000).string();
  write_bytes(dir / "exists.dv", {1, 2, 3});
  struct Refusal {
    std::vector<std::string> args;
    int status;
    const char *says;
  };
  const std::string in = (dir / "in.dv").string(), out = (dir / "out.dv").string();
  const Refusal refusals[] = {
      {{"dub", in, "-o", out}, 2, "--audio"},
      {{"dub", in, "-o", out, "--audio", s48, "--audio-bits", "12"}, 1, "-ar 32000"},
      {{"dub", in, "-o", out, "--audio", s48, "--pair", "2"}, 1, "-ar 32000"},
      {{"dub", in, "-o", out, "--audio", s48, "--pair", "1"}, 2, "--pair"},
      {{"dub", in, "-o", (dir / "exists.dv").string(), "--audio", s48}, 1, "-y"},
  };
  for (const Refusal &f : refusals) {
    const CommandResult r = run_tarsk(f.args);
    EXPECT_EQ(r.exit_status, f.status) << quoted(f.args) << "\n" << r.err;
    EXPECT_NE(r.err.find(f.says), std::string::npos) << quoted(f.args) << "\n" << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "out.dv"));
  EXPECT_EQ(read_file(dir / "exists.dv").size(), 3u);
  // A 16-bit original has no second pair to dub.
  const std::string s32 = signal_wav(dir, "b.wav", 2, 0, 100, 32000).string();
  const CommandResult r = run_tarsk({"dub", in, "-o", out, "--audio", s32, "--pair", "2"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("frame 0: --pair 2 dubs the second pair of 12-bit sound"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "out.dv"));
  EXPECT_NE(run_tarsk({"--help"}).out.find("dub IN.dv"), std::string::npos);
}

}  // namespace
}  // namespace tarsk::test
