// The decoder's popt option tables, parsed by popt itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/decoder.h"

namespace {

using tarsk::test::Decoder;
using tarsk::test::new_decoder;

// Parses a command line through the decoder's option table; returns popt's
// final code (-1 when every option was taken).
int parse(dv_decoder_t *dv, std::vector<std::string> args) {
  args.insert(args.begin(), "prog");
  std::vector<const char *> argv;
  for (const auto &a : args) argv.push_back(a.c_str());
  poptContext con = poptGetContext("prog", static_cast<int>(argv.size()), argv.data(),
                                   dv->option_table, 0);
  int rc;
  while ((rc = poptGetNextOpt(con)) > 0) {
  }
  poptFreeContext(con);
  return rc;
}

TEST(DecoderOptions, DefaultsGiveColourAndMultiPass) {
  auto dv = new_decoder();
  ASSERT_EQ(parse(dv.get(), {}), -1);
  EXPECT_EQ(dv->arg_video_system, 0);
  EXPECT_EQ(dv->video->arg_block_quality, 3);
  EXPECT_EQ(dv->video->quality, 5u);  // colour and multi-pass
  EXPECT_EQ(dv->quality, 0u);         // the caller copies it over
}

TEST(DecoderOptions, LongAndShortNamesSetTheirFields) {
  auto dv = new_decoder();
  ASSERT_EQ(parse(dv.get(), {"-V", "3", "--quality=2", "--ntsc-setup", "1", "-f", "1",
                             "--quantization=2", "-e", "2"}),
            -1);
  EXPECT_EQ(dv->arg_video_system, 3);
  EXPECT_EQ(dv->video->arg_block_quality, 2);
  EXPECT_EQ(dv->video->quality, 3u);  // colour and single pass
  EXPECT_EQ(dv->add_ntsc_setup, 1);
  EXPECT_EQ(dv->audio->arg_audio_frequency, 1);
  EXPECT_EQ(dv->audio->arg_audio_quantization, 2);
  EXPECT_EQ(dv->audio->arg_audio_emphasis, 2);
}

TEST(DecoderOptions, MonochromeAtDcOnlyLeavesNoFlags) {
  auto dv = new_decoder();
  ASSERT_EQ(parse(dv.get(), {"-q", "1", "-m"}), -1);
  EXPECT_EQ(dv->video->arg_monochrome, 1);
  EXPECT_EQ(dv->video->quality, 0u);
}

TEST(DecoderOptions, UnknownOptionIsPopts) {
  auto dv = new_decoder();
  EXPECT_EQ(parse(dv.get(), {"--no-such-option"}), POPT_ERROR_BADOPT);
}

TEST(DecoderOptions, TablesAreLaidOutForInclusion) {
  auto dv = new_decoder();
  const poptOption *t = dv->option_table;
  EXPECT_STREQ(t[0].longName, "video-system");
  EXPECT_EQ(t[0].shortName, 'V');
  EXPECT_EQ(t[1].argInfo, POPT_ARG_INCLUDE_TABLE);
  EXPECT_EQ(t[1].arg, dv->video->option_table);
  EXPECT_STREQ(t[1].descrip, "Video decode options");
  EXPECT_EQ(t[2].arg, dv->audio->option_table);
  EXPECT_STREQ(t[2].descrip, "Audio decode options");
  EXPECT_EQ(t[3].argInfo, POPT_ARG_CALLBACK | POPT_CBFLAG_POST);
  EXPECT_EQ(static_cast<const void *>(t[3].descrip), dv.get());
  EXPECT_STREQ(t[4].longName, "ntsc-setup");
  EXPECT_EQ(t[5].longName, nullptr);
  EXPECT_EQ(t[5].argInfo, 0u);
  EXPECT_EQ(dv->video->option_table[3].argInfo, 0u);
  EXPECT_EQ(dv->audio->option_table[4].argInfo, 0u);
}

// A bad value ends the process with status 255 (exit(-1)) and the option's
// usage line on standard error.
struct BadValue {
  std::vector<std::string> args;
  std::string usage;
};

class DecoderOptionsDeath : public testing::TestWithParam<BadValue> {};

TEST_P(DecoderOptionsDeath, BadValueEndsTheProcessWithUsage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const BadValue &bad = GetParam();
  EXPECT_EXIT(
      {
        auto dv = new_decoder();
        parse(dv.get(), bad.args);
        std::exit(0);
      },
      testing::ExitedWithCode(255), "^" + bad.usage + "\n$");
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecoderOptionsDeath,
    testing::Values(BadValue{{"-V", "4"}, "-V, --video-system=\\(0\\|1\\|2\\|3\\)"},
                    BadValue{{"--video-system=-1"}, "-V, --video-system=\\(0\\|1\\|2\\|3\\)"},
                    BadValue{{"-q", "0"}, "-q, --quality=\\(1\\|2\\|3\\)"},
                    BadValue{{"--quality", "4"}, "-q, --quality=\\(1\\|2\\|3\\)"},
                    BadValue{{"-f", "5"}, "-f, --frequency=\\(0\\|1\\|2\\|3\\)"},
                    BadValue{{"-Q", "3"}, "-Q, --quantization=\\(0\\|1\\|2\\)"},
                    BadValue{{"--emphasis=-2"}, "-e, --emphasis=\\(0\\|1\\|2\\)"}));

TEST(OptionUsage, RecordsWithoutNamesOrArgumentText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  poptOption table[] = {{"long-only", '\0', POPT_ARG_NONE, nullptr, 0, nullptr, nullptr},
                        {nullptr, 'x', POPT_ARG_NONE, nullptr, 0, nullptr, "N"},
                        {}};
  EXPECT_EXIT(dv_opt_usage(nullptr, table, 0), testing::ExitedWithCode(255),
              "^--long-only: invalid usage\n$");
  EXPECT_EXIT(dv_opt_usage(nullptr, table, 1), testing::ExitedWithCode(255), "^-x=N\n$");
}

}  // namespace
