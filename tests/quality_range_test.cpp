// Proof that every build quality from 1 to 100 keeps quantization inside the
// code tables (DC differences within category 11, AC values within size 10)
// and its products inside 32 bits, for every possible 8-bit block.
//
// The DCT is linear apart from rounding: each 1-D output is M.x / 256 plus an
// error of at most 1/2, where M is the pass's integer matrix at 8 fractional
// bits (read off dct1d itself). Over 0..255 samples the linear part of an
// output is largest for the block that is 255 where its 2-D weight is
// positive and 0 elsewhere, so with the rounding errors carried through both
// passes the output is bounded exactly in integers. Quantization is monotone
// in its input, so the bounds of the quantized values follow directly.
// docs/quantizer.md gives the argument in full.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "dct.hpp"
#include "quant_table.hpp"
#include "recipgen_table.hpp"
#include "tables.hpp"

namespace {

using Table = QuantTable;
using Matrix = std::array<std::array<std::int64_t, 8>, 8>;

Table reciprocals(const Table& steps) {
  Table r{};
  for (int i = 0; i < 64; ++i) r[static_cast<std::size_t>(i)] = reciprocal(steps[static_cast<std::size_t>(i)], i / 8, i % 8);
  return r;
}

// The 1-D pass's linear part at 8 fractional bits: column j is dct1d of 256
// times the j-th unit vector. Scaling the input by 256 makes every rounded
// output (P + 128) >> 8 with P divisible by 256, so nothing is lost.
Matrix pass_matrix() {
  Matrix m{};
  for (std::size_t j = 0; j < 8; ++j) {
    std::array<std::int32_t, 8> x{};
    x[j] = 256;
    dct1d(x.data());
    for (std::size_t k = 0; k < 8; ++k) m[k][j] = x[k];
  }
  return m;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return -floor_div(-a, b); }

struct Bounds {
  std::int64_t lo, hi;  // every dct2d output at this position lies in [lo, hi]
};

// Bounds of dct2d's output at (r, c) over all blocks of level-shifted 8-bit
// samples (-128..127), in units of 1/65536 for the linear part:
//   out = sum_ij M[r][i] M[c][j] x_ij / 65536 + sum_i M[r][i] e1_i / 256 + e2,
// with |e1|, |e2| <= 1/2 the rounding of the row and column passes.
Bounds output_bounds(const Matrix& m, std::size_t r, std::size_t c,
                     std::array<std::int32_t, 64>* hi_block = nullptr,
                     std::array<std::int32_t, 64>* lo_block = nullptr) {
  std::int64_t hi = 0, lo = 0, err = 32768;  // e2 = 1/2
  for (std::size_t i = 0; i < 8; ++i) {
    err += 128 * std::llabs(m[r][i]);  // |M[r][i]| / 256 * 1/2, at 1/65536
    for (std::size_t j = 0; j < 8; ++j) {
      const std::int64_t w = m[r][i] * m[c][j];
      hi += w > 0 ? 127 * w : -128 * w;
      lo += w > 0 ? -128 * w : 127 * w;
      if (hi_block) (*hi_block)[8 * i + j] = w > 0 ? 127 : -128;
      if (lo_block) (*lo_block)[8 * i + j] = w > 0 ? -128 : 127;
    }
  }
  return {ceil_div(lo - err, 65536), floor_div(hi + err, 65536)};
}

std::int64_t quantized(std::int64_t v, std::int32_t recip) { return floor_div(v * recip + 32768, 65536); }

// The 1-D pass is M.x / 256 plus at most 1/2 for any input, not just unit
// vectors: the rounding model the proof rests on.
TEST(QuantizerRange, PassIsLinearUpToHalf) {
  const Matrix m = pass_matrix();
  std::uint32_t seed = 12345;
  for (int t = 0; t < 20000; ++t) {
    std::array<std::int32_t, 8> x{};
    for (auto& v : x) {
      seed = seed * 1664525u + 1013904223u;
      v = static_cast<std::int32_t>(seed >> 18) - 8192;  // -8192..8191: both passes' range
    }
    std::array<std::int32_t, 8> y = x;
    dct1d(y.data());
    for (std::size_t k = 0; k < 8; ++k) {
      std::int64_t p = 0;
      for (std::size_t j = 0; j < 8; ++j) p += m[k][j] * x[j];
      const std::int64_t twice_err = 2 * 256 * std::int64_t{y[k]} - 2 * p;  // 512 * error
      ASSERT_LE(std::llabs(twice_err), 256) << "output " << k;
    }
  }
}

// The bounds hold for the extreme blocks themselves and are tight.
TEST(QuantizerRange, ExtremeBlocksMeetTheBounds) {
  const Matrix m = pass_matrix();
  for (std::size_t r = 0; r < 8; ++r) {
    for (std::size_t c = 0; c < 8; ++c) {
      std::array<std::int32_t, 64> hi_block{}, lo_block{};
      const Bounds b = output_bounds(m, r, c, &hi_block, &lo_block);
      dct2d(hi_block.data());
      dct2d(lo_block.data());
      const std::int32_t hi = hi_block[8 * r + c], lo = lo_block[8 * r + c];
      EXPECT_LE(hi, b.hi);
      EXPECT_GE(lo, b.lo);
      EXPECT_GE(hi, b.hi - 10) << r << "," << c;  // within the rounding slack
      EXPECT_LE(lo, b.lo + 10) << r << "," << c;
    }
  }
  // The DC output is the sample sum exactly: no rounding touches it.
  EXPECT_EQ(output_bounds(m, 0, 0).hi, 64 * 127 + 4);
  EXPECT_EQ(output_bounds(m, 0, 0).lo, 64 * -128 - 4);
}

TEST(QuantizerRange, ConfiguredQualityIsTheEncodersTable) {
  const Table steps = scaled_table(read_base_table(BW_QTABLE_FILE), BW_QUALITY);
  for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(dqt[k], steps[zz[k]]) << "zigzag " << k;
  const Table recip = reciprocals(steps);
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(qu[i], recip[i]) << "natural " << i;
}

TEST(QuantizerRange, EveryQualityStaysInsideTheCodeTables) {
  const Table base = read_base_table(BW_QTABLE_FILE);
  const Matrix m = pass_matrix();
  std::int64_t widest_dc = 0, widest_ac = 0, largest_product = 0;
  for (int quality = 1; quality <= 100; ++quality) {
    SCOPED_TRACE("quality " + std::to_string(quality));
    const Table steps = scaled_table(base, quality);
    const Table recip = reciprocals(steps);
    for (std::size_t r = 0; r < 8; ++r) {
      for (std::size_t c = 0; c < 8; ++c) {
        const std::int32_t u = recip[8 * r + c];
        ASSERT_GT(u, 0);
        const Bounds b = output_bounds(m, r, c);
        // (v * qu + 32768) on signed 32 bits, at both ends of the range.
        const std::int64_t top = b.hi * u + 32768, bottom = b.lo * u + 32768;
        ASSERT_LE(top, std::numeric_limits<std::int32_t>::max());
        ASSERT_GE(bottom, std::numeric_limits<std::int32_t>::min());
        largest_product = std::max({largest_product, top, -bottom});
        const std::int64_t qhi = quantized(b.hi, u), qlo = quantized(b.lo, u);
        if (r == 0 && c == 0) {
          // Differences of two blocks' DC, and the first block's against 0.
          ASSERT_LE(qhi - qlo, 2047);
          ASSERT_LE(std::max(qhi, -qlo), 2047);
          widest_dc = std::max(widest_dc, qhi - qlo);
        } else {
          ASSERT_LE(std::max(qhi, -qlo), 1023) << "position " << r << "," << c;
          widest_ac = std::max(widest_ac, std::max(qhi, -qlo));
        }
      }
    }
  }
  std::printf("widest DC difference %lld (limit 2047), largest AC %lld (limit 1023), "
              "largest |product| %lld (limit %d)\n",
              static_cast<long long>(widest_dc), static_cast<long long>(widest_ac),
              static_cast<long long>(largest_product), std::numeric_limits<std::int32_t>::max());
}

// The shipped table keeps DC within -128..127 and AC below 256 (size 8).
TEST(QuantizerRange, ShippedQualityStaysWithinEightBits) {
  const Table recip = reciprocals(scaled_table(read_base_table(BW_QTABLE_FILE), 75));
  const Matrix m = pass_matrix();
  for (std::size_t i = 0; i < 64; ++i) {
    const Bounds b = output_bounds(m, i / 8, i % 8);
    const std::int64_t qhi = quantized(b.hi, recip[i]), qlo = quantized(b.lo, recip[i]);
    if (i == 0) {
      EXPECT_EQ(qhi, 127);
      EXPECT_EQ(qlo, -128);
    } else {
      EXPECT_LT(std::max(qhi, -qlo), 256) << "natural " << i;
    }
  }
}

}  // namespace
