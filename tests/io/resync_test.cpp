// Reading through damage: clean clips (ffmpeg's and our encoder's) damaged at test time the
// ways captures are, read back. Oracles: every frame the damage did not touch comes out
// byte-identical to the clean clip's and decodes to the clean picture; the damaged frame's
// picture is the clean one where it is whole and the previous picture where it is not.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"
#include "support/transfer.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using Bytes = std::vector<uint8_t>;

constexpr size_t pal = 144000, ntsc = 120000;

const MadeDv &pal_clip() { return made_dv("ResyncPal", DvRecipe{.frames = 6}); }
const MadeDv &ntsc_clip() {
  return made_dv("ResyncNtsc", DvRecipe{.system = e_dv_system_525_60, .pix_fmt = "yuv411p",
                                        .frames = 6, .video_source = "mandelbrot"});
}
const MadeDv &recording_2() {
  return made_dv("ResyncPal2", DvRecipe{.frames = 4, .timecode = "11:30:00:00",
                                        .creation_time = "2025-01-02T03:04:05",
                                        .video_source = "mandelbrot"});
}

// Six 625/50 frames of our own encoder: a moving gradient with 48 kHz sound.
const Bytes &tarsk_clip() {
  static const Bytes bytes = [] {
    tarsk::Encoder enc;
    Bytes y(720 * 576), c(360 * 288), out;
    std::vector<int16_t> sound(2 * 1920);
    for (int f = 0; f < 6; ++f) {
      for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(16 + (i % 720 + 7 * f) % 200);
      std::fill(c.begin(), c.end(), static_cast<uint8_t>(100 + 10 * f));
      for (size_t i = 0; i < sound.size(); ++i) sound[i] = static_cast<int16_t>(i * 37 + f);
      Bytes frame(pal);
      tarsk_picture p{TARSK_PIXEL_I420, 720, 576, {y.data(), c.data(), c.data()}, {720, 360, 360}, nullptr};
      EXPECT_TRUE(enc.encode(p, frame));
      EXPECT_TRUE(enc.encode_audio(sound.data(), sound.size(), 48000, frame.data(), frame.size()));
      out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
  }();
  return bytes;
}

Bytes insert(Bytes b, size_t at, Bytes what) {
  b.insert(b.begin() + static_cast<long>(at), what.begin(), what.end());
  return b;
}
Bytes erase(Bytes b, size_t at, size_t n) {
  b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
  return b;
}
Bytes fill(Bytes b, size_t at, size_t n, uint8_t v) {
  std::fill_n(b.begin() + static_cast<long>(at), n, v);
  return b;
}
Bytes stray(size_t n) {
  std::mt19937 random(static_cast<unsigned>(n));
  Bytes b(n);
  for (uint8_t &v : b) v = static_cast<uint8_t>(random());
  return b;
}
Bytes joined(const Bytes &a, const Bytes &b) { return insert(a, a.size(), b); }
// The video blocks of DIF sequences 3 to 5 of frame f filled with 0xff, their status set, as a
// deck marks blocks it could not read.
Bytes flagged(Bytes b, size_t f) {
  for (int s = 3; s < 6; ++s)
    for (int k = 0; k < 27; ++k)
      for (int m = 0; m < 5; ++m) {
        uint8_t *block = &b[f * pal + dif::block_offset(s, dif::video_block(k, m))];
        std::fill(block + 3, block + dif::block_size, 0xff);
        block[3] = 0xf0;
      }
  return b;
}

// What one frame read back should be: a clean frame (by its place in `clean`) or the damaged one.
constexpr int damaged = -1;
struct Case {
  const char *name;
  std::function<const Bytes &()> clean;
  std::function<Bytes(const Bytes &)> damage;
  std::vector<int> frames;  // per frame read: its clean frame, or `damaged`
  int missing = 0;          // DIF blocks missing from the damaged frame
  uint64_t skipped = 0;     // bytes the reader passed over
  int damaged_macroblocks = 0;  // at least: the missing or flagged video blocks
};

const Bytes &pal_bytes() { return pal_clip().bytes; }
const Bytes &ntsc_bytes() { return ntsc_clip().bytes; }
const Bytes &two_recordings() {
  static const Bytes b = joined(pal_bytes(), recording_2().bytes);
  return b;
}
// 625/50, then 525/60, then 625/50 again.
const Bytes &switched() {
  static const Bytes b = joined(joined(Bytes(pal_bytes().begin(), pal_bytes().begin() + 2 * pal),
                                       Bytes(ntsc_bytes().begin(), ntsc_bytes().begin() + 2 * ntsc)),
                                Bytes(pal_bytes().begin(), pal_bytes().begin() + 2 * pal));
  return b;
}
const std::vector<int> all6 = {0, 1, 2, 3, 4, 5};

// clang-format off
const Case cases[] = {
    {"Clean", pal_bytes, [](const Bytes &b) { return b; }, all6},
    {"Stray1AtFrameStart", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal, stray(1)); }, all6, 0, 1},
    {"Stray79AtFrameStart", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal, stray(79)); }, all6, 0, 79},
    {"Stray80AtFrameStart", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal, stray(80)); }, all6, 0, 80},
    {"Stray81AtFrameStart", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal, stray(81)); }, all6, 0, 81},
    {"Stray5000AtFrameStart", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal, stray(5000)); }, all6, 0, 5000},
    {"Stray80BetweenBlocks", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal + 70000, stray(80)); }, all6, 0, 80},
    // One byte into a video block's identifier: that block is lost, and only it.
    {"Stray1InsideABlock", pal_bytes, [](const Bytes &b) { return insert(b, 3 * pal + 70001, {0x55}); },
     {0, 1, 2, damaged, 4, 5}, 1, 81, 1},
    {"ZerosInsideAFrame", pal_bytes, [](const Bytes &b) { return fill(b, 3 * pal + 30000, 20000, 0); },
     {0, 1, 2, damaged, 4, 5}, 250, 20000, 223},
    {"AFrameOfZeros", pal_bytes, [](const Bytes &b) { return fill(b, 3 * pal, pal, 0); }, {0, 1, 2, 4, 5}, 0, pal},
    {"DroppedDifSequence", pal_bytes, [](const Bytes &b) { return erase(b, 3 * pal + 5 * 12000, 12000); },
     {0, 1, 2, damaged, 4, 5}, 150, 0, 135},
    {"TruncatedTail", pal_bytes, [](const Bytes &b) { return Bytes(b.begin(), b.end() - pal + 70000); },
     {0, 1, 2, 3, 4, damaged}, 925, 0, 834},
    {"FlaggedByTheRecorder", pal_bytes, [](const Bytes &b) { return flagged(b, 3); }, {0, 1, 2, damaged, 4, 5}, 0, 0, 405},
    {"TwoRecordingsJoined", two_recordings, [](const Bytes &b) { return b; }, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
    {"PalNtscSwitch", switched, [](const Bytes &b) { return b; }, {0, 1, 2, 3, 4, 5}},
    {"StrayAtTheEnd", pal_bytes, [](const Bytes &b) { return insert(b, b.size(), stray(200)); }, all6, 0, 200},
    // Sync found again on the last block of a 525/60 frame, checked across the frame's end.
    {"NtscStrayBeforeTheLastBlock", ntsc_bytes, [](const Bytes &b) { return insert(b, 3 * ntsc - 80, stray(7)); },
     all6, 0, 7},
    {"Ntsc80Stray", ntsc_bytes, [](const Bytes &b) { return insert(b, 2 * ntsc, stray(80)); }, all6, 0, 80},
    {"NtscDroppedBlocks", ntsc_bytes, [](const Bytes &b) { return erase(b, 2 * ntsc + 4000, 480); },
     {0, 1, damaged, 3, 4, 5}, 6, 0, 5},
    {"OursStray5000", tarsk_clip, [](const Bytes &b) { return insert(b, 2 * pal + 100000, stray(5000)); },
     all6, 0, 5000},
    {"OursFlagged", tarsk_clip, [](const Bytes &b) { return flagged(b, 2); }, {0, 1, damaged, 3, 4, 5}, 0, 0, 405},
};
// clang-format on
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

struct Read {
  std::vector<tarsk::Frame> frames;
  uint64_t skipped = 0;
};

Read read(Bytes bytes) {
  FILE *file = fmemopen(bytes.data(), bytes.size(), "rb");
  tarsk::Reader reader(file);
  Read r;
  while (auto item = reader.next()) {
    EXPECT_TRUE(*item) << item->error().message;
    if (*item) r.frames.push_back(std::move(**item));
  }
  r.skipped = reader.bytes_skipped();
  std::fclose(file);
  return r;
}

struct Decoded {
  Bytes picture;
  tarsk::PictureDamage damage;
};

// The picture at the frame's own sampling, whose macroblocks are the
// reconstruction's as they are (4:2:2 and RGB spread chroma across them).
Decoded decode(tarsk::Decoder &d, const tarsk::Frame &frame) {
  Decoded out;
  tarsk::Picture picture;
  auto damage = d.decode_video(frame.span(), picture);
  EXPECT_TRUE(damage);
  if (!damage) return out;
  out.damage = *damage;
  const tarsk_picture &p = picture.get();
  const int chroma_lines = p.format == TARSK_PIXEL_I420 ? p.height / 2 : p.height;
  for (int plane = 0; plane < 3; ++plane)
    for (int line = 0; line < (plane == 0 ? p.height : chroma_lines); ++line) {
      const uint8_t *at = p.data[plane] + line * p.stride[plane];
      out.picture.insert(out.picture.end(), at, at + (plane == 0 ? 720 : 720 / (p.format == TARSK_PIXEL_I420 ? 2 : 4)));
    }
  return out;
}

tarsk::Decoder on_threads(int threads) {
  tarsk::DecoderSettings settings;
  settings.threads = threads;
  return tarsk::Decoder(settings);
}

// The same stream pushed in pieces of random sizes, one byte to 1 MB.
std::vector<tarsk::Frame> fed(const Bytes &bytes) {
  std::mt19937 random(static_cast<unsigned>(bytes.size()));
  tarsk::FrameFeeder feeder;
  std::vector<tarsk::Frame> frames;
  for (size_t at = 0; at < bytes.size();) {
    const size_t most[] = {100, 100000, 1 << 20};
    const size_t n = std::min<size_t>(bytes.size() - at, 1 + random() % most[random() % 3]);
    EXPECT_TRUE(feeder.push(std::span(bytes).subspan(at, n)));
    at += n;
    while (auto frame = feeder.next()) frames.push_back(std::move(**frame));
  }
  feeder.finish();
  while (auto frame = feeder.next()) frames.push_back(std::move(**frame));
  return frames;
}

class Resync : public testing::TestWithParam<Case> {};

TEST_P(Resync, FramesAfterTheDamageAreTheCleanOnes) {
  const Case &c = GetParam();
  const Bytes &clean_bytes = c.clean();
  const auto clean = split_frames(clean_bytes);
  const Bytes damaged_bytes = c.damage(clean_bytes);
  const Read got = read(damaged_bytes);
  ASSERT_EQ(got.frames.size(), c.frames.size());
  const auto pieces = fed(damaged_bytes);
  ASSERT_EQ(pieces.size(), got.frames.size());
  for (size_t i = 0; i < pieces.size(); ++i)
    EXPECT_TRUE(pieces[i].bytes == got.frames[i].bytes && pieces[i].offset == got.frames[i].offset &&
                pieces[i].skipped_bytes == got.frames[i].skipped_bytes &&
                pieces[i].missing_blocks == got.frames[i].missing_blocks)
        << "frame " << i << " pushed in pieces";
  EXPECT_EQ(got.skipped, c.skipped);
  tarsk::Decoder ours, reference, threaded = on_threads(2);
  ASSERT_TRUE(threaded);
  Bytes previous;
  for (size_t i = 0; i < c.frames.size(); ++i) {
    const tarsk::Frame &f = got.frames[i];
    EXPECT_EQ(f.index, i);
    EXPECT_EQ(f.bytes.size(), tarsk::frame_bytes(f.system));
    const Decoded picture = decode(ours, f);
    const Decoded on_threads = decode(threaded, f);
    EXPECT_EQ(on_threads.picture, picture.picture) << i;
    EXPECT_EQ(on_threads.damage.damaged_macroblocks, picture.damage.damaged_macroblocks) << i;
    if (c.frames[i] != damaged) {
      const auto &want = clean[static_cast<size_t>(c.frames[i])];
      ASSERT_TRUE(std::equal(f.bytes.begin(), f.bytes.end(), want.begin(), want.end())) << i;
      EXPECT_EQ(f.missing_blocks, 0) << i;
      EXPECT_EQ(picture.damage.damaged_macroblocks, 0) << i;
      tarsk::Frame clean_frame{.bytes = Bytes(want.begin(), want.end())};
      EXPECT_EQ(picture.picture, decode(reference, clean_frame).picture) << i;
    } else {
      EXPECT_EQ(f.missing_blocks, c.missing);
      EXPECT_EQ(f.cut_short, i + 1 == c.frames.size() && c.missing > 0);
      // The missing or flagged macroblocks, and a few whose codes spilled into them.
      EXPECT_GE(picture.damage.damaged_macroblocks, c.damaged_macroblocks);
      EXPECT_LE(picture.damage.damaged_macroblocks, c.damaged_macroblocks + 4);
      EXPECT_EQ(picture.damage.concealed_macroblocks, picture.damage.damaged_macroblocks);
      // Concealed: where the picture is not the clean one, it is the previous one.
      tarsk::Decoder fresh;
      const auto &want = clean[i];
      tarsk::Frame clean_frame{.bytes = Bytes(want.begin(), want.end())};
      const Bytes whole = decode(fresh, clean_frame).picture;
      for (size_t p = 0; p < whole.size(); ++p) {
        if (picture.picture[p] == whole[p]) continue;
        ASSERT_EQ(picture.picture[p], previous[p]) << p;
      }
    }
    previous = picture.picture;
  }
}

// A stream in memory as a seekable source, counting the bytes read.
struct Memory {
  const Bytes *bytes;
  uint64_t read = 0;
  tarsk_source source() {
    return {[](void *user, uint64_t offset, uint8_t *out, size_t size) -> int64_t {
              auto *m = static_cast<Memory *>(user);
              const Bytes &b = *m->bytes;
              const size_t n = offset >= b.size() ? 0 : std::min<size_t>(size, b.size() - offset);
              std::copy_n(b.begin() + static_cast<long>(offset), n, out);
              m->read += n;
              return static_cast<int64_t>(n);
            },
            this};
  }
};

void expect_same(const tarsk::Frame &a, const tarsk::Frame &b, uint64_t n) {
  EXPECT_TRUE(a.bytes == b.bytes) << "frame " << n;
  EXPECT_EQ(a.index, b.index) << n;
  EXPECT_EQ(a.offset, b.offset) << n;
  EXPECT_EQ(a.skipped_bytes, b.skipped_bytes) << n;
  EXPECT_EQ(a.missing_blocks, b.missing_blocks) << n;
  EXPECT_EQ(a.cut_short, b.cut_short) << n;
}

// Seeking to every frame in a random order, by one seeker that learns the stream as it goes
// and by fresh ones, gives the frames of reading the stream through, and the frame after.
void expect_seeks_read_through(const Bytes &bytes, const std::vector<tarsk::Frame> &through) {
  Memory memory{&bytes}, fresh_memory{&bytes};
  auto seeker = tarsk::FrameSeeker::over(memory.source());
  ASSERT_TRUE(seeker);
  std::vector<uint64_t> order(through.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(bytes.size())));
  for (uint64_t n : order) {
    auto fresh = tarsk::FrameSeeker::over(fresh_memory.source());
    for (auto *s : {&*seeker, &*fresh}) {
      ASSERT_TRUE(s->seek(n)) << n;
      for (uint64_t k = n; k < std::min<uint64_t>(n + 2, through.size()); ++k) {
        auto frame = s->next();
        ASSERT_TRUE(frame && *frame) << k;
        expect_same(**frame, through[k], k);
      }
    }
  }
  EXPECT_EQ(seeker->seek(through.size()).error().code, tarsk::Errc::end);
  EXPECT_EQ(*seeker->frames(), through.size());
  ASSERT_TRUE(seeker->seek(through.size() - 1));
  ASSERT_TRUE(seeker->next());
  EXPECT_FALSE(seeker->next());
}

TEST_P(Resync, SeeksGiveTheFramesOfReadingThrough) {
  const Bytes damaged_bytes = GetParam().damage(GetParam().clean());
  expect_seeks_read_through(damaged_bytes, read(damaged_bytes).frames);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Resync, testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Concealment off: damaged macroblocks decode as the bits stand, as the C API decodes them.
TEST(Concealment, OffDecodesTheBitsAsTheCApiDoes) {
  const Bytes bytes = flagged(pal_bytes(), 1);
  const auto frames = split_frames(bytes);
  tarsk::DecoderSettings settings;
  settings.conceal = 0;
  settings.reconstruction = TARSK_RECONSTRUCTION_SPECIFIED;
  tarsk::Decoder d(settings);
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  dv_set_error_log(dv, nullptr);
  dv->quality = DV_QUALITY_BEST;
  for (auto frame : frames) {
    tarsk::Picture picture(TARSK_PIXEL_RGB24, 720, 576);
    Bytes c_api(720 * 576 * 3);
    const auto damage = d.decode_video(frame, picture);
    ASSERT_TRUE(damage);
    EXPECT_EQ(damage->damaged_macroblocks, frame.data() == frames[1].data() ? 405 : 0);
    EXPECT_EQ(damage->concealed_macroblocks, 0);
    ASSERT_GE(dv_parse_header(dv, frame.data()), 0);
    uint8_t *pixels[1] = {c_api.data()};
    int pitches[1] = {720 * 3};
    dv_decode_full_frame(dv, frame.data(), e_dv_color_rgb, pixels, pitches);
    EXPECT_TRUE(std::equal(c_api.begin(), c_api.end(), picture.data(0)));
  }
  dv_decoder_free(dv);
}

// A tape's transfer: recordings of both systems with running time codes, damaged in the
// ways a capture is. Every frame and every time code is reached by seeking as reading through
// reaches it; an undamaged stretch is crossed without reading it.
TEST(Seek, ATransferByFrameAndTimeCode) {
  Bytes bytes = make_transfer({{.frames = 40, .timecode = 90000},
                               {.frames = 30, .timecode = 7200 * 30, .system = TARSK_SYSTEM_525_60},
                               {.frames = 50, .timecode = 90000 + 1000}});
  const size_t ntsc_end = 40 * pal + 30 * ntsc;
  // Bytes passed over, blocks' identifiers broken inside a frame (its audio pack filled from
  // the frame before) and at a frame's end, lost bytes, a frame of zeros, a cut tail.
  bytes = insert(bytes, 5 * pal + 333, stray(1000));
  bytes[1000 + 12 * pal + dif::block_offset(4, dif::audio_block(2))] ^= 0xe0;
  bytes[1000 + 31 * pal - dif::block_size] ^= 0xe0;
  bytes = erase(bytes, 1000 + 20 * pal + 5000, 480);
  bytes = fill(bytes, 1000 - 480 + ntsc_end + 10 * pal, pal, 0);
  bytes.resize(bytes.size() - 70000);
  const std::vector<tarsk::Frame> through = read(bytes).frames;
  ASSERT_EQ(through.size(), 119u);
  expect_seeks_read_through(bytes, through);

  Memory memory{&bytes};
  auto seeker = tarsk::FrameSeeker::over(memory.source());
  tarsk::Decoder decoder;
  std::map<std::tuple<int, int, int, int>, uint64_t> first;
  for (const tarsk::Frame &f : through)
    if (auto info = decoder.parse(f.span()); info && info->has_timecode) {
      const tarsk_timecode &t = info->timecode;
      first.emplace(std::tuple(t.hours, t.minutes, t.seconds, t.frames), f.index);
    }
  ASSERT_GT(first.size(), 110u);
  for (const auto &[label, n] : first) {
    const auto [h, m, s, f] = label;
    const auto found = seeker->seek(tarsk_timecode{h, m, s, f, 0});
    ASSERT_TRUE(found) << h << ":" << m << ":" << s << ":" << f;
    EXPECT_EQ(*found, n);
    auto frame = seeker->next();
    ASSERT_TRUE(frame && *frame);
    EXPECT_EQ((*frame)->index, n);
  }
  EXPECT_EQ(seeker->seek(tarsk_timecode{23, 0, 0, 0, 0}).error().code, tarsk::Errc::end);

  // Undamaged: the last of 200 frames is found by each frame's ends.
  const Bytes clean = make_transfer({{.frames = 200}});
  Memory direct{&clean};
  auto quick = tarsk::FrameSeeker::over(direct.source());
  ASSERT_TRUE(quick->seek(199));
  auto last = quick->next();
  ASSERT_TRUE(last && *last);
  EXPECT_EQ((*last)->offset, 199 * pal);
  EXPECT_LT(direct.read, 10 * pal);
}

}  // namespace
