// `tarsk encode` and `tarsk decode` keep each field's colour: a moving
// interlaced pattern (ffmpeg's, 4:2:2) comes back with the chroma of each
// field close to its own, where chroma mixed between the fields comes back
// some 12 dB further off; a progressive one keeps its chroma between
// neighbouring lines and comes back at least as close as with chroma
// repeated on its pair of lines. The Y4M written says which: Ib C420paldv
// or Ip C420jpeg.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ffmpeg.h"
#include "tool.h"

namespace {

namespace fs = std::filesystem;
using namespace tarsk::test;
using Bytes = std::vector<uint8_t>;

constexpr size_t line_bytes = 720 * 2;  // YUY2

// The lines of one field of YUY2 pictures.
Bytes field_of(const Bytes &yuy2, int field) {
  Bytes out;
  for (size_t at = line_bytes * static_cast<size_t>(field); at + line_bytes <= yuy2.size();
       at += 2 * line_bytes)
    out.insert(out.end(), yuy2.begin() + static_cast<long>(at),
               yuy2.begin() + static_cast<long>(at + line_bytes));
  return out;
}

struct Case {
  const char *name;
  std::string filter;  // after ffmpeg's testsrc (RGB) at 50 pictures a second
  int pictures;        // what the filter makes of the 8 DV frames' worth
  const char *interlace, *chroma;  // of the Y4M `tarsk decode` writes
  double floor;        // chroma PSNR of each field, in dB
};

TEST(Fields, ToolKeepsEachFieldsColour) {
  // Measured: interlaced motion 33.3 and 35.2 dB (21.1 with chroma mixed
  // between the fields), progressive 36.9 (35.8 with chroma repeated).
  const Case cases[] = {
      {"interlaced motion",
       "scroll=h=0.02,interlace=scan=bff:lowpass=0,format=yuv422p,setfield=bff", 8, " Ib ",
       " C420paldv", 32},
      {"progressive", "framestep=2,format=yuv422p,setfield=prog", 8, " Ip ", " C420jpeg", 36.3}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = fresh_dir(), in = dir / "in.y4m", dv = dir / "out.dv";
    run_ffmpeg({"-f", "lavfi", "-i", "testsrc=size=720x576:rate=50", "-vf", c.filter, "-frames:v",
                std::to_string(c.pictures), "-f", "yuv4mpegpipe", "-strict", "-1", "-y",
                in.string()});
    const Bytes source = ffmpeg_raw({"-i", in.string()}, "yuyv422");
    ASSERT_EQ(source.size(), 8 * line_bytes * 576);
    const auto encoded = run_tarsk({"encode", in.string(), "--quality", "best", "-q", "-o", dv});
    ASSERT_EQ(encoded.exit_status, 0) << encoded.err;
    const auto decoded = run_tarsk({"decode", dv.string(), "-q", "-f", "yuy2", "-o", "-"});
    ASSERT_EQ(decoded.exit_status, 0) << decoded.err;
    const Bytes back(decoded.out.begin(), decoded.out.end());
    ASSERT_EQ(back.size(), source.size());
    for (int field : {0, 1})
      EXPECT_GE(psnr(field_of(source, field), field_of(back, field), 1, 2), c.floor)
          << "field " << field;
    const auto y4m = run_tarsk({"decode", dv.string(), "-q", "--frames", "0", "-o", "-"});
    const std::string header = y4m.out.substr(0, y4m.out.find('\n'));
    EXPECT_NE(header.find(c.interlace), std::string::npos) << header;
    EXPECT_NE(header.find(c.chroma), std::string::npos) << header;
  }
}

}  // namespace
