// AAUX packs: rate, quantisation, emphasis and samples of a frame's audio.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr int iec_speed = 0x20;

// A frame of `system` (IEC 61834 unless apt is set) with the given packs.
FrameBuilder frame_with(dv_system_t system, const Pack &source, const Pack &control, int apt = 0) {
  FrameBuilder frame(system);
  frame.apt(apt);
  with_audio_packs(frame, source, control);
  return frame;
}

// Parses the header (which reads the audio header) and the audio header
// once more for its result.
int audio_result(dv_decoder_t *dv, const FrameBuilder &frame) {
  dv_parse_header(dv, frame.bytes().data());
  return dv_parse_audio_header(dv, frame.bytes().data());
}

TEST(AudioHeader, SamplesAndSlotsPerFrame) {
  struct Case {
    dv_system_t system;
    int smp, af_size, frequency, samples, max;
  };
  for (const Case c : {Case{e_dv_system_625_50, 0, 24, 48000, 1920, 1944},
                       Case{e_dv_system_625_50, 1, 0, 44100, 1742, 1786},
                       Case{e_dv_system_625_50, 2, 32, 32000, 1296, 1296},
                       Case{e_dv_system_525_60, 0, 22, 48000, 1602, 1620},
                       Case{e_dv_system_525_60, 1, 37, 44100, 1489, 1489},
                       Case{e_dv_system_525_60, 2, 14, 32000, 1067, 1080}}) {
    auto dv = new_decoder();
    const bool pal = c.system == e_dv_system_625_50;
    auto frame = frame_with(c.system, aaux_source(c.af_size, pal, 1, c.smp, 0),
                            aaux_source_control(iec_speed));
    EXPECT_EQ(audio_result(dv.get(), frame), 1);
    const dv_audio_t *a = dv->audio;
    EXPECT_EQ(a->frequency, c.frequency);
    EXPECT_EQ(a->samples_this_frame, c.samples) << c.frequency;
    EXPECT_EQ(a->max_samples, c.max) << c.frequency;
    EXPECT_EQ(a->quantization, 16);
    EXPECT_EQ(a->num_channels, 2);
    EXPECT_EQ(a->aaux_as.pc0, 0x50);
    EXPECT_EQ(a->aaux_as.pc1.af_size, c.af_size);
    EXPECT_EQ(a->aaux_asc.pc3.speed, iec_speed);
  }
}

TEST(AudioHeader, PackBitFieldsMapToTheirBits) {
  auto dv = new_decoder();
  auto frame = frame_with(e_dv_system_625_50, {0x50, 0x9a, 0xb5, 0x4a, 0x51},
                          {0x51, 0xe4, 0xad, 0xa0, 0x7f});
  audio_result(dv.get(), frame);
  const dv_aaux_as_t &as = dv->audio->aaux_as;
  EXPECT_EQ(as.pc1.lf, 1);
  EXPECT_EQ(as.pc1.af_size, 0x1a);
  EXPECT_EQ(as.pc2.sm, 1);
  EXPECT_EQ(as.pc2.chn, 1);
  EXPECT_EQ(as.pc2.pa, 1);
  EXPECT_EQ(as.pc2.audio_mode, 5);
  EXPECT_EQ(as.pc3.ml, 1);
  EXPECT_EQ(as.pc3.system, 0);
  EXPECT_EQ(as.pc3.stype, 0x0a);
  EXPECT_EQ(as.pc4.ef, 0);
  EXPECT_EQ(as.pc4.tc, 1);
  EXPECT_EQ(as.pc4.smp, 2);
  EXPECT_EQ(as.pc4.qu, 1);
  const dv_aaux_asc_t &asc = dv->audio->aaux_asc;
  EXPECT_EQ(asc.pc1.cgms, 3);
  EXPECT_EQ(asc.pc1.isr, 2);
  EXPECT_EQ(asc.pc1.cmp, 1);
  EXPECT_EQ(asc.pc1.ss, 0);
  EXPECT_EQ(asc.pc2.rec_st, 1);
  EXPECT_EQ(asc.pc2.rec_end, 0);
  EXPECT_EQ(asc.pc2.rec_mode, 5);
  EXPECT_EQ(asc.pc2.insert_ch, 5);
  EXPECT_EQ(asc.pc3.drf, 1);
  EXPECT_EQ(asc.pc3.speed, 0x20);
  EXPECT_EQ(asc.pc4.genre_category, 0x7f);
  EXPECT_EQ(dv->audio->quantization, 12);
}

TEST(AudioHeader, OptionsOverrideThePack) {
  struct Case {
    int frequency_option, expected_frequency, expected_samples;
  };
  // A 625/50 pack at 48 kHz with af_size 10; each forced rate counts from
  // its own minimum. Option 3 is 48 kHz, as its description says.
  for (const Case c : {Case{1, 32000, 1274}, Case{2, 44100, 1752}, Case{3, 48000, 1906}}) {
    auto dv = new_decoder();
    dv->audio->arg_audio_frequency = c.frequency_option;
    auto frame = frame_with(e_dv_system_625_50, aaux_source(10, true, 1, 0, 0),
                            aaux_source_control(iec_speed));
    audio_result(dv.get(), frame);
    EXPECT_EQ(dv->audio->frequency, c.expected_frequency);
    EXPECT_EQ(dv->audio->samples_this_frame, c.expected_samples);
    EXPECT_EQ(dv->audio->max_samples, 1944);  // the pack's slots
  }
  for (auto [option, bits] : {std::pair{1, 12}, std::pair{2, 16}}) {
    auto dv = new_decoder();
    dv->audio->arg_audio_quantization = option;
    auto frame = frame_with(e_dv_system_625_50, aaux_source(0, true, 1, 2, option == 1 ? 0 : 1),
                            aaux_source_control(iec_speed));
    audio_result(dv.get(), frame);
    EXPECT_EQ(dv->audio->quantization, bits);
  }
}

TEST(AudioHeader, EmphasisFollowsThePackUnderIecOnly) {
  auto dv = new_decoder();
  auto on = frame_with(e_dv_system_625_50, aaux_source(0, true, 0, 0, 0),
                       aaux_source_control(iec_speed));
  audio_result(dv.get(), on);
  EXPECT_EQ(dv->audio->emphasis, 1);
  auto off = frame_with(e_dv_system_625_50, aaux_source(0, true, 1, 0, 0),
                        aaux_source_control(iec_speed));
  audio_result(dv.get(), off);
  EXPECT_EQ(dv->audio->emphasis, 0);

  // SMPTE 314M frames keep whatever the last IEC frame said.
  audio_result(dv.get(), on);
  auto smpte_off = frame_with(e_dv_system_625_50, aaux_source(0, true, 1, 0, 0),
                              aaux_source_control(iec_speed), 1);
  audio_result(dv.get(), smpte_off);
  EXPECT_EQ(dv->audio->emphasis, 1);

  dv->audio->arg_audio_emphasis = 2;
  audio_result(dv.get(), on);
  EXPECT_EQ(dv->audio->emphasis, 0);
  dv->audio->arg_audio_emphasis = 1;
  audio_result(dv.get(), off);
  EXPECT_EQ(dv->audio->emphasis, 1);
}

// Normal playback speed is 0x20 under IEC 61834; SMPTE 314M (DVCPRO25)
// writes 0x78 in 525/60 and 0x64 in 625/50. Any other code refuses the
// audio, though the record is updated.
TEST(AudioHeader, NormalSpeedByStandardAndSystem) {
  struct Case {
    dv_system_t system;
    int apt, speed, result;
  };
  for (const Case c : {Case{e_dv_system_525_60, 1, 0x78, 1}, Case{e_dv_system_625_50, 1, 0x64, 1},
                       Case{e_dv_system_525_60, 1, 0x64, 0}, Case{e_dv_system_625_50, 1, 0x78, 0},
                       Case{e_dv_system_625_50, 1, 0x20, 0}, Case{e_dv_system_625_50, 0, 0x64, 0},
                       Case{e_dv_system_525_60, 0, 0x78, 0}, Case{e_dv_system_525_60, 0, 0x20, 1},
                       Case{e_dv_system_625_50, 0, 0x21, 0}}) {
    auto dv = new_decoder();
    const bool pal = c.system == e_dv_system_625_50;
    auto frame = frame_with(c.system, aaux_source(20, pal, 1, 0, 0), aaux_source_control(c.speed),
                            c.apt);
    EXPECT_EQ(audio_result(dv.get(), frame), c.result) << pal << " " << c.apt << " " << c.speed;
    EXPECT_EQ(dv->audio->samples_this_frame, (pal ? 1896 : 1580) + 20);
    EXPECT_EQ(dv->audio->aaux_asc.pc3.speed, c.speed);
  }
}

// A pack claiming the most samples (af_size 63) never counts more than the
// frame's blocks hold.
TEST(AudioHeader, SampleCountNeverExceedsTheBlocks) {
  struct Case {
    dv_system_t system;
    int smp, qu, max;
  };
  for (const Case c : {Case{e_dv_system_625_50, 0, 0, 1944}, Case{e_dv_system_525_60, 0, 0, 1620},
                       Case{e_dv_system_625_50, 2, 1, 1296}, Case{e_dv_system_525_60, 2, 1, 1080},
                       Case{e_dv_system_625_50, 1, 0, 1786}, Case{e_dv_system_625_50, 0, 1, 1296}}) {
    auto dv = new_decoder();
    const bool pal = c.system == e_dv_system_625_50;
    auto frame = frame_with(c.system, aaux_source(63, pal, 1, c.smp, c.qu),
                            aaux_source_control(iec_speed));
    EXPECT_EQ(audio_result(dv.get(), frame), 1);
    EXPECT_EQ(dv->audio->max_samples, c.max) << pal << c.smp << c.qu;
    EXPECT_EQ(dv->audio->samples_this_frame, c.max) << pal << c.smp << c.qu;
    EXPECT_EQ(dv_update_num_samples(dv->audio, frame.bytes().data()), 1);
    EXPECT_EQ(dv->audio->samples_this_frame, c.max);
  }
}

// A source pack that says 525/60 in a 625/50 frame (or the reverse) lays
// the samples out for sequences the frame does not have: refused.
TEST(AudioHeader, PackOfTheOtherSystemIsRefused) {
  for (dv_system_t system : {e_dv_system_625_50, e_dv_system_525_60}) {
    auto dv = new_decoder();
    const bool pal = system == e_dv_system_625_50;
    auto frame = frame_with(system, aaux_source(0, !pal, 1, 0, 0), aaux_source_control(iec_speed));
    EXPECT_EQ(audio_result(dv.get(), frame), 0);
    EXPECT_LE(dv->audio->samples_this_frame, dv->audio->max_samples);
  }
}

TEST(AudioHeader, MissingPacksChangeNothing) {
  auto dv = new_decoder();
  auto good = frame_with(e_dv_system_625_50, aaux_source(24, true, 1, 0, 0),
                         aaux_source_control(iec_speed));
  audio_result(dv.get(), good);
  const dv_audio_t before = *dv->audio;

  FrameBuilder no_control(e_dv_system_625_50);
  no_control.aaux(0, 3, aaux_source(5, true, 1, 2, 0));
  EXPECT_EQ(audio_result(dv.get(), no_control), 0);
  FrameBuilder no_source(e_dv_system_625_50);
  no_source.aaux(0, 4, aaux_source_control(iec_speed));
  EXPECT_EQ(audio_result(dv.get(), no_source), 0);
  EXPECT_EQ(std::memcmp(&before, dv->audio, sizeof before), 0);
}

TEST(AudioHeader, UndecodableQuantisationIsRefused) {
  for (int qu = 2; qu < 8; ++qu) {
    auto dv = new_decoder();
    auto frame = frame_with(e_dv_system_525_60, aaux_source(0, false, 1, 2, qu),
                            aaux_source_control(iec_speed));
    CaptureStderr();
    EXPECT_EQ(audio_result(dv.get(), frame), 0);
    EXPECT_EQ(GetCapturedStderr(), "tarsk(audio):  Malformrmed AAUX AS? pc4.qu == " +
                                       std::to_string(qu) + "\n" +
                                       "tarsk(audio):  Malformrmed AAUX AS? pc4.qu == " +
                                       std::to_string(qu) + "\n");
    EXPECT_EQ(dv->audio->max_samples, 1080);
    EXPECT_EQ(dv->audio->frequency, 0);
    EXPECT_EQ(dv->audio->aaux_as.pc0, 0);  // not copied
  }
}

TEST(AudioHeader, UnknownSamplingCodeIsAnUnsupportedFrequency) {
  for (int smp = 3; smp < 8; ++smp) {
    auto dv = new_decoder();
    auto frame = frame_with(e_dv_system_625_50, aaux_source(63, true, 1, smp, 0),
                            aaux_source_control(iec_speed));
    dv_parse_header(dv.get(), frame.bytes().data());
    CaptureStderr();
    EXPECT_EQ(dv_parse_audio_header(dv.get(), frame.bytes().data()), 0);
    EXPECT_EQ(GetCapturedStderr(), "tarsk(audio):  frequency 0 not supported\n");
    EXPECT_EQ(dv->audio->samples_this_frame, -1);
    EXPECT_EQ(dv->audio->max_samples, 0);

    // A rate forced by option makes the audio decodable again: at 32 kHz
    // a 625/50 frame holds at most 1296 samples, though the pack claims
    // 1264 + 63.
    dv->audio->arg_audio_frequency = 1;
    EXPECT_EQ(dv_parse_audio_header(dv.get(), frame.bytes().data()), 1);
    EXPECT_EQ(dv->audio->samples_this_frame, 1296);
    EXPECT_EQ(dv->audio->max_samples, 1296);
  }
}

TEST(AudioHeader, UpdateNumSamplesUsesTheCurrentRate) {
  auto dv = new_decoder();
  auto frame = frame_with(e_dv_system_625_50, aaux_source(24, true, 1, 0, 0),
                          aaux_source_control(iec_speed));
  audio_result(dv.get(), frame);
  auto next = frame_with(e_dv_system_625_50, aaux_source(0, true, 1, 2, 0),
                         aaux_source_control(iec_speed));
  EXPECT_EQ(dv_update_num_samples(dv->audio, next.bytes().data()), 1);
  EXPECT_EQ(dv->audio->samples_this_frame, 1896);  // 48 kHz minimum, af_size 0
  FrameBuilder none(e_dv_system_625_50);
  EXPECT_EQ(dv_update_num_samples(dv->audio, none.bytes().data()), 0);
  EXPECT_EQ(dv->audio->samples_this_frame, 1896);
}

TEST(AudioHeader, DumpOfASourcePack) {
  auto frame = frame_with(e_dv_system_625_50, aaux_source(24, true, 0, 0, 0),
                          aaux_source_control(iec_speed));
  uint8_t *block = &frame.bytes()[dif::audio_offset(0, 3)];
  CaptureStdout();
  dv_dump_aaux_as(block, 0, 3);
  EXPECT_EQ(GetCapturedStdout(),
            "DS 0, Audio DIF 3, AAUX AS pack: Unlocked audio, Sampling 48.0 kHz (1920 samples, 50 "
            "fields), Quantization 16 bits, Emphasis on\n");

  auto ntsc = frame_with(e_dv_system_525_60, {0x50, 0x0e, 0, 0x00, 0xd1},
                         aaux_source_control(iec_speed));
  CaptureStdout();
  dv_dump_aaux_as(&ntsc.bytes()[dif::audio_offset(0, 3)], 2, 3);
  EXPECT_EQ(GetCapturedStdout(),
            "DS 2, Audio DIF 3, AAUX AS pack: Locked audio, Sampling 32.0 kHz (1067 samples, 60 "
            "fields), Quantization 12 bits, Emphasis off\n");

  CaptureStderr();
  dv_dump_aaux_as(&frame.bytes()[0], 0, 0);
  EXPECT_EQ(GetCapturedStderr(), "tarsk(audio):  Missing AAUX AS PACK!\n");
}

}  // namespace
