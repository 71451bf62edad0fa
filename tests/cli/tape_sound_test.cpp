// A tape's sound through tarsk decode: an hour of locked and unlocked sound
// through a pipe, every sample held to what each frame carried; tapes whose
// recordings switch rates, into a file a stretch (exact against what was
// encoded), into one file resampled (its length against the pictures', its
// tone by correlation) and into the sound track of a Matroska or QuickTime
// file (read back by ffmpeg); stereo and 4-channel recordings; and the sound
// line's resampling step by step.
#include "tape_sound.h"  // the tool's

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli/tape_stream.h"
#include "cli/tool.h"
#include "common/dif.h"
#include "support/frame_builder.h"

namespace tarsk::test {
namespace {

namespace fs = std::filesystem;

uint32_t le(const std::vector<uint8_t> &b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<size_t>(i));
  return v;
}

// A WAV's rate, channels, first channel's samples and every channel's.
struct Sound {
  uint32_t rate = 0, channels = 0;
  std::vector<int16_t> left;
  std::vector<std::vector<int16_t>> all;
};
Sound read_wav(const fs::path &path) {
  const std::vector<uint8_t> b = read_file(path);
  Sound s;
  EXPECT_GE(b.size(), 44u) << path;
  if (b.size() < 44) return s;
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
    const uint32_t size = le(b, at + 4, 4);
    if (id == "fmt ") {
      s.channels = le(b, at + 10, 2);
      s.rate = le(b, at + 12, 4);
    } else if (id == "data") {
      s.all.resize(s.channels);
      for (size_t i = at + 8; i + 2 * s.channels <= b.size(); i += 2 * s.channels)
        for (size_t c = 0; c < s.channels; ++c)
          s.all[c].push_back(static_cast<int16_t>(le(b, i + 2 * c, 2)));
      if (s.channels > 0) s.left = s.all[0];
      break;
    }
    at += 8 + size + (size & 1);
  }
  return s;
}

// ---------------------------------------------------------------------------
// An hour of sound, generated frame by frame into a pipe and decoded from
// standard input to raw PCM on standard output, where every sample is
// compared with what the frames carried as it comes. A sanitized build is
// some thirty times slower: it decodes two minutes of the same streams.

#ifndef TARSK_SANITIZED
#define TARSK_SANITIZED 0
#endif
constexpr uint64_t minutes = TARSK_SANITIZED ? 2 : 60;

struct LongCase {
  const char *name;
  tarsk_system system;
  int rate;
  Clock clock;
};

class HourOfSound : public testing::TestWithParam<LongCase> {};

TEST_P(HourOfSound, EverySampleOfEveryFrameStaysInStepWithThePictures) {
  const LongCase &c = GetParam();
  Stretch s;
  s.system = c.system;
  s.rate = c.rate;
  s.clock = c.clock;
  s.frames = c.system == TARSK_SYSTEM_625_50 ? minutes * 60 * 25 : minutes * 60 * 30000 / 1001;
  const std::string command =
      std::string(TAPE_SOUND_GEN) + (c.system == TARSK_SYSTEM_625_50 ? " pal " : " ntsc ") +
      std::to_string(c.rate) + (c.clock == Clock::locked ? " locked " : " unlocked ") +
      std::to_string(s.frames) + " | " + TARSK_BINARY +
      " decode - --audio - --audio-format pcm --quiet";
  const auto began = std::chrono::steady_clock::now();
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);

  // The samples expected, frame by frame, from the encoder's own counts.
  StretchEncoder oracle(s);
  uint64_t frame = 0, in_frame = 0, next = 0, samples = 0, wrong = 0, first_wrong = 0;
  int count = oracle.samples(0);
  std::vector<int16_t> buffer(1 << 16);
  size_t got;
  while ((got = std::fread(buffer.data(), 2, buffer.size(), pipe)) > 0) {
    for (size_t i = 0; i + 1 < got; i += 2, ++samples) {
      while (frame < s.frames && in_frame == static_cast<uint64_t>(count)) {
        ++frame;
        in_frame = 0;
        count = frame < s.frames ? oracle.samples(frame) : 0;
      }
      const int16_t want = frame < s.frames ? oracle.sample(next) : 0;
      if ((buffer[i] != want || buffer[i + 1] != want) && wrong++ == 0) first_wrong = samples;
      ++in_frame;
      ++next;
    }
  }
  const int status = pclose(pipe);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  uint64_t carried = 0;
  for (uint64_t n = 0; n < s.frames; ++n) carried += static_cast<uint64_t>(oracle.samples(n));
  EXPECT_EQ(samples, carried) << "samples decoded, against those the frames carry";
  // The pictures' time: the frames carry what stays within a sample of it.
  const auto nominal = static_cast<int64_t>(nominal_samples(s.system, s.rate, s.frames));
  EXPECT_LE(std::llabs(static_cast<int64_t>(samples) - nominal), 1) << "against " << nominal;
  EXPECT_EQ(wrong, 0u) << "the first at sample " << first_wrong;
  std::printf("%s: %llu frames (%llu minutes), %llu samples, in %.1f s\n", c.name,
              static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(minutes),
              static_cast<unsigned long long>(samples), seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, HourOfSound,
    testing::Values(LongCase{"pal_48k_unlocked", TARSK_SYSTEM_625_50, 48000, Clock::unlocked},
                    LongCase{"ntsc_48k_locked", TARSK_SYSTEM_525_60, 48000, Clock::locked}),
    [](const testing::TestParamInfo<LongCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Tapes whose recordings switch rates.

struct Tape {
  std::vector<Stretch> stretches;
  std::vector<std::vector<int16_t>> sound;  // what each stretch's frames carry
  fs::path path;
  uint64_t frames() const {
    uint64_t n = 0;
    for (const Stretch &s : stretches) n += s.frames;
    return n;
  }
};

Tape make_tape(const fs::path &dir, std::vector<Stretch> stretches) {
  Tape t;
  t.stretches = std::move(stretches);
  t.path = dir / "tape.dv";
  std::vector<uint8_t> bytes;
  for (const Stretch &s : t.stretches) {
    StretchEncoder e(s);
    EXPECT_TRUE(e.ok());
    auto &sound = t.sound.emplace_back();
    std::vector<uint8_t> frame(e.frame_bytes());
    for (uint64_t n = 0; n < s.frames; ++n) {
      EXPECT_TRUE(e.frame(n, frame.data(), &sound));
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
  }
  write_bytes(t.path, bytes);
  return t;
}

// Frame n of stretch i loses its AAUX source pack: the decode gives
// silence as long as its share of the stretch, counted from the stretch's
// start, which a locked stretch's own count is.
void mute(Tape &t, size_t i, uint64_t n) {
  std::vector<uint8_t> bytes = read_file(t.path);
  const size_t frame_bytes = bytes.size() / t.frames();
  uint64_t frame = n;
  for (size_t j = 0; j < i; ++j) frame += t.stretches[j].frames;
  bytes.at(frame * frame_bytes + dif::aaux_as_offset) = 0xff;
  write_bytes(t.path, bytes);
  const Stretch &st = t.stretches[i];
  std::fill(t.sound[i].begin() + static_cast<long>(nominal_samples(st.system, st.rate, n)),
            t.sound[i].begin() + static_cast<long>(nominal_samples(st.system, st.rate, n + 1)), 0);
}

// Three recordings: 48 kHz, another rate, 48 kHz again, tones of their own.
std::vector<Stretch> switching(tarsk_system system, int middle_rate) {
  const bool fifty = system == TARSK_SYSTEM_625_50;
  return {{system, 48000, Clock::unlocked, 40, 1000, 8000, 0},
          {system, middle_rate, Clock::locked, 33, 440, 12000, fifty ? 25 * 60 : 30 * 60},
          {system, 48000, Clock::unlocked, 27, 750, 6000, fifty ? 25 * 120 : 30 * 120}};
}

// The level of a `hz` tone in samples [from, to) at `rate` (its projection
// on sine and cosine), and the RMS of what is left beside it.
struct ToneFit {
  double level = 0, residual = 0;
};
ToneFit fit_tone(const std::vector<int16_t> &x, size_t from, size_t to, int rate, int hz) {
  double s = 0, c = 0;
  for (size_t i = from; i < to; ++i) {
    const double w = 2 * M_PI * hz * static_cast<double>(i) / rate;
    s += x[i] * std::sin(w);
    c += x[i] * std::cos(w);
  }
  const double n = static_cast<double>(to - from);
  const double a = 2 * s / n, b = 2 * c / n;
  double r = 0;
  for (size_t i = from; i < to; ++i) {
    const double w = 2 * M_PI * hz * static_cast<double>(i) / rate;
    const double e = x[i] - a * std::sin(w) - b * std::cos(w);
    r += e * e;
  }
  return {std::hypot(a, b), std::sqrt(r / n)};
}

struct SwitchCase {
  const char *name;
  tarsk_system system;
  int middle_rate;
};

class RateSwitch : public testing::TestWithParam<SwitchCase> {};

TEST_P(RateSwitch, EachStretchGoesToAFileOfItsOwnAtItsOwnRate) {
  const fs::path dir = fresh_dir();
  Tape t = make_tape(dir, switching(GetParam().system, GetParam().middle_rate));
  mute(t, 1, 10);
  const CommandResult r = run_tarsk({"decode", t.path, "--audio", dir / "sound.wav", "--quiet"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("silence in its place"), std::string::npos) << r.err;
  EXPECT_EQ(listing(dir),
            (std::set<std::string>{"tape.dv", "sound.wav", "sound-2.wav", "sound-3.wav"}));
  const char *names[] = {"sound.wav", "sound-2.wav", "sound-3.wav"};
  uint64_t first = 0;
  for (size_t i = 0; i < 3; ++i) {
    const Sound s = read_wav(dir / names[i]);
    EXPECT_EQ(s.rate, static_cast<uint32_t>(t.stretches[i].rate)) << names[i];
    EXPECT_EQ(s.channels, 2u) << names[i];
    EXPECT_EQ(s.left, t.sound[i]) << names[i] << ": not the samples its frames carry";
    if (i > 0) {
      // Told, with the frame and time code where it starts, even with --quiet.
      EXPECT_NE(r.err.find("frame " + std::to_string(first)), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(names[i]), std::string::npos) << r.err;
    }
    first += t.stretches[i].frames;
  }
  EXPECT_NE(r.err.find("time code 00:01:00:00"), std::string::npos) << r.err;

  // A name for each stereo pair: the pattern takes the stretch's number too.
  const CommandResult pairs =
      run_tarsk({"decode", t.path, "--audio", dir / "pair%d.wav", "--quiet"});
  ASSERT_EQ(pairs.exit_status, 0) << pairs.err;
  for (const char *name : {"pair1.wav", "pair1-2.wav", "pair1-3.wav"})
    EXPECT_TRUE(fs::exists(dir / name)) << name << "\n" << pairs.err;
  EXPECT_EQ(read_wav(dir / "pair1-2.wav").left, t.sound[1]);
}

// The middle stretch's frame 10 without sound: where the pictures have it,
// silence (resampled or not), the tone on both sides.
TEST_P(RateSwitch, ResampledIntoOneFileTheSoundKeepsStepAndTone) {
  const fs::path dir = fresh_dir();
  Tape t = make_tape(dir, switching(GetParam().system, GetParam().middle_rate));
  const uint64_t muted = 10;
  mute(t, 1, muted);
  const tarsk_system system = GetParam().system;
  for (const int rate : {0, 32000, 44100}) {
    SCOPED_TRACE("--audio-resample " + std::to_string(rate));
    const fs::path out = dir / ("one" + std::to_string(rate) + ".wav");
    const CommandResult r = run_tarsk({"decode", t.path, "--audio", out, "--audio-resample",
                                       rate == 0 ? "first" : std::to_string(rate), "--quiet"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("resampled to"), std::string::npos) << r.err;
    const int line_rate = rate == 0 ? 48000 : rate;
    const Sound s = read_wav(out);
    EXPECT_EQ(s.rate, static_cast<uint32_t>(line_rate));
    // In step with the pictures: each stretch as long as its frames'
    // time, within a sample.
    const auto whole = static_cast<int64_t>(nominal_samples(system, line_rate, t.frames()));
    EXPECT_LE(std::llabs(static_cast<int64_t>(s.left.size()) - whole), 1)
        << s.left.size() << " samples against " << whole;
    uint64_t frame = 0;
    size_t from = 0;  // where the stretch starts in the file
    for (size_t i = 0; i < t.stretches.size(); ++i) {
      const Stretch &st = t.stretches[i];
      frame += st.frames;
      const size_t to = std::min(s.left.size(), nominal_samples(system, line_rate, frame));
      if (st.rate == line_rate) {
        // Not resampled: the very samples the frames carry (the last
        // perhaps cut, where the stretch ends a sample ahead).
        const size_t n = std::min(t.sound[i].size() - 1, s.left.size() - from);
        EXPECT_TRUE(std::equal(t.sound[i].begin(), t.sound[i].begin() + static_cast<long>(n),
                               s.left.begin() + static_cast<long>(from)))
            << "stretch " << i;
        from += t.sound[i].size();
        continue;
      }
      // Resampled: the tone at its frequency and level, little beside it
      // (the edges, where the filter meets silence or a neighbour, left),
      // before and after the muted frame, and silence where it stands.
      const size_t edge = static_cast<size_t>(line_rate / 100);
      std::vector<std::pair<size_t, size_t>> tone = {{from, to}};
      if (i == 1) {
        const uint64_t before = frame - st.frames;
        const size_t a = nominal_samples(system, line_rate, before + muted);
        const size_t b = nominal_samples(system, line_rate, before + muted + 1);
        tone = {{from, a}, {b, to}};
        const ToneFit quiet = fit_tone(s.left, a + edge, b - edge, line_rate, st.hz);
        EXPECT_LT(quiet.level + quiet.residual, st.level * 0.01) << "the muted frame";
      }
      for (const auto &[x, y] : tone) {
        const ToneFit fit = fit_tone(s.left, x + edge, y - edge, line_rate, st.hz);
        EXPECT_NEAR(fit.level, st.level, st.level * 0.01) << "stretch " << i << " at " << x;
        EXPECT_LT(fit.residual, st.level * 0.003) << "stretch " << i << " at " << x;
      }
      from = to;
    }
  }
}

// Decoded into Matroska (pictures and sound), and remuxed into QuickTime
// (the DV frames and a PCM track): the track read back by ffmpeg.
TEST_P(RateSwitch, AContainersTrackTakesTheFirstRateAndKeepsInStep) {
  const fs::path dir = fresh_dir();
  const Tape t = make_tape(dir, switching(GetParam().system, GetParam().middle_rate));
  for (const char *command : {"decode", "remux"}) {
    SCOPED_TRACE(command);
    const fs::path out = dir / (std::string(command) == "decode" ? "tape.mkv" : "tape.mov");
    const CommandResult r = run_tarsk({command, t.path, "-o", out});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("frame 40"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("resampled"), std::string::npos) << r.err;
    EXPECT_NE(run_ffprobe({"-v", "error", "-select_streams", "a", "-show_entries",
                           "stream=sample_rate", "-of", "csv=p=0", out.string()})
                  .find("48000"),
              std::string::npos);
    const std::vector<uint8_t> pcm = ffmpeg_audio_s16le(out, 2);
    const size_t samples = pcm.size() / 4;
    const auto whole = static_cast<int64_t>(nominal_samples(GetParam().system, 48000, t.frames()));
    EXPECT_LE(std::llabs(static_cast<int64_t>(samples) - whole), 1);
    // The first stretch, at the track's rate, is the very samples.
    ASSERT_GE(samples, t.sound[0].size());
    for (size_t i = 0; i < t.sound[0].size(); ++i)
      ASSERT_EQ(static_cast<int16_t>(pcm[4 * i] | pcm[4 * i + 1] << 8), t.sound[0][i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Tapes, RateSwitch,
                         testing::Values(SwitchCase{"pal_48_32_48", TARSK_SYSTEM_625_50, 32000},
                                         SwitchCase{"ntsc_48_44_48", TARSK_SYSTEM_525_60, 44100}),
                         [](const testing::TestParamInfo<SwitchCase> &info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Recordings that switch between stereo and 4-channel sound at one rate
// (32 kHz): our encoder's 16-bit stereo, and 12-bit 4-channel sound written
// into the same frames' audio blocks, each channel a ramp of its own codes.
// What the library's tarsk_decode_audio makes of each frame is the oracle.

std::vector<uint8_t> four_channel_frame(const std::vector<uint8_t> &base, int n) {
  FrameBuilder b(e_dv_system_625_50);
  with_audio_packs(b, aaux_source(16, true, 1, 2, 1), aaux_source_control(0x20));
  std::vector<int> codes[4];
  for (int c = 0; c < 4; ++c)
    for (int i = 0; i < 1280; ++i) {
      const int code = (i * (c + 3) + 700 * c + 311 * n) % 4096;
      codes[c].push_back(code == 0x800 ? 0x7ff : code);  // 0x800 marks an error
    }
  write_audio_12(b, codes);
  std::vector<uint8_t> frame = base;
  for (int s = 0; s < 12; ++s)
    for (int a = 0; a < 9; ++a) {
      const auto at = static_cast<size_t>(dif::audio_offset(s, a));
      std::copy(b.bytes().begin() + static_cast<long>(at),
                b.bytes().begin() + static_cast<long>(at) + dif::block_size,
                frame.begin() + static_cast<long>(at));
    }
  return frame;
}

// Ten frames of each, in the order given (true: 4-channel first); and the
// library's decode of the frames, channels[c], a stretch at a time.
struct ChannelTape {
  fs::path path;
  std::vector<std::vector<std::vector<int16_t>>> sound;  // [stretch][channel][sample]
};
ChannelTape channel_tape(const fs::path &dir, bool quad_first) {
  Stretch st;
  st.rate = 32000;
  StretchEncoder e(st);
  std::vector<uint8_t> stereo(e.frame_bytes()), bytes;
  ChannelTape t;
  t.path = dir / "tape.dv";
  tarsk::Decoder decoder;
  for (int stretch = 0; stretch < 2; ++stretch) {
    auto &sound = t.sound.emplace_back();
    for (int n = 0; n < 10; ++n) {
      EXPECT_TRUE(e.frame(static_cast<uint64_t>(10 * stretch + n), stereo.data()));
      const std::vector<uint8_t> frame =
          (stretch == 0) == quad_first ? four_channel_frame(stereo, n) : stereo;
      bytes.insert(bytes.end(), frame.begin(), frame.end());
      auto decoded = decoder.decode_frame(frame, nullptr, false, true);
      EXPECT_TRUE(decoded && decoded->audio);
      if (!decoded || !decoded->audio) continue;
      sound.resize(decoded->audio->channels.size());
      for (size_t c = 0; c < sound.size(); ++c)
        sound[c].insert(sound[c].end(), decoded->audio->channels[c].begin(),
                        decoded->audio->channels[c].end());
    }
  }
  write_bytes(t.path, bytes);
  return t;
}

TEST(ChannelSwitch, StretchFilesOrOneFileInTheFirstStretchsLayout) {
  for (const bool quad_first : {true, false}) {
    SCOPED_TRACE(quad_first ? "4 channels, then stereo" : "stereo, then 4 channels");
    const fs::path dir = fresh_dir();
    const ChannelTape t = channel_tape(dir, quad_first);
    ASSERT_EQ(t.sound[0].size(), quad_first ? 4u : 2u);
    ASSERT_EQ(t.sound[1].size(), quad_first ? 2u : 4u);

    // A file a stretch, each with its own channels.
    const CommandResult split = run_tarsk({"decode", t.path, "--audio", dir / "s.wav", "-q"});
    ASSERT_EQ(split.exit_status, 0) << split.err;
    const Sound first = read_wav(dir / "s.wav"), second = read_wav(dir / "s-2.wav");
    EXPECT_EQ(first.rate, 32000u);
    EXPECT_EQ(second.rate, 32000u);
    EXPECT_EQ(first.all, t.sound[0]);
    EXPECT_EQ(second.all, t.sound[1]);

    // One file in the first stretch's layout: a 4-channel file takes the
    // stereo as its first pair, the second silent; a stereo file takes the
    // 4-channel sound's first pair.
    const CommandResult one = run_tarsk(
        {"decode", t.path, "--audio", dir / "one.wav", "--audio-resample", "first", "-q"});
    ASSERT_EQ(one.exit_status, 0) << one.err;
    EXPECT_NE(one.err.find(quad_first ? "the second silent" : "its first pair alone"),
              std::string::npos)
        << one.err;
    const Sound s = read_wav(dir / "one.wav");
    ASSERT_EQ(s.channels, quad_first ? 4u : 2u);
    for (size_t c = 0; c < s.channels; ++c) {
      std::vector<int16_t> want = t.sound[0][c];
      const std::vector<int16_t> &later =
          c < t.sound[1].size() ? t.sound[1][c] : std::vector<int16_t>(t.sound[1][0].size(), 0);
      want.insert(want.end(), later.begin(), later.end());
      EXPECT_EQ(s.all[c], want) << "channel " << c + 1;
    }
  }
}

// ---------------------------------------------------------------------------
// The sound line itself: an unlocked 32 kHz stretch into a 48 kHz line.
// After every frame it has handed out no more than the frames' share, and
// what it has handed out and what its resampler holds together stand
// exactly where the input has reached, its samples x 1.5: resampling adds
// no drift of its own; at the end of the stretch it has handed out the
// share exactly.

TEST(SoundLine, ResamplingStaysInStepAfterEveryFrame) {
  for (const tarsk_system system : {TARSK_SYSTEM_625_50, TARSK_SYSTEM_525_60}) {
    Stretch st;
    st.system = system;
    st.rate = 32000;
    st.clock = Clock::unlocked;
    const StretchEncoder e(st);
    cli::SoundLine line(system, {true, 48000, 2});
    cli::SoundPlanes out;
    uint64_t handed = 0, next = 0;
    const uint64_t frames = 200;
    for (uint64_t n = 0; n < frames; ++n) {
      Audio a;
      a.frequency = 32000;
      a.channels.resize(2);
      for (int i = 0; i < e.samples(n); ++i) a.channels[0].push_back(e.sample(next++));
      a.channels[1] = a.channels[0];
      out.clear();
      ASSERT_TRUE(line.add(&a, out)) << line.problem();
      handed += out.samples;
      const double nominal = static_cast<double>(nominal_samples(system, 48000, n + 1));
      ASSERT_EQ(handed, line.line_written());
      ASSERT_LE(static_cast<double>(handed), nominal) << "frame " << n;
      ASSERT_NEAR(static_cast<double>(handed) + line.held(), static_cast<double>(next) * 1.5, 0.5)
          << "frame " << n;
    }
    out.clear();
    ASSERT_TRUE(line.end_stretch(out));
    EXPECT_EQ(handed + out.samples, nominal_samples(system, 48000, frames));
  }
}

TEST(AudioResample, RefusedWhereItHasNoSoundToTakeOrNoRateItKnows) {
  const fs::path dir = fresh_dir();
  const struct {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
      {{"--audio-resample", "22050", "--audio", "x.wav"}, "takes first, 32000, 44100 or 48000"},
      {{"--audio-resample", "first", "-o", "x.y4m"}, "is for the DV frames' sound"},
      {{"--audio-resample", "first", "--audio", "x.wav", "--audio-from", "track"},
       "is for the DV frames' sound"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = {"decode", "in.dv"};
    for (const std::string &a : c.args)
      args.push_back(a.find('.') != std::string::npos && a != "in.dv" ? (dir / a).string() : a);
    const CommandResult r = run_tarsk(args);
    EXPECT_EQ(r.exit_status, 2) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_TRUE(listing(dir).empty());
}

TEST(StretchPath, LaterStretchesTakeTheirNumberBeforeTheExtension) {
  EXPECT_EQ(cli::stretch_path("sound.wav", 1), "sound.wav");
  EXPECT_EQ(cli::stretch_path("sound.wav", 2), "sound-2.wav");
  EXPECT_EQ(cli::stretch_path("a.b/sound%d.wav", 12), "a.b/sound%d-12.wav");
  EXPECT_EQ(cli::stretch_path("dir.x/sound", 3), "dir.x/sound-3");
  EXPECT_EQ(cli::stretch_path("dir/.sound", 3), "dir/.sound-3");
}

}  // namespace
}  // namespace tarsk::test
