// reciprocal() gives the same integers on every CPU and floating-point unit
// (x87's extended precision included): the figures below were recorded on
// x86-64, and the cross builds run this test under qemu.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "quant.hpp"

namespace {

// FNV-1a over the four bytes (least significant first) of reciprocal(q, r, c)
// for q = 1 .. 255, then the 64 positions in natural order.
std::uint64_t all_reciprocals_hash() {
  std::uint64_t h = 14695981039346656037u;
  for (int q = 1; q <= 255; ++q) {
    for (int i = 0; i < 64; ++i) {
      const auto v = static_cast<std::uint32_t>(reciprocal(q, i / 8, i % 8));
      for (int b = 0; b < 32; b += 8) {
        h ^= (v >> b) & 0xFF;
        h *= 1099511628211u;
      }
    }
  }
  return h;
}

#if defined(__x86_64__)
// The scale factors the library writes out are the cosines of the
// mathematics library that the recorded figures come from.
TEST(Reciprocal, ScaleFactorsAreTheCosines) {
  for (int k = 0; k < 8; ++k) {
    const double a = k == 0 ? 1.0 : std::cos(k * 0.19634954085) * 1.4142135623730951;
    EXPECT_EQ(scale_factor(k, 0), a) << k;
    EXPECT_EQ(scale_factor(0, k), a) << k;
  }
}
#endif

TEST(Reciprocal, EveryStepAndPositionAsRecordedOnX86_64) {
  EXPECT_EQ(all_reciprocals_hash(), 0x8b1111f9902a56ceu);
}

TEST(Reciprocal, TableOfTheShippedBaseTableAtQuality75) {
  constexpr std::array<std::uint8_t, 64> base = {
      16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
      14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
      18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
      49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
  constexpr std::array<std::int32_t, 64> expected = {
      1024, 984, 1253, 870, 682, 521, 582, 957,  984, 709, 645, 502, 454, 259, 363, 764,
      895,  645, 599,  444, 313, 275, 331, 811,  995, 558, 484, 394, 267, 201, 321, 814,
      910,  536, 329,  248, 240, 189, 291, 761,  868, 417, 285, 277, 254, 255, 337, 821,
      605,  341, 297,  292, 291, 315, 466, 1075, 824, 465, 473, 515, 530, 755, 1055, 2152};
  for (int i = 0; i < 64; ++i) {
    const auto k = static_cast<std::size_t>(i);
    EXPECT_EQ(reciprocal(scaled_step(base[k], 75), i / 8, i % 8), expected[k]) << "position " << i;
  }
}

}  // namespace
