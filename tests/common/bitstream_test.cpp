// The bit readers and the bit writer: values, positions and buffer bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/bitstream.h"

namespace {

// A reader over a buffer the test owns.
struct Reader {
  std::vector<uint8_t> bytes;
  bitstream_t bs{};
  explicit Reader(std::vector<uint8_t> b) : bytes(std::move(b)) {
    _dv_bitstream_new_buffer(&bs, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
};

// Bit i of a byte buffer, most significant first: the reference the reader
// is checked against.
uint32_t reference_bits(const std::vector<uint8_t> &b, size_t from, unsigned n) {
  uint32_t v = 0;
  for (unsigned i = 0; i < n; ++i) {
    const size_t bit = from + i;
    v = (v << 1) | ((b[bit / 8] >> (7 - bit % 8)) & 1u);
  }
  return v;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  for (auto &x : b) x = static_cast<uint8_t>(rng());
  return b;
}

TEST(BitReader, ReadsMostSignificantBitFirstAcrossWords) {
  Reader r({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  EXPECT_EQ(r.bs.bufoffset, 8);
  EXPECT_EQ(bitstream_get(&r.bs, 4), 0x1u);
  EXPECT_EQ(bitstream_get(&r.bs, 32), 0x23456789u);
  EXPECT_EQ(r.bs.bitsread, 36);
  EXPECT_EQ(bitstream_get(&r.bs, 12), 0xABCu);
}

TEST(BitReader, GetOfExactlyTheBitsLeftMovesToTheNextWord) {
  Reader r({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44});
  bitstream_get(&r.bs, 12);
  ASSERT_EQ(r.bs.bits_left, 20);
  EXPECT_EQ(bitstream_get(&r.bs, 20), 0x45678u);
  EXPECT_EQ(r.bs.bits_left, 32);
  EXPECT_EQ(r.bs.current_word, 0x9ABCDEF0u);
  EXPECT_EQ(bitstream_get(&r.bs, 8), 0x9Au);
}

TEST(BitReader, RandomReadsMatchTheBitsOfTheBuffer) {
  const auto bytes = random_bytes(400, 1);
  Reader r(bytes);
  std::mt19937 rng(2);
  size_t pos = 0;
  while (pos + 32 <= bytes.size() * 8) {
    const unsigned n = 1 + rng() % 32;
    if (rng() % 4 == 0) {
      bitstream_skip(&r.bs, n);
    } else {
      ASSERT_EQ(bitstream_get(&r.bs, n), reference_bits(bytes, pos, n)) << pos << " " << n;
    }
    pos += n;
    ASSERT_EQ(r.bs.bitsread, static_cast<int32_t>(pos));
  }
}

TEST(BitReader, SeekPositionsAtAnyBit) {
  const auto bytes = random_bytes(400, 3);
  Reader r(bytes);
  bitstream_seek(&r.bs, 37);
  EXPECT_EQ(bitstream_get(&r.bs, 3), reference_bits(bytes, 37, 3));
  EXPECT_EQ(r.bs.bitsread, 40);
  for (uint32_t offset : {0u, 31u, 32u, 33u, 1000u, 3100u, 3168u}) {
    bitstream_seek(&r.bs, offset);
    EXPECT_EQ(bitstream_get(&r.bs, 32), reference_bits(bytes, offset, 32)) << offset;
  }
}

TEST(BitReader, ByteAlignDropsPartialBytes) {
  Reader r(random_bytes(16, 7));
  bitstream_get(&r.bs, 19);  // 13 bits left
  _dv_bitstream_byte_align(&r.bs);
  EXPECT_EQ(r.bs.bits_left, 8);
  EXPECT_EQ(r.bs.bitsread, 24);
  bitstream_get(&r.bs, 3);  // 5 bits left
  _dv_bitstream_byte_align(&r.bs);
  EXPECT_EQ(r.bs.bits_left, 32);
  EXPECT_EQ(r.bs.bitsread, 32);
  EXPECT_EQ(r.bs.current_word, reference_bits(r.bytes, 32, 32));
}

TEST(BitReader, NeverReadsBeyondItsBuffer) {
  // Under AddressSanitizer a read past the heap buffer fails the test; the
  // values past the end are the buffer's last word or zero, never memory.
  auto *heap = new uint8_t[12];
  for (int i = 0; i < 12; ++i) heap[i] = static_cast<uint8_t>(0xA0 + i);
  bitstream_t bs{};
  _dv_bitstream_new_buffer(&bs, heap, 12);
  for (int i = 0; i < 10; ++i) bitstream_get(&bs, 32);
  EXPECT_EQ(bs.next_word, 0xA8A9AAABu);  // the last word again
  bitstream_seek(&bs, 96);                // both words beyond the end
  EXPECT_EQ(bs.current_word, 0u);
  bitstream_seek(&bs, 64 + 5);
  EXPECT_EQ(bitstream_get(&bs, 27), (0xA8A9AAABu << 5) >> 5);
  bitstream_seek(&bs, 5000);
  bitstream_get(&bs, 32);
  bitstream_get(&bs, 32);  // refill far beyond the end stays inside
  delete[] heap;
}

// Fill function that hands out two buffers in turn.
struct Chain {
  std::vector<uint8_t> parts[2];
  int served = 0;
};

uint32_t next_part(uint8_t **buffer, void *priv) {
  auto *chain = static_cast<Chain *>(priv);
  auto &part = chain->parts[chain->served++ % 2];
  *buffer = part.data();
  return static_cast<uint32_t>(part.size());
}

TEST(BitReader, FillFunctionSuppliesTheFollowingBuffers) {
  Chain chain{{random_bytes(8, 8), random_bytes(8, 9)}};
  bitstream_t bs{};
  _dv_bitstream_set_fill_func(&bs, next_part, &chain);
  std::vector<uint8_t> joined = chain.parts[0];
  joined.insert(joined.end(), chain.parts[1].begin(), chain.parts[1].end());
  EXPECT_EQ(bitstream_get(&bs, 32), reference_bits(joined, 0, 32));
  EXPECT_EQ(bitstream_get(&bs, 32), reference_bits(joined, 32, 32));
  EXPECT_EQ(bitstream_get(&bs, 32), reference_bits(joined, 64, 32));
  EXPECT_EQ(_dv_bitstream_done(&bs), 0);
}

// The windows the segment parser reads, at every bit of a buffer and past
// its end (zeros there, nothing read outside: the buffer is exact on the
// heap under AddressSanitizer).
TEST(BitWindow, WindowsAtAnyBitAndZerosPastTheEnd) {
  const auto bytes = random_bytes(50, 10);
  std::vector<uint8_t> padded = bytes;
  padded.resize(bytes.size() + 16, 0);
  const std::unique_ptr<uint8_t[]> heap(new uint8_t[bytes.size()]);
  std::memcpy(heap.get(), bytes.data(), bytes.size());
  const tarsk::BitWindow w(heap.get(), static_cast<uint32_t>(bytes.size()));
  for (int pos = 0; pos < static_cast<int>(bytes.size()) * 8 + 40; ++pos) {
    ASSERT_EQ(w.window(pos), reference_bits(padded, static_cast<size_t>(pos), 16)) << pos;
    ASSERT_EQ(w.word(pos) >> 7, (uint64_t{reference_bits(padded, static_cast<size_t>(pos), 32)} << 25) |
                                    reference_bits(padded, static_cast<size_t>(pos) + 32, 25))
        << pos;
  }
}

// Random runs of bits written one after another, at any alignment, read
// back bit for bit; codes written out of order by OR land in place too.
TEST(BitWriter, WritesWhatTheReadersRead) {
  std::mt19937 rng(12);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> buf(64, 0);
    std::vector<std::pair<uint32_t, int>> written;
    tarsk::BitWriter w{buf.data(), static_cast<int>(rng() % 8)};
    const int start = w.pos;
    while (w.pos < 400) {
      const int n = static_cast<int>(rng() % 33);
      const uint32_t v = n == 0 ? 0 : static_cast<uint32_t>(rng()) >> (32 - n);
      w.put(v | (n < 32 ? 1u << n : 0), n);  // a bit above the n is ignored
      written.emplace_back(v, n);
    }
    int pos = start;
    for (const auto &[v, n] : written) {
      ASSERT_EQ(reference_bits(buf, static_cast<size_t>(pos), static_cast<unsigned>(n)), v) << pos;
      pos += n;
    }
    for (int bit = 0; bit < start; ++bit) ASSERT_EQ(reference_bits(buf, static_cast<size_t>(bit), 1), 0u);
    for (int bit = pos; bit < 512; ++bit) ASSERT_EQ(reference_bits(buf, static_cast<size_t>(bit), 1), 0u);
  }
  std::vector<uint8_t> buf(8, 0);
  tarsk::put_bits(buf.data(), 20, 0x5, 3);
  tarsk::put_bits(buf.data(), 3, 0x3ff, 10);
  EXPECT_EQ(reference_bits(buf, 0, 32), 0x1ff80a00u);
}

}  // namespace
