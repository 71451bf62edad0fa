// Macroblock writers: their tables, byte layouts and edges.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <random>
#include <vector>


namespace {

// A macroblock whose luma samples are all `y` and chroma `cr`, `cb`.
dv_macroblock_t flat(int y, int cr, int cb, int x = 0, int line = 0) {
  dv_macroblock_t mb{};
  mb.x = x;
  mb.y = line;
  for (int b = 0; b < 6; ++b)
    for (dv_coeff_t &c : mb.b[b].coeffs) c = static_cast<dv_coeff_t>(b < 4 ? y : b == 4 ? cr : cb);
  return mb;
}

// A macroblock whose every sample tells where it comes from: luma sample
// i of block b is 64 b + i - 128 (all 256 bytes once) and chroma sample i
// is -100 + i (Cr) or 100 - i (Cb), so a byte shows which sample went
// there.
dv_macroblock_t marked() {
  dv_macroblock_t mb{};
  for (int b = 0; b < 4; ++b)
    for (int i = 0; i < 64; ++i) mb.b[b].coeffs[i] = static_cast<dv_coeff_t>(64 * b + i - 128);
  for (int i = 0; i < 64; ++i) {
    mb.b[4].coeffs[i] = static_cast<dv_coeff_t>(-100 + i);
    mb.b[5].coeffs[i] = static_cast<dv_coeff_t>(100 - i);
  }
  return mb;
}

struct Picture {
  int width, height, bytes_per_pixel;
  std::vector<uint8_t> data;
  uint8_t *pixels[1];
  int pitches[1];
  Picture(int w, int h, int bpp)
      : width(w), height(h), bytes_per_pixel(bpp), data(static_cast<size_t>(w * h * bpp), 0xee) {
    pixels[0] = data.data();
    pitches[0] = w * bpp;
  }
  const uint8_t *at(int x, int y) const { return &data[static_cast<size_t>((y * width + x) * bytes_per_pixel)]; }
};

class Writers : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
  void TearDown() override { dv_reconfigure(0, 0); }
};

// Luma and chroma byte of a flat 4:2:0 macroblock written as YUY2.
std::pair<int, int> yuy2_of(int y, int c, int clamp_luma, int clamp_chroma, bool setup411) {
  dv_reconfigure(clamp_luma, clamp_chroma);
  Picture p(32, 16, 2);
  dv_macroblock_t mb = flat(y, c, c);
  if (setup411)
    dv_mb411_YUY2(&mb, p.pixels, p.pitches, 1);
  else
    dv_mb420_YUY2(&mb, p.pixels, p.pitches);
  return {p.data[0], p.data[1]};
}

TEST_F(Writers, Yuy2LevelsClampsAndSetUp) {
  EXPECT_EQ(yuy2_of(0, 0, 0, 0, false), std::pair(128, 128));
  EXPECT_EQ(yuy2_of(-128, -128, 0, 0, false), std::pair(0, 0));
  EXPECT_EQ(yuy2_of(127, 127, 0, 0, false), std::pair(255, 255));
  EXPECT_EQ(yuy2_of(-128, -128, 1, 1, false), std::pair(16, 16));
  EXPECT_EQ(yuy2_of(127, 127, 1, 1, false), std::pair(235, 240));
  EXPECT_EQ(yuy2_of(-3000, -3000, 0, 0, false), std::pair(0, 0));
  EXPECT_EQ(yuy2_of(3000, 3000, 0, 0, false), std::pair(255, 255));
  EXPECT_EQ(yuy2_of(-128, 0, 0, 0, true).first, 16);
  EXPECT_EQ(yuy2_of(-128, 0, 1, 0, true).first, 32);
  EXPECT_EQ(yuy2_of(127, 0, 0, 0, true).first, 255);
  EXPECT_EQ(yuy2_of(127, 0, 1, 0, true).first, 251);
  EXPECT_EQ(yuy2_of(40, 0, 0, 0, true).first, 184);
}

TEST_F(Writers, Yuy2411LayoutPairsFourPixelsWithOneChromaSample) {
  Picture p(32, 8, 2);
  dv_macroblock_t mb = marked();
  dv_mb411_YUY2(&mb, p.pixels, p.pitches, 0);
  for (int line = 0; line < 8; ++line)
    for (int px = 0; px < 32; ++px) {
      const uint8_t *pixel = p.at(px, line);
      EXPECT_EQ(pixel[0], mb.b[px / 8].coeffs[line * 8 + px % 8] + 128);
      const int chroma = line * 8 + px / 4;
      EXPECT_EQ(pixel[1], (px % 2 ? mb.b[4] : mb.b[5]).coeffs[chroma] + 128) << line << " " << px;
    }
}

TEST_F(Writers, Yuy2RightEdgeTakesChromaColumnsByHalf) {
  Picture p(720, 16, 2);
  dv_macroblock_t mb = marked();
  mb.x = 704;
  dv_mb411_right_YUY2(&mb, p.pixels, p.pitches, 0);
  EXPECT_EQ(p.data[1407], 0xee);  // nothing left of byte 1408
  for (int line = 0; line < 16; ++line)
    for (int px = 0; px < 16; ++px) {
      const uint8_t *pixel = p.at(704 + px, line);
      const dv_block_t &luma = mb.b[(line / 8) * 2 + px / 8];
      EXPECT_EQ(pixel[0], luma.coeffs[(line % 8) * 8 + px % 8] + 128);
      const int chroma = (line % 8) * 8 + (line / 8) * 4 + px / 4;
      EXPECT_EQ(pixel[1], (px % 2 ? mb.b[4] : mb.b[5]).coeffs[chroma] + 128) << line << " " << px;
    }
}

TEST_F(Writers, Yuy2420SharesChromaOverTwoByTwo) {
  Picture p(16, 16, 2);
  dv_macroblock_t mb = marked();
  dv_mb420_YUY2(&mb, p.pixels, p.pitches);
  for (int line = 0; line < 16; ++line)
    for (int px = 0; px < 16; ++px) {
      const uint8_t *pixel = p.at(px, line);
      EXPECT_EQ(pixel[0], mb.b[(line / 8) * 2 + px / 8].coeffs[(line % 8) * 8 + px % 8] + 128);
      const int chroma = (line / 2) * 8 + px / 2;
      EXPECT_EQ(pixel[1], (px % 2 ? mb.b[4] : mb.b[5]).coeffs[chroma] + 128) << line << " " << px;
    }
}

TEST_F(Writers, Yv12PlanesAndTheirOrder) {
  std::vector<uint8_t> luma(720 * 576, 0xee), cr(360 * 288, 0xee), cb(360 * 288, 0xee);
  uint8_t *planes[3] = {luma.data(), cr.data(), cb.data()};
  uint16_t pitches[3] = {720, 360, 360};
  dv_macroblock_t mb = marked();
  mb.x = 704;
  mb.y = 560;
  dv_mb420_YV12(&mb, planes, pitches);
  for (int line = 0; line < 16; ++line)
    for (int px = 0; px < 16; ++px)
      EXPECT_EQ(luma[static_cast<size_t>((560 + line) * 720 + 704 + px)],
                mb.b[(line / 8) * 2 + px / 8].coeffs[(line % 8) * 8 + px % 8] + 128);
  EXPECT_EQ(luma[559 * 720 + 704], 0xee);
  for (int row = 0; row < 8; ++row)
    for (int col = 0; col < 8; ++col) {
      EXPECT_EQ(cr[static_cast<size_t>((280 + row) * 360 + 352 + col)], -100 + row * 8 + col + 128);
      EXPECT_EQ(cb[static_cast<size_t>((280 + row) * 360 + 352 + col)], 100 - row * 8 - col + 128);
    }
  dv_reconfigure(1, 1);
  dv_macroblock_t bright = flat(300, 127, -300);
  dv_mb420_YV12(&bright, planes, pitches);
  EXPECT_EQ(luma[0], 235);
  EXPECT_EQ(cr[0], 240);
  EXPECT_EQ(cb[0], 16);
}

// One pixel of a flat macroblock through the RGB writers.
std::vector<int> rgb_of(int y, int cr, int cb, int setup = 0) {
  Picture p(32, 16, 3);
  dv_macroblock_t mb = flat(y, cr, cb);
  dv_mb411_rgb(&mb, p.pixels, p.pitches, setup);
  return {p.data[0], p.data[1], p.data[2]};
}

TEST_F(Writers, RgbLevelsAndSaturation) {
  EXPECT_EQ(rgb_of(0, 0, 0), (std::vector<int>{130, 130, 130}));
  EXPECT_EQ(rgb_of(0, 0, 0, 1), (std::vector<int>{148, 148, 148}));
  EXPECT_EQ(rgb_of(-112, 0, 0), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(rgb_of(107, 0, 0), (std::vector<int>{254, 254, 254}));
  EXPECT_EQ(rgb_of(108, 0, 0), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(rgb_of(-200, 0, 0), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(rgb_of(0, 127, 0)[0], 255);
  EXPECT_EQ(rgb_of(0, 0, 127)[2], 255);
  EXPECT_EQ(rgb_of(511, 127, 127), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(rgb_of(32767, -32768, 32767), (std::vector<int>{255, 255, 255}));
  dv_reconfigure(1, 1);
  EXPECT_EQ(rgb_of(108, 0, 0), (std::vector<int>{254, 254, 254}));
  EXPECT_EQ(rgb_of(0, 127, 0), rgb_of(0, 112, 0));
}

TEST_F(Writers, RgbAndBgr0CoverTheSameCells) {
  using Writer = void (*)(dv_macroblock_t *, uint8_t **, int *);
  struct Shape {
    int width, height, x;
    Writer rgb, bgr0;
  };
  auto right_rgb = [](dv_macroblock_t *mb, uint8_t **p, int *q) { dv_mb411_right_rgb(mb, p, q, 0); };
  auto right_bgr0 = [](dv_macroblock_t *mb, uint8_t **p, int *q) { dv_mb411_right_bgr0(mb, p, q, 0); };
  auto rgb411 = [](dv_macroblock_t *mb, uint8_t **p, int *q) { dv_mb411_rgb(mb, p, q, 0); };
  auto bgr411 = [](dv_macroblock_t *mb, uint8_t **p, int *q) { dv_mb411_bgr0(mb, p, q, 0); };
  for (const Shape &shape : {Shape{32, 8, 0, rgb411, bgr411}, Shape{16, 16, 704, right_rgb, right_bgr0},
                             Shape{16, 16, 0, dv_mb420_rgb, dv_mb420_bgr0}}) {
    Picture rgb(720, 16, 3), bgr0(720, 16, 4), yuy2(720, 16, 2);
    dv_macroblock_t mb = marked();
    mb.x = shape.x;
    shape.rgb(&mb, rgb.pixels, rgb.pitches);
    shape.bgr0(&mb, bgr0.pixels, bgr0.pitches);
    for (int line = 0; line < shape.height; ++line)
      for (int px = shape.x; px < shape.x + shape.width; ++px) {
        const uint8_t *a = rgb.at(px, line);
        const uint8_t *b = bgr0.at(px, line);
        ASSERT_EQ(a[0], b[2]);
        ASSERT_EQ(a[1], b[1]);
        ASSERT_EQ(a[2], b[0]);
        ASSERT_EQ(b[3], 0);
      }
    if (shape.x + shape.width < 720) {
      EXPECT_EQ(rgb.at(shape.x + shape.width, 0)[0], 0xee);  // nothing right of it
    }
  }
}

}  // namespace
