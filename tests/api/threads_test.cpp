// tarsk.h across threads: many threads decoding through one service, each
// into caller-owned planes and packed pictures with odd strides, against
// the same frames decoded one by one by fresh decoders; a decoder handed
// from thread to thread, against the same work on one thread. Run under ThreadSanitizer by `make test-thread`.
#include <gtest/gtest.h>
#include <tarsk/tarsk.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <tarsk/tarsk.hpp>
#include <thread>
#include <vector>

#include "common/dif.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Frames of the library's own encoder --------------------------------

struct TestFrame {
  Bytes bytes;
  int native;  // the planar layout of its sampling
  std::string name;
};

// Every video block of DIF sequence `s` flagged by its status nibble, and
// the codes of a segment of another sequence scrambled.
Bytes damaged(Bytes frame, int s) {
  for (int k = 0; k < tarsk::dif::segments_per_sequence; ++k)
    for (int m = 0; m < 5; ++m)
      frame[tarsk::dif::segment_offset(s, k) + 80 * m + tarsk::dif::qno_byte] |= 0x70;
  for (size_t i = 4; i < 400; i += 5) frame[tarsk::dif::segment_offset(s + 1, 9) + i] ^= 0xa5;
  return frame;
}

// 625/50 4:2:0 (three pictures, the second and third also damaged), 525/60
// 4:1:1 (two, the second also damaged) and 625/50 4:1:1 (one), each with
// its sound; a damaged frame follows the frame its concealment would copy.
const std::vector<TestFrame> &test_frames() {
  static const std::vector<TestFrame> frames = [] {
    struct Kind {
      int system, sampling, native, pictures;
      const char *name;
    };
    std::vector<TestFrame> out;
    for (const Kind k :
         {Kind{TARSK_SYSTEM_625_50, TARSK_ENCODE_SAMPLING_SYSTEM, TARSK_PIXEL_I420, 3,
               "625/50 4:2:0"},
          Kind{TARSK_SYSTEM_525_60, TARSK_ENCODE_SAMPLING_SYSTEM, TARSK_PIXEL_Y41B, 2, "525/60"},
          Kind{TARSK_SYSTEM_625_50, TARSK_ENCODE_SAMPLING_411, TARSK_PIXEL_Y41B, 1,
               "625/50 4:1:1"}}) {
      tarsk::EncoderSettings s;
      s.system = k.system;
      s.sampling = k.sampling;
      s.static_qno = 1;  // no quantiser search: quick under ThreadSanitizer too
      s.passes = 1;
      tarsk::Encoder encoder(s);
      EXPECT_TRUE(encoder);
      const int height = k.system == TARSK_SYSTEM_625_50 ? 576 : 480;
      tarsk::Picture picture(TARSK_PIXEL_I422, 720, height);
      for (int f = 0; f < k.pictures; ++f) {
        for (int p = 0; p < 3; ++p)
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < (p ? 360 : 720); ++x)
              picture.data(p)[y * picture.stride(p) + x] =
                  static_cast<uint8_t>(30 + (x * (3 + p) + y * (5 - f) + ((x ^ y) & 31) * f) % 190);
        Bytes frame(encoder.frame_bytes());
        EXPECT_TRUE(encoder.encode(picture.get(), frame));
        const int n = encoder.audio_samples(48000, static_cast<uint64_t>(f));
        std::vector<int16_t> tone(static_cast<size_t>(2 * n));
        for (size_t i = 0; i < tone.size(); ++i)
          tone[i] =
              static_cast<int16_t>((static_cast<int>(i * 331 % 30000) + f * 7000) % 30000 - 15000);
        EXPECT_TRUE(
            encoder.encode_audio(tone.data(), tone.size(), 48000, frame.data(), frame.size()));
        const std::string name = std::string(k.name) + " #" + std::to_string(f);
        out.push_back({frame, k.native, name});
        if (f > 0 && k.pictures > 1)
          out.push_back({damaged(frame, 2 + f), k.native, name + " damaged"});
      }
    }
    return out;
  }();
  return frames;
}

// ---- Caller-owned pictures ----------------------------------------------

// Bytes of a line of plane p and lines of it, in layout `format`.
struct Shape {
  size_t line;
  int lines;
};
int plane_count(int format) { return format <= TARSK_PIXEL_I422 ? 3 : 1; }
Shape shape(int format, int width, int height, int p) {
  const auto w = static_cast<size_t>(width);
  switch (format) {
    case TARSK_PIXEL_I420:
      return p ? Shape{w / 2, height / 2} : Shape{w, height};
    case TARSK_PIXEL_Y41B:
      return p ? Shape{w / 4, height} : Shape{w, height};
    case TARSK_PIXEL_I422:
      return p ? Shape{w / 2, height} : Shape{w, height};
    case TARSK_PIXEL_YUY2:
      return {2 * w, height};
    case TARSK_PIXEL_RGB24:
      return {3 * w, height};
    default:
      return {4 * w, height};
  }
}

// Plane p's lines of a picture, one after another.
Bytes lines_of(const tarsk_picture &p) {
  Bytes out;
  for (int plane = 0; plane < plane_count(p.format); ++plane) {
    const Shape s = shape(p.format, p.width, p.height, plane);
    for (int y = 0; y < s.lines; ++y) {
      const uint8_t *line = p.data[plane] + y * p.stride[plane];
      out.insert(out.end(), line, line + s.line);
    }
  }
  return out;
}

constexpr uint8_t untouched = 0xee;

// A picture in planes of the caller's, each line `pad` bytes longer than
// its samples, the padding and everything else filled with `untouched`.
struct CallerPicture {
  CallerPicture(int format, int width, int height, ptrdiff_t pad) : picture{} {
    picture.format = format;
    picture.width = width;
    picture.height = height;
    for (int p = 0; p < plane_count(format); ++p) {
      const Shape s = shape(format, width, height, p);
      picture.stride[p] = static_cast<ptrdiff_t>(s.line) + pad;
      planes[p].assign(static_cast<size_t>(picture.stride[p] * s.lines), untouched);
      picture.data[p] = planes[p].data();
    }
  }
  // Whether every byte past a line's samples is as it was.
  bool padding_intact() const {
    for (int p = 0; p < plane_count(picture.format); ++p) {
      const Shape s = shape(picture.format, picture.width, picture.height, p);
      for (int y = 0; y < s.lines; ++y)
        for (ptrdiff_t x = static_cast<ptrdiff_t>(s.line); x < picture.stride[p]; ++x)
          if (picture.data[p][y * picture.stride[p] + x] != untouched) return false;
    }
    return true;
  }
  Bytes planes[3];
  tarsk_picture picture;
};

// The layouts pictures are asked for in, with the padding of their lines
// (odd ones, so that lines start at any alignment). Format 0 stands for
// the frame's own planar layout, the one decoded by the frame call with
// its information and sound.
struct Layout {
  int format;
  ptrdiff_t pad;
};
constexpr Layout layouts[] = {{TARSK_PIXEL_NATIVE, 13},
                              {TARSK_PIXEL_I422, 64},
                              {TARSK_PIXEL_YUY2, 2},
                              {TARSK_PIXEL_RGB24, 1},
                              {TARSK_PIXEL_BGR0, 0}};
constexpr int layout_count = sizeof layouts / sizeof layouts[0];

// What decoding a frame into a layout gives.
struct Result {
  int error = TARSK_OK;
  Bytes picture;
  tarsk_picture_damage damage{};
  tarsk_frame_info info{};
  std::vector<int16_t> samples;
  bool operator==(const Result &o) const {
    return error == o.error && picture == o.picture &&
           damage.damaged_macroblocks == o.damage.damaged_macroblocks &&
           damage.concealed_macroblocks == o.damage.concealed_macroblocks &&
           std::memcmp(&info, &o.info, sizeof info) == 0 && samples == o.samples;
  }
};

tarsk_decoder_settings defaults() {
  tarsk_decoder_settings s;
  tarsk_decoder_default_settings(&s);
  return s;
}

// The oracle: a fresh decoder for the one frame, into planes it makes.
Result alone(const TestFrame &frame, int layout) {
  tarsk_decoder_settings s = defaults();
  tarsk_decoder *d = nullptr;
  EXPECT_EQ(tarsk_decoder_open(&d, &s), TARSK_OK);
  Result r;
  tarsk_picture picture{};
  picture.format = layouts[layout].format == 0 ? frame.native : layouts[layout].format;
  if (layouts[layout].format == 0) {
    r.samples.assign(TARSK_AUDIO_MAX_FRAMES * 4, 0);
    tarsk_audio audio{};
    r.error = tarsk_decode_frame(d, frame.bytes.data(), frame.bytes.size(), &r.info, &picture,
                                 &r.damage, r.samples.data(), r.samples.size(), &audio);
    r.samples.resize(static_cast<size_t>(audio.frames * audio.channels));
  } else {
    r.error = tarsk_decode_video(d, frame.bytes.data(), frame.bytes.size(), &picture, &r.damage);
  }
  if (r.error == TARSK_OK) r.picture = lines_of(picture);
  tarsk_picture_free(&picture);
  tarsk_decoder_close(&d);
  return r;
}

// The same through the service, into the caller's planes.
Result through(tarsk_decode_service *service, const TestFrame &frame, int layout,
               bool *padding_intact) {
  const int format = layouts[layout].format == 0 ? frame.native : layouts[layout].format;
  const int height = frame.bytes.size() == TARSK_FRAME_BYTES_625_50 ? 576 : 480;
  CallerPicture mine(format, 720, height, layouts[layout].pad);
  Result r;
  if (layouts[layout].format == 0) {
    r.samples.assign(TARSK_AUDIO_MAX_FRAMES * 4, 0);
    tarsk_audio audio{};
    r.error = tarsk_decode_service_frame(service, frame.bytes.data(), frame.bytes.size(), &r.info,
                                         &mine.picture, &r.damage, r.samples.data(),
                                         r.samples.size(), &audio);
    r.samples.resize(static_cast<size_t>(audio.frames * audio.channels));
  } else {
    r.error = tarsk_decode_service_video(service, frame.bytes.data(), frame.bytes.size(),
                                         &mine.picture, &r.damage);
  }
  if (r.error == TARSK_OK) r.picture = lines_of(mine.picture);
  *padding_intact = mine.padding_intact();
  return r;
}

// ---- Turns: steps taken strictly in order, step i on thread i % threads --

// Runs step(i) for i = 0 .. steps - 1 on `threads` threads in turn: the
// hand-off a caller makes to pass a context from thread to thread (each
// step begins after the one before has ended, and sees all it did).
template <typename Step>
void in_turns(int threads, int steps, Step step) {
  std::mutex mutex;
  std::condition_variable turned;
  int turn = 0;
  std::vector<std::thread> crew;
  for (int t = 0; t < threads; ++t)
    crew.emplace_back([&, t] {
      for (int i = t; i < steps; i += threads) {
        std::unique_lock<std::mutex> lock(mutex);
        turned.wait(lock, [&] { return turn == i; });
        lock.unlock();
        step(i);
        lock.lock();
        ++turn;
        turned.notify_all();
      }
    });
  for (std::thread &t : crew) t.join();
}

// ---- The tests ------------------------------------------------------------

// Threads call one service at once, between them decoding every frame in
// every layout, into pictures of their own with padded lines: every result
// is the oracle's, whatever context and thread took it and whatever it
// decoded before (a damaged frame right after the picture that a decoder
// in stream order would conceal it with), and no byte of padding is
// written. More callers than contexts make calls wait.
TEST(Threads, ServiceGivesEveryCallerTheLoneDecodersResults) {
  const std::vector<TestFrame> &frames = test_frames();
  const int count = static_cast<int>(frames.size());
  // Jobs layout by layout, frames in stream order within each.
  const int jobs = count * layout_count;
  std::vector<Result> want;
  for (int j = 0; j < jobs; ++j) want.push_back(alone(frames[j % count], j / count));
  int damaged_frames = 0;
  for (int f = 0; f < count; ++f)
    if (want[static_cast<size_t>(f)].damage.damaged_macroblocks > 0) {
      ++damaged_frames;
      EXPECT_EQ(want[static_cast<size_t>(f)].damage.concealed_macroblocks,
                want[static_cast<size_t>(f)].damage.damaged_macroblocks);
    }
  EXPECT_EQ(damaged_frames, 3);
  EXPECT_FALSE(want[0].samples.empty());
  // With no previous picture the flagged DIF sequence of the first damaged
  // frame (135 macroblocks) is grey; a decoder in stream order covers it
  // with the frame before.
  auto grey_macroblocks = [](const Bytes &i420) {
    int grey = 0;
    for (int y = 0; y < 576; y += 16)
      for (int x = 0; x < 720; x += 16) {
        bool all = true;
        for (int k = 0; k < 256; ++k) all = all && i420[(y + k / 16) * 720 + x + k % 16] == 128;
        grey += all;
      }
    return grey;
  };
  EXPECT_GE(grey_macroblocks(want[2].picture), 135) << frames[2].name;
  tarsk_decoder_settings in_order = defaults();
  tarsk_decoder *d = nullptr;
  ASSERT_EQ(tarsk_decoder_open(&d, &in_order), TARSK_OK);
  for (size_t f = 0; f < 3; ++f) {
    tarsk_picture p{};
    ASSERT_EQ(tarsk_decode_video(d, frames[f].bytes.data(), frames[f].bytes.size(), &p, nullptr),
              TARSK_OK);
    if (f == 2) {
      EXPECT_EQ(grey_macroblocks(lines_of(p)), 0);
    }
    tarsk_picture_free(&p);
  }
  tarsk_decoder_close(&d);

  struct Row {
    int contexts, callers;
  };
  for (const Row row : {Row{2, 5}, Row{8, 3}}) {
    SCOPED_TRACE(std::to_string(row.contexts) + " contexts, " + std::to_string(row.callers) +
                 " callers");
    tarsk_decoder_settings s = defaults();
    s.threads = row.contexts;
    tarsk_decode_service *service = nullptr;
    ASSERT_EQ(tarsk_decode_service_open(&service, &s), TARSK_OK);
    std::vector<std::vector<std::string>> wrong(static_cast<size_t>(row.callers));
    std::vector<std::thread> callers;
    for (int t = 0; t < row.callers; ++t)
      callers.emplace_back([&, t] {
        // The callers share the jobs out, a run of them each.
        for (int j = t * jobs / row.callers; j < (t + 1) * jobs / row.callers; ++j) {
          bool intact = false;
          const Result got =
              through(service, frames[static_cast<size_t>(j % count)], j / count, &intact);
          if (!(got == want[static_cast<size_t>(j)]) || !intact)
            wrong[static_cast<size_t>(t)].push_back(frames[static_cast<size_t>(j % count)].name +
                                                    " in layout " + std::to_string(j / count) +
                                                    (intact ? "" : ": padding written"));
        }
      });
    for (std::thread &t : callers) t.join();
    for (const auto &w : wrong)
      for (const std::string &what : w) ADD_FAILURE() << what;
    tarsk_decode_service_close(&service);
    EXPECT_EQ(service, nullptr);
  }
}

// What a service refuses; a call after a refused one decodes.
TEST(Threads, ServiceRefusesWhatADecoderRefuses) {
  const TestFrame &frame = test_frames()[0];
  tarsk_decode_service *service = nullptr;
  for (const int threads : {0, 65}) {
    tarsk_decoder_settings s = defaults();
    s.threads = threads;
    EXPECT_EQ(tarsk_decode_service_open(&service, &s), TARSK_E_BAD_SETTINGS) << threads;
    EXPECT_EQ(service, nullptr);
  }
  EXPECT_EQ(tarsk_decode_service_open(nullptr, nullptr), TARSK_E_BAD_CALL);
  ASSERT_EQ(tarsk_decode_service_open(&service, nullptr), TARSK_OK);
  CallerPicture fine(TARSK_PIXEL_YUY2, 720, 576, 0);
  CallerPicture upside_down(TARSK_PIXEL_YUY2, 720, 576, 0);
  upside_down.picture.data[0] += 575 * upside_down.picture.stride[0];
  upside_down.picture.stride[0] = -upside_down.picture.stride[0];
  const Bytes &b = frame.bytes;
  struct Row {
    const char *what;
    int got, want;
  } rows[] = {
      {"no service",
       tarsk_decode_service_video(nullptr, b.data(), b.size(), &fine.picture, nullptr),
       TARSK_E_BAD_CALL},
      {"a negative stride",
       tarsk_decode_service_video(service, b.data(), b.size(), &upside_down.picture, nullptr),
       TARSK_E_BAD_BUFFER},
      {"a good call after it",
       tarsk_decode_service_video(service, b.data(), b.size(), &fine.picture, nullptr), TARSK_OK},
  };
  for (const Row &r : rows) EXPECT_EQ(r.got, r.want) << r.what;
  tarsk_decode_service_close(&service);
  tarsk_decode_service_close(&service);  // closing twice is harmless
  // The C++ service's whole-frame call: the lone decoder's information and sound.
  const tarsk::DecodeService cpp;
  const Result want = alone(frame, 0);
  const auto got = cpp.decode_frame(b, nullptr, true);
  ASSERT_TRUE(got && got->audio && got->audio->channels.size() == 2);
  EXPECT_EQ(std::memcmp(&got->info, &want.info, sizeof want.info), 0);
  for (size_t i = 0; i < want.samples.size(); ++i)
    ASSERT_EQ(got->audio->channels[i % 2][i / 2], want.samples[i]) << i;
}

// A decoder handed from thread to thread gives the pictures, concealment
// included, of the same decoder on one thread: by tarsk_decode_video with
// and without threads of its own inside each picture, and by frame threads
// whose frames are sent on one thread and received on another.
TEST(Threads, DecoderHandedBetweenThreadsGivesTheOneThreadPictures) {
  const std::vector<TestFrame> &frames = test_frames();
  const int count = static_cast<int>(frames.size());
  auto open = [](int threads) {
    tarsk_decoder_settings s = defaults();
    s.threads = threads;
    tarsk_decoder *d = nullptr;
    EXPECT_EQ(tarsk_decoder_open(&d, &s), TARSK_OK);
    return d;
  };
  auto height = [&](int f) {
    return frames[static_cast<size_t>(f)].bytes.size() == TARSK_FRAME_BYTES_625_50 ? 576 : 480;
  };
  std::vector<Bytes> want;
  int concealed = 0;
  tarsk_decoder *one = open(1);
  for (int f = 0; f < count; ++f) {
    CallerPicture p(TARSK_PIXEL_YUY2, 720, height(f), 0);
    tarsk_picture_damage damage{};
    EXPECT_EQ(tarsk_decode_video(one, frames[static_cast<size_t>(f)].bytes.data(),
                                 frames[static_cast<size_t>(f)].bytes.size(), &p.picture, &damage),
              TARSK_OK);
    concealed += damage.concealed_macroblocks;
    want.push_back(lines_of(p.picture));
  }
  tarsk_decoder_close(&one);
  EXPECT_GT(concealed, 0);

  struct Row {
    int decoder_threads, callers;
    bool frame_threads;
  };
  for (const Row row : {Row{1, 3, false}, Row{2, 3, false}, Row{3, 2, true}}) {
    SCOPED_TRACE(std::to_string(row.decoder_threads) + " decoder threads, " +
                 (row.frame_threads ? "frame threads" : "a picture a call"));
    tarsk_decoder *d = open(row.decoder_threads);
    std::vector<CallerPicture> pictures;
    for (int f = 0; f < count; ++f) pictures.emplace_back(TARSK_PIXEL_YUY2, 720, height(f), 0);
    std::vector<int> results;  // the calls' results, in the order they were made
    int received = 0;
    auto receive = [&] {
      tarsk_picture *got = nullptr;
      results.push_back(tarsk_decode_receive(d, &got, nullptr));
      results.push_back(got == &pictures[static_cast<size_t>(received++)].picture ? 0 : 1);
    };
    // A step a frame, then steps to receive those still in flight.
    const int steps = row.frame_threads ? 2 * count : count;
    in_turns(row.callers, steps, [&](int i) {
      const auto f = static_cast<size_t>(i);
      if (!row.frame_threads) {
        results.push_back(tarsk_decode_video(d, frames[f].bytes.data(), frames[f].bytes.size(),
                                             &pictures[f].picture, nullptr));
      } else if (i < count) {
        int sent;
        while ((sent = tarsk_decode_send(d, frames[f].bytes.data(), frames[f].bytes.size(),
                                         &pictures[f].picture)) == TARSK_E_AGAIN)
          receive();
        results.push_back(sent);
        if (i % 2 == 1) receive();
      } else if (received < count) {
        receive();
      }
    });
    tarsk_decoder_close(&d);
    EXPECT_EQ(received, row.frame_threads ? count : 0);
    EXPECT_EQ(results, std::vector<int>(results.size(), TARSK_OK));
    for (int f = 0; f < count; ++f)
      EXPECT_TRUE(lines_of(pictures[static_cast<size_t>(f)].picture) ==
                  want[static_cast<size_t>(f)])
          << frames[static_cast<size_t>(f)].name;
  }
}

}  // namespace
