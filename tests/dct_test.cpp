// The forward DCT: known transforms of simple rows and blocks, and the
// agreement of the 2-D transform with its row and column passes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "dct.hpp"

namespace {

using Row = std::array<std::int32_t, 8>;
using Block = std::array<std::int32_t, 64>;

Row row_dct(Row x) {
  dct1d(x.data());
  return x;
}

TEST(Dct1d, ImpulsesAndScaling) {
  EXPECT_EQ(row_dct({1, 0, 0, 0, 0, 0, 0, 0}), (Row{1, 2, 2, 1, 1, 1, 0, 0}));
  // Rounding is towards minus infinity after adding one half, so a negative
  // impulse is not the mirror of a positive one.
  EXPECT_EQ(row_dct({-1, 0, 0, 0, 0, 0, 0, 0}), (Row{-1, -2, -2, -1, -1, -1, 0, 0}));
  EXPECT_EQ(row_dct({0, 0, 0, 0, 0, 0, 0, 1}), (Row{1, -2, 2, -1, 1, -1, 0, 0}));
  EXPECT_EQ(row_dct({100, 0, 0, 0, 0, 0, 0, 0}), (Row{100, 192, 171, 138, 100, 62, 29, 8}));
}

TEST(Dct1d, ColumnPassMatchesRowPass) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<std::int32_t> sample(-2048, 2047);
  for (int trial = 0; trial < 1000; ++trial) {
    Block b{};
    Row r{};
    for (int i = 0; i < 8; ++i) r[i] = b[8 * i + 3] = sample(rng);
    dct1d_v(b.data() + 3);
    dct1d(r.data());
    for (int i = 0; i < 8; ++i) ASSERT_EQ(b[8 * i + 3], r[i]);
  }
}

TEST(Dct2d, FlatBlockHasOnlyDc) {
  for (std::int32_t v : {-128, -1, 0, 1, 57, 127}) {
    Block b;
    b.fill(v);
    dct2d(b.data());
    EXPECT_EQ(b[0], 64 * v);
    for (int i = 1; i < 64; ++i) ASSERT_EQ(b[i], 0) << "value " << v << " index " << i;
  }
}

TEST(Dct2d, KnownBlocks) {
  Block ramp{};
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) ramp[8 * r + c] = -28 + 10 * c;
  dct2d(ramp.data());
  const Row first{448, -2016, 0, -176, 0, -40, 0, -8};
  for (int c = 0; c < 8; ++c) EXPECT_EQ(ramp[c], first[c]);
  for (int i = 8; i < 64; ++i) EXPECT_EQ(ramp[i], 0);

  Block impulse{};
  impulse[0] = 10;
  dct2d(impulse.data());
  const Row row0{10, 19, 17, 14, 10, 6, 3, 1};
  const Row row1{19, 37, 33, 27, 19, 12, 6, 2};
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(impulse[c], row0[c]);
    EXPECT_EQ(impulse[8 + c], row1[c]);
  }
}

TEST(Dct2d, EqualsRowsThenColumns) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<std::int32_t> sample(-128, 127);
  for (int trial = 0; trial < 2000; ++trial) {
    Block a, b;
    for (int i = 0; i < 64; ++i) a[i] = b[i] = sample(rng);
    dct2d(a.data());
    for (int r = 0; r < 8; ++r) dct1d(b.data() + 8 * r);
    for (int c = 0; c < 8; ++c) dct1d_v(b.data() + c);
    ASSERT_EQ(a, b);
  }
}

}  // namespace
