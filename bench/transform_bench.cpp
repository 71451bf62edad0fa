// Speed of the inverse transforms on the blocks of real frames: every 8x8
// block of a frame, dequantised and weighted as the decoder does it, through
// the fast inverse 8x8 DCT and through the plain definition it must match;
// and every block through the 2-4-8 dequantiser and inverse transform
// (still pictures have no 2-4-8 blocks of their own, and the 2-4-8 path
// costs the same whatever the coefficients). Items are blocks.
#include <benchmark/benchmark.h>
#include <tarsk/dv.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "frames.h"

namespace {

struct Block {
  dv_coeff_t coeffs[64];
  int qno, class_no;
};

struct Blocks {
  std::vector<Block> dct88;   // the 8x8 blocks, dequantised and weighted
  std::vector<Block> parsed;  // every block as parsed
};

Blocks blocks_of(const bench::Frame &frame) {
  Blocks blocks;
  dv_videosegment_t *seg = new dv_videosegment_t{};
  bitstream_t bs{};
  seg->bs = &bs;
  seg->isPAL = frame.pal;
  for (int s = 0; s < frame.sequences; ++s)
    for (int k = 0; k < 27; ++k) {
      _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(bench::segment_at(frame, s, k)), 400);
      seg->i = s;
      seg->k = k;
      dv_parse_video_segment(seg, DV_QUALITY_COLOR | DV_QUALITY_AC_2);
      for (dv_macroblock_t &mb : seg->mb)
        for (dv_block_t &b : mb.b) {
          Block block;
          std::copy(b.coeffs, b.coeffs + 64, block.coeffs);
          block.qno = mb.qno;
          block.class_no = b.class_no;
          blocks.parsed.push_back(block);
          if (b.dct_mode == 0) {
            _dv_quant_88_inverse(block.coeffs, mb.qno, b.class_no);
            _dv_weight_88_inverse(block.coeffs);
            blocks.dct88.push_back(block);
          }
        }
    }
  delete seg;
  return blocks;
}

// The inverse 8x8 transform as defined: every coefficient, zero or not.
double kc88[8][8][8][8];
double c88[8];

void plain_idct_88(dv_coeff_t *block) {
  double sum[64] = {};
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      const double a = c88[v] * c88[h] * block[v * 8 + h];
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) sum[y * 8 + x] += a * kc88[x][y][h][v];
    }
  for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(static_cast<int>(sum[i]));
}

template <void (*idct)(dv_coeff_t *)>
void idct_88(benchmark::State &state, const Blocks *blocks) {
  std::vector<Block> work = blocks->dct88;
  for (auto _ : state) {
    state.PauseTiming();
    work = blocks->dct88;
    state.ResumeTiming();
    for (Block &b : work) idct(b.coeffs);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(work.size()));
}

void idct_248(benchmark::State &state, const Blocks *blocks) {
  dv_248_coeff_t co[64];
  dv_coeff_t out[64];
  for (auto _ : state) {
    for (const Block &b : blocks->parsed) {
      _dv_quant_248_inverse(const_cast<dv_coeff_t *>(b.coeffs), b.qno, b.class_no, co);
      dv_idct_248(co, out);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(blocks->parsed.size()));
}

std::string describe(const Blocks &blocks) {
  long nonzero = 0, sparse = 0;
  for (const Block &b : blocks.dct88) {
    int n = 0;
    for (dv_coeff_t c : b.coeffs) n += c != 0;
    nonzero += n;
    sparse += n < 16;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "%zu 8x8 blocks (%.1f non-zero coefficients on average, %.0f%% with fewer than "
                "16) of %zu blocks",
                blocks.dct88.size(), double(nonzero) / double(blocks.dct88.size()),
                100.0 * double(sparse) / double(blocks.dct88.size()), blocks.parsed.size());
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<bench::Frame> frames;
  try {
    frames = bench::frames_to_measure();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench_transform: %s\n", e.what());
    return 1;
  }
  dv_decoder_t *decoder = dv_decoder_new(0, 0, 0);  // builds the shared tables
  if (decoder == nullptr) return 1;
  c88[0] = std::sqrt(0.125);
  for (int n = 1; n < 8; ++n) c88[n] = 0.5;
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y)
      for (int h = 0; h < 8; ++h)
        for (int v = 0; v < 8; ++v)
          kc88[x][y][h][v] =
              std::cos((2 * y + 1) * v * M_PI / 16.0) * std::cos((2 * x + 1) * h * M_PI / 16.0);

  std::vector<Blocks> sets;
  sets.reserve(frames.size());
  for (const bench::Frame &frame : frames) {
    sets.push_back(blocks_of(frame));
    const Blocks &blocks = sets.back();
    benchmark::AddCustomContext("frame " + frame.name, describe(blocks));
    benchmark::RegisterBenchmark(("idct_88/fast/" + frame.name).c_str(), idct_88<_dv_idct_88>,
                                 &blocks);
    benchmark::RegisterBenchmark(("idct_88/plain/" + frame.name).c_str(), idct_88<plain_idct_88>,
                                 &blocks);
    benchmark::RegisterBenchmark(("idct_248/" + frame.name).c_str(), idct_248, &blocks);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  dv_decoder_free(decoder);
  return 0;
}
