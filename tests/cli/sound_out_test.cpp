// tarsk decode's sound files: 4-channel (12-bit) sound as one WAV naming
// its speakers, as chosen channels, or as a file per stereo pair. The
// frames carry 12-bit codes written into ffmpeg's pictures; what the
// library's own tarsk_decode_audio makes of them is the oracle for the
// samples, the WAV headers are read byte by byte and by ffprobe. And the
// progress line encode shows on a terminal, with the total its input
// tells, and the summary that stays.
#include <gtest/gtest.h>
#include <tarsk/tarsk.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli/tool.h"
#include "support/frame_builder.h"

namespace tarsk::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_all(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le(const std::vector<uint8_t> &b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<size_t>(i));
  return v;
}

// Three 625/50 frames: ffmpeg's pictures, and 32 kHz 12-bit sound of four
// channels, each channel and frame its own ramp of codes.
const MadeDv &four_channel_dv() {
  return made_dv("SoundOutFourChannel", [] {
    const MadeDv &base = made_dv("SoundOutBase", {.frames = 3});
    std::vector<uint8_t> file;
    for (size_t f = 0; f < base.frames.size(); ++f) {
      FrameBuilder b(e_dv_system_625_50);
      with_audio_packs(b, aaux_source(16, true, 1, 2, 1), aaux_source_control(0x20));
      std::vector<int> codes[4];
      for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 1280; ++i) {
          const int code = (i * (c + 3) + 700 * c + 311 * static_cast<int>(f)) % 4096;
          codes[c].push_back(code == 0x800 ? 0x7ff : code);  // 0x800 marks an error
        }
      write_audio_12(b, codes);
      std::vector<uint8_t> frame(base.frames[f].begin(), base.frames[f].end());
      for (int s = 0; s < 12; ++s)
        for (int a = 0; a < 9; ++a) {
          const auto at = static_cast<size_t>(dif::audio_offset(s, a));
          std::memcpy(&frame[at], &b.bytes()[at], dif::block_size);
        }
      file.insert(file.end(), frame.begin(), frame.end());
    }
    const fs::path path = scratch_file("four.dv");
    write_bytes(path, file);
    return path;
  });
}

// The sound of every frame as the library decodes it: channels[c][i].
std::vector<std::vector<int16_t>> library_sound(const MadeDv &dv) {
  tarsk_decoder_settings settings;
  tarsk_decoder_default_settings(&settings);
  tarsk_decoder *decoder = nullptr;
  EXPECT_EQ(tarsk_decoder_open(&decoder, &settings), TARSK_OK);
  std::vector<std::vector<int16_t>> channels;
  std::vector<int16_t> samples(TARSK_AUDIO_MAX_FRAMES * 4);
  for (const auto &frame : dv.frames) {
    tarsk_audio audio{};
    EXPECT_EQ(tarsk_decode_audio(decoder, frame.data(), frame.size(), samples.data(),
                                 samples.size(), &audio),
              TARSK_OK);
    channels.resize(static_cast<size_t>(audio.channels));
    for (size_t i = 0; i < static_cast<size_t>(audio.frames * audio.channels); ++i)
      channels[i % channels.size()].push_back(samples[i]);
  }
  tarsk_decoder_close(&decoder);
  return channels;
}

// The chosen channels interleaved, as little-endian bytes.
std::vector<uint8_t> interleave(const std::vector<std::vector<int16_t>> &sound,
                                const std::vector<int> &pick) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < sound.at(0).size(); ++i)
    for (const int c : pick) {
      const auto v = static_cast<uint16_t>(sound.at(static_cast<size_t>(c)).at(i));
      out.push_back(static_cast<uint8_t>(v));
      out.push_back(static_cast<uint8_t>(v >> 8));
    }
  return out;
}

// What a WAV says of itself: format tag (1 PCM, 0xfffe extensible),
// channels, channel mask (0 without one), the samples, and its sizes.
struct Wav {
  uint32_t tag = 0, channels = 0, mask = 0, riff_size = 0, data_size = 0;
  std::vector<uint8_t> data;
};
Wav read_wav(const std::vector<uint8_t> &b) {
  Wav w;
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  w.riff_size = le(b, 4, 4);
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
    const uint32_t size = le(b, at + 4, 4);
    if (id == "fmt ") {
      w.tag = le(b, at + 8, 2);
      w.channels = le(b, at + 10, 2);
      if (w.tag == 0xfffe) w.mask = le(b, at + 28, 4);
    } else if (id == "data") {
      w.data_size = size;
      w.data.assign(b.begin() + static_cast<long>(at) + 8, b.end());
      break;
    }
    at += 8 + size;
  }
  return w;
}

std::string probe_layout(const fs::path &path) {
  return run_ffprobe({"-v", "error", "-show_entries", "stream=channels,channel_layout", "-of",
                      "compact=p=0", path});
}

TEST(SoundOut, FourChannelSoundAsLayoutChosenChannelsOrPairs) {
  const MadeDv &dv = four_channel_dv();
  const auto sound = library_sound(dv);
  ASSERT_EQ(sound.size(), 4u);
  ASSERT_EQ(sound[0].size(), 3u * 1280);
  struct Case {
    std::vector<std::string> args;  // after the input; $O the output
    std::vector<int> pick;          // channels expected, from 0
    uint32_t tag, mask;
    std::string probed;  // ffprobe's channels and layout
  };
  const Case cases[] = {
      {{"--audio", "$O"}, {0, 1, 2, 3}, 0xfffe, 0x33, "channels=4|channel_layout=quad"},
      {{"--audio", "$O", "--audio-channels", "1,2"}, {0, 1}, 1, 0, "channels=2|channel_layout=unknown"},
      {{"--audio", "$O", "--audio-channels", "3,4"}, {2, 3}, 1, 0, "channels=2|channel_layout=unknown"},
      {{"--audio", "$O", "--audio-channels", "4,1"}, {3, 0}, 1, 0, "channels=2|channel_layout=unknown"},
      {{"--audio", "$O", "--audio-channels", "2"}, {1}, 1, 0, "channels=1|channel_layout=unknown"},
      {{"--audio", "$O", "--audio-channels", "1,3,4"}, {0, 2, 3}, 0xfffe, 0x31,
       "channels=3|channel_layout=3 channels (FL+BL+BR)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(quoted(c.args));
    for (const bool piped : {false, true}) {
      const fs::path dir = fresh_dir(), out = dir / "s.wav";
      std::vector<std::string> args = {TARSK_BINARY, "decode", dv.path.string(), "--quiet"};
      for (const auto &a : c.args) args.push_back(a == "$O" ? (piped ? "-" : out.string()) : a);
      const CommandResult run =
          run_command({"sh", "-c", quoted(args) + (piped ? " | cat > " + quoted({out}) : "")});
      ASSERT_EQ(run.exit_status, 0) << run.err;
      const Wav w = read_wav(read_all(out));
      EXPECT_EQ(w.tag, c.tag);
      EXPECT_EQ(w.channels, c.pick.size());
      EXPECT_EQ(w.mask, c.mask);
      EXPECT_TRUE(w.data == interleave(sound, c.pick));
      // A pipe cannot go back to the header: its sizes stay unknown.
      EXPECT_EQ(w.data_size, piped ? 0xffffffffu : w.data.size());
      EXPECT_EQ(w.riff_size, piped ? 0xffffffffu : read_all(out).size() - 8);
      if (!piped) {
        EXPECT_EQ(probe_layout(out), c.probed + "\n");
      }
    }
    // Raw PCM takes the same channels.
    const fs::path dir = fresh_dir();
    std::vector<std::string> args = {"decode", dv.path.string(), "--audio-format", "pcm"};
    for (const auto &a : c.args) args.push_back(a == "$O" ? (dir / "s.pcm").string() : a);
    ASSERT_EQ(run_tarsk(args).exit_status, 0);
    EXPECT_TRUE(read_all(dir / "s.pcm") == interleave(sound, c.pick));
  }

  // A name with a number: a stereo WAV for each pair, numbered from 1.
  const fs::path dir = fresh_dir();
  const CommandResult run = run_tarsk({"decode", dv.path, "--audio", dir / "pair%d.wav"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(listing(dir), (std::set<std::string>{"pair1.wav", "pair2.wav"}));
  for (const int pair : {0, 1}) {
    const Wav w = read_wav(read_all(dir / ("pair" + std::to_string(pair + 1) + ".wav")));
    EXPECT_EQ(std::pair(w.tag, w.channels), std::pair(1u, 2u));
    EXPECT_TRUE(w.data == interleave(sound, {2 * pair, 2 * pair + 1})) << pair;
  }
}

// Stereo sound comes out as before; a pair or channel it lacks is told.
TEST(SoundOut, StereoSoundHasOnePair) {
  const MadeDv &dv = made_dv("SoundOutStereo", {.frames = 3});
  const fs::path dir = fresh_dir();
  ASSERT_EQ(run_tarsk({"decode", dv.path, "--quiet", "--audio", dir / "all.wav"}).exit_status, 0);
  const CommandResult pairs = run_tarsk({"decode", dv.path, "--audio", dir / "pair%d.wav"});
  ASSERT_EQ(pairs.exit_status, 0) << pairs.err;
  EXPECT_NE(pairs.err.find("the sound has 2 channels; no " + (dir / "pair2.wav").string()),
            std::string::npos)
      << pairs.err;
  EXPECT_EQ(listing(dir), (std::set<std::string>{"all.wav", "pair1.wav"}));
  EXPECT_TRUE(read_all(dir / "pair1.wav") == read_all(dir / "all.wav"));
  const Wav w = read_wav(read_all(dir / "all.wav"));
  EXPECT_EQ(std::pair(w.tag, w.channels), std::pair(1u, 2u));

  const CommandResult missing =
      run_tarsk({"decode", dv.path, "--audio", dir / "back.wav", "--audio-channels", "3,4"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("the sound has 2 channels; no channel 3"), std::string::npos)
      << missing.err;
  EXPECT_EQ(listing(dir).count("back.wav"), 0u);
}

TEST(SoundOut, RefusesBadChannelLists) {
  const MadeDv &dv = made_dv("SoundOutStereo", {.frames = 3});
  const fs::path dir = fresh_dir();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--audio", "a.wav", "--audio-channels", "5"}, "--audio-channels takes"},
      {{"--audio", "a.wav", "--audio-channels", "1,1"}, "--audio-channels takes"},
      {{"--audio", "a.wav", "--audio-channels", "1,"}, "--audio-channels takes"},
      {{"--audio", "a.wav", "--audio-channels", "3,1,2"}, "increasing order"},
      {{"--audio", "a%d.wav", "--audio-channels", "1,2"}, "one or the other"},
      {{"--format", "null", "--audio-channels", "1,2"}, "is for --audio"},
  };
  for (const auto &[extra, message] : cases) {
    SCOPED_TRACE(quoted(extra));
    std::vector<std::string> args = {"decode", dv.path.string()};
    for (const auto &a : extra) args.push_back(a.ends_with(".wav") ? (dir / a).string() : a);
    const CommandResult run = run_tarsk(args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
  EXPECT_TRUE(listing(dir).empty());
}

// On a terminal (script(1) gives one) encode counts toward the pictures
// its input holds, erases the line, and leaves the summary; not on a
// terminal, the summary alone.
TEST(Progress, EncodeKnowsItsTotalAndLeavesASummary) {
  const fs::path dir = fresh_dir();
  run_ffmpeg({"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=720x576:r=25", "-frames:v", "4",
              "-pix_fmt", "yuv420p", "-y", (dir / "in.y4m").string()});
  run_ffmpeg({"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=720x576:r=25", "-frames:v", "3",
              "-y", (dir / "p%d.png").string()});  // numbered from 1
  const std::pair<std::vector<std::string>, int> inputs[] = {
      {{(dir / "in.y4m").string()}, 4},
      {{(dir / "p%d.png").string()}, 3},
      {{"--test-pattern", "--duration", "0.2"}, 5},
  };
  for (const auto &[input, frames] : inputs) {
    SCOPED_TRACE(quoted(input));
    const fs::path out = dir / "out.dv";
    std::vector<std::string> args = {TARSK_BINARY, "encode"};
    args.insert(args.end(), input.begin(), input.end());
    args.insert(args.end(), {"-y", "-o", out.string(), "--threads", "1"});
    const std::string summary = "tarsk: " + out.string() + ": " + std::to_string(frames) +
                                " frames, 0." + std::to_string(frames * 4) +
                                " s of 625/50 (PAL), in ";
    const CommandResult terminal = run_command({"script", "-qec", quoted(args), "/dev/null"});
    ASSERT_EQ(terminal.exit_status, 0) << terminal.out;
    const std::string &shown = terminal.out;
    EXPECT_NE(shown.find(" of " + std::to_string(frames) + ", "), std::string::npos) << shown;
    const size_t erased = shown.rfind("\r\033[K");
    ASSERT_NE(erased, std::string::npos) << shown;
    EXPECT_LT(shown.rfind("fps"), erased) << shown;
    EXPECT_EQ(shown.substr(erased + 4).rfind(summary, 0), 0u) << shown;

    const CommandResult plain = run_command(args);
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_EQ(plain.err.rfind(summary, 0), 0u) << plain.err;
    EXPECT_EQ(plain.err.find("fps"), std::string::npos) << plain.err;
    EXPECT_EQ(std::count(plain.err.begin(), plain.err.end(), '\n'), 1) << plain.err;
  }
}

// decode counts toward a raw DV file's frames by its size, and toward a
// container's by what the container says.
TEST(Progress, DecodeKnowsItsTotal) {
  const MadeDv &dv = made_dv("SoundOutStereo", {.frames = 3});
  const fs::path dir = fresh_dir();
  std::vector<fs::path> files = {dv.path};
  for (const char *form : {"avi", "mkv", "mov"}) {
    files.push_back(dir / (std::string("in.") + form));
    ASSERT_EQ(run_tarsk({"remux", dv.path, "-o", files.back()}).exit_status, 0) << form;
  }
  for (const fs::path &file : files) {
    SCOPED_TRACE(file);
    const CommandResult terminal = run_command(
        {"script", "-qec", quoted({TARSK_BINARY, "decode", file, "--format", "null"}), "/dev/null"});
    ASSERT_EQ(terminal.exit_status, 0) << terminal.out;
    EXPECT_NE(terminal.out.find(" of 3, "), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find(": 3 frames, 0.12 s of 625/50 (PAL), in "), std::string::npos)
        << terminal.out;
  }
}

}  // namespace
}  // namespace tarsk::test
