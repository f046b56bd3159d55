// The AVX-512 colour kernels (AVX-512 F, BW, VL, VBMI, VBMI2, VNNI, as the
// AVX-512 path's coder): RGB to YCbCr 64 pixels a step, line by line or two
// lines at once straight to 4:2:0; the other kernels are AVX2's.
//
// The file is built with these instruction sets' flags (lib/CMakeLists.txt)
// and its kernels run only once the CPU has been checked (paths.cpp).
// Everything but the kernels is its own (anonymous namespace), and it calls
// no shared inline function or template that the flags could change.
#include <immintrin.h>

// g++ 12 takes the deliberately undefined vectors inside its own AVX-512
// intrinsics (the unmasked forms pass _mm512_undefined_*() as the merge
// source) for uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <array>
#include <cstdint>

#include "colour.hpp"
#include "x86/colour_kernels.hpp"
#include "x86/kernels.hpp"

#if BW_HAVE_AVX512

namespace {

inline __m512i load64(const void* p) { return _mm512_loadu_si512(p); }

// RGB to YCbCr, 64 pixels a step: colour_avx2.cpp's conversion (exact
// pmaddwd sums, see colour_sse41.cpp) on four 128-bit lanes. The loads put
// pixels 0-3, 16-19, 32-35 and 48-51 of a step in one vector, 4-7, 20-23 ...
// in the next, and so on, so that the packs leave the 64 results in order.

// The shuffles that take 4 pixels from each 128-bit lane as (R, G) and
// (B, 0) word pairs, the pixels at byte 0 of each lane but the last, at
// byte `back` of that one; made at compile time for the input layouts
// (RGB and BGR, 3 or 4 bytes a pixel).
struct RgbShuffles {
  std::array<std::int8_t, 64> rg, b;
};
constexpr RgbShuffles make_rgb_shuffles(int bpp, int r_off, int g_off, int b_off, int back) {
  RgbShuffles t{};
  for (int i = 0; i < 16; ++i) {
    const int base = (i >= 12 ? back : 0) + (i % 4) * bpp;
    t.rg[4 * i] = static_cast<std::int8_t>(base + r_off);
    t.rg[4 * i + 2] = static_cast<std::int8_t>(base + g_off);
    t.b[4 * i] = static_cast<std::int8_t>(base + b_off);
    t.rg[4 * i + 1] = t.rg[4 * i + 3] = t.b[4 * i + 1] = t.b[4 * i + 2] = t.b[4 * i + 3] = -128;  // zero
  }
  return t;
}
// [bpp == 4][blue first][the step's last loads]
constexpr RgbShuffles rgb_shuffle_of(int bpp4, int bgr, int last) {
  const int bpp = bpp4 != 0 ? 4 : 3;
  return make_rgb_shuffles(bpp, bgr != 0 ? 2 : 0, 1, bgr != 0 ? 0 : 2, last != 0 ? 16 - 4 * bpp : 0);
}
alignas(64) constexpr RgbShuffles rgb_shuffles[2][2][2] = {
    {{rgb_shuffle_of(0, 0, 0), rgb_shuffle_of(0, 0, 1)}, {rgb_shuffle_of(0, 1, 0), rgb_shuffle_of(0, 1, 1)}},
    {{rgb_shuffle_of(1, 0, 0), rgb_shuffle_of(1, 0, 1)}, {rgb_shuffle_of(1, 1, 0), rgb_shuffle_of(1, 1, 1)}}};
static_assert(rgb_shuffles[0][0][1].rg[48] == 4 && rgb_shuffles[0][0][1].rg[44] == 9 &&
              rgb_shuffles[0][1][0].b[4] == 3 && rgb_shuffles[1][0][0].rg[62] == 13);

struct RgbSums {
  __m512i y, cb, cr;
};

inline RgbSums rgb_sums(__m512i px, __m512i rg_shuffle, __m512i b_shuffle) {
  const __m512i rg = _mm512_shuffle_epi8(px, rg_shuffle);
  const __m512i bk = _mm512_or_si512(_mm512_shuffle_epi8(px, b_shuffle), _mm512_set1_epi32(2 << 16));
  // The multiply-adds accumulate (vpdpwssd): each sum is the same pair of
  // pmaddwd products added in 32 bits, as exact.
  const __m512i y = _mm512_dpwssd_epi32(_mm512_dpwssd_epi32(rg, rg, _mm512_set1_epi32(19594 | -27066 * 65536)), bk,
                                        _mm512_set1_epi32(7471 | 16384 << 16));
  const __m512i cb = _mm512_dpwssd_epi32(_mm512_madd_epi16(rg, _mm512_set1_epi32(11059 | 21709 << 16)), bk,
                                         _mm512_set1_epi32(32768 | -16384 * 65536));
  const __m512i cr = _mm512_dpwssd_epi32(_mm512_madd_epi16(rg, _mm512_set1_epi32(32768 | 27439 << 16)), bk,
                                         _mm512_set1_epi32(5329 | -16384 * 65536));
  return {y, cb, cr};
}

inline __m512i high_words(__m512i a, __m512i b) {
  return _mm512_packs_epi32(_mm512_srai_epi32(a, 16), _mm512_srai_epi32(b, 16));
}

inline __m512i chroma_bytes(__m512i s0, __m512i s1, __m512i s2, __m512i s3) {
  const __m512i c127 = _mm512_set1_epi16(127);
  return _mm512_packus_epi16(_mm512_sub_epi16(c127, high_words(s0, s1)), _mm512_sub_epi16(c127, high_words(s2, s3)));
}

// Four 16-byte loads, at p, p + 16 bpp, p + 32 bpp and p + 48 bpp - back.
inline __m512i load_lanes(const std::uint8_t* p, int bpp, int back) {
  auto at = [](const std::uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  __m512i v = _mm512_castsi128_si512(at(p));
  v = _mm512_inserti32x4(v, at(p + 16 * bpp), 1);
  v = _mm512_inserti32x4(v, at(p + 32 * bpp), 2);
  return _mm512_inserti32x4(v, at(p + 48 * bpp - back), 3);
}

// The layouts the vector steps take: 3 or 4 bytes a pixel, G second, R and
// B first and third either way round. Others go the AVX2 or the portable way.
inline bool vector_layout(int bpp, int r_off, int g_off, int b_off) {
  return (bpp == 3 || bpp == 4) && g_off == 1 && ((r_off == 0 && b_off == 2) || (r_off == 2 && b_off == 0));
}

// The shuffles of a step for a layout: (R, G) and (B, 0) of the first
// three loads, then of the last.
struct StepShuffles {
  __m512i rg, b, last_rg, last_b;
};
inline StepShuffles step_shuffles(int bpp, int r_off) {
  const RgbShuffles& front = rgb_shuffles[bpp == 4][r_off == 2 ? 1 : 0][0];
  const RgbShuffles& last = rgb_shuffles[bpp == 4][r_off == 2 ? 1 : 0][1];
  return {load64(front.rg.data()), load64(front.b.data()), load64(last.rg.data()), load64(last.b.data())};
}

void rgb_to_ycc_line_avx512(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                            std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  std::uint32_t i = 0;
  if (vector_layout(bpp, r_off, g_off, b_off)) {
    // With 3 bytes a pixel the load of pixels 60-63 starts 4 bytes early,
    // so that no load reaches past the step's own pixels.
    const int back = 16 - 4 * bpp;
    const StepShuffles k = step_shuffles(bpp, r_off);
    for (; n - i >= 64; i += 64) {
      const std::uint8_t* p = src + static_cast<std::size_t>(i) * bpp;
      const RgbSums s0 = rgb_sums(load_lanes(p, bpp, 0), k.rg, k.b);
      const RgbSums s1 = rgb_sums(load_lanes(p + 4 * bpp, bpp, 0), k.rg, k.b);
      const RgbSums s2 = rgb_sums(load_lanes(p + 8 * bpp, bpp, 0), k.rg, k.b);
      const RgbSums s3 = rgb_sums(load_lanes(p + 12 * bpp, bpp, back), k.last_rg, k.last_b);
      _mm512_storeu_si512(y + i, _mm512_packus_epi16(high_words(s0.y, s1.y), high_words(s2.y, s3.y)));
      _mm512_storeu_si512(cb + i, chroma_bytes(s0.cb, s1.cb, s2.cb, s3.cb));
      _mm512_storeu_si512(cr + i, chroma_bytes(s0.cr, s1.cr, s2.cr, s3.cr));
    }
  }
  rgb_to_ycc_line_avx2(src + static_cast<std::size_t>(i) * bpp, bpp, r_off, g_off, b_off, n - i, y + i, cb + i,
                       cr + i);
}

// Sums of the Cb or Cr samples of two lines' 64 pixels, vertical pairs: the
// high words (h = sum >> 16; the sample is 127 - h) of both lines added, in
// pixel order within each 128-bit lane's two vectors.
struct Chroma420 {
  __m512i lo, hi;  // pixels 16 L + 0 .. 7 and 16 L + 8 .. 15 of lane L
};

inline Chroma420 chroma_pairs(const __m512i* a, const __m512i* b) {
  return {_mm512_add_epi16(high_words(a[0], a[1]), high_words(b[0], b[1])),
          _mm512_add_epi16(high_words(a[2], a[3]), high_words(b[2], b[3]))};
}

// The 32 4:2:0 samples of one chroma plane from its vertical pair sums:
// (4 * 127 - (h00 + h01 + h10 + h11) + 2) >> 2, the horizontal pairs added
// by a multiply-add with -1, in order.
inline __m256i chroma_420(Chroma420 c) {
  const __m512i minus_one = _mm512_set1_epi16(-1), bias = _mm512_set1_epi32(4 * 127 + 2);
  const __m512i lo = _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(c.lo, minus_one), bias), 2);
  const __m512i hi = _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(c.hi, minus_one), bias), 2);
  return _mm512_cvtepi16_epi8(_mm512_packs_epi32(lo, hi));
}

// One step: pixels i to i + 63 of lines a and b (i even).
inline void step_420(const std::uint8_t* a, const std::uint8_t* b, int bpp, int back, const StepShuffles& k,
                     std::uint32_t i, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  __m512i cb_sums[2][4], cr_sums[2][4];
  for (int line = 0; line < 2; ++line) {
    const std::uint8_t* p = (line == 0 ? a : b) + static_cast<std::size_t>(i) * bpp;
    __m512i y[4];
    for (int g = 0; g < 4; ++g) {
      const bool last = g == 3;
      const RgbSums s = rgb_sums(load_lanes(p + 4 * g * bpp, bpp, last ? back : 0), last ? k.last_rg : k.rg,
                                 last ? k.last_b : k.b);
      y[g] = s.y;
      cb_sums[line][g] = s.cb;
      cr_sums[line][g] = s.cr;
    }
    _mm512_storeu_si512((line == 0 ? ya : yb) + i,
                        _mm512_packus_epi16(high_words(y[0], y[1]), high_words(y[2], y[3])));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + i / 2), chroma_420(chroma_pairs(cb_sums[0], cb_sums[1])));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + i / 2), chroma_420(chroma_pairs(cr_sums[0], cr_sums[1])));
}

void rgb_to_420_line_avx512(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off,
                            int g_off, int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb,
                            std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  if (n < 64 || !vector_layout(bpp, r_off, g_off, b_off)) {
    rgb_to_420_line(a, b, bpp, r_off, g_off, b_off, n, ya, yb, cb, cr);
    return;
  }
  const StepShuffles shuffle = step_shuffles(bpp, r_off);
  const int back = 16 - 4 * bpp;
  std::uint32_t i = 0;
  for (; n - i >= 64; i += 64) step_420(a, b, bpp, back, shuffle, i, ya, yb, cb, cr);
  const std::uint32_t even = n & ~1u;
  if (i < even) {
    // The last whole pairs: one more step ending on them, over pixels done
    // already (the same bytes again).
    step_420(a, b, bpp, back, shuffle, even - 64, ya, yb, cb, cr);
  }
  if (even < n) {  // an odd last column pairs with itself
    rgb_to_420_line(a + static_cast<std::size_t>(even) * bpp, b + static_cast<std::size_t>(even) * bpp, bpp,
                    r_off, g_off, b_off, 1, ya + even, yb + even, cb + even / 2, cr + even / 2);
  }
}

}  // namespace

// The AVX2 colour kernels but the conversions from RGB.
const ColourKernels avx512_colour = {rgb_to_ycc_line_avx512, down_h2_line_avx2, down_h2v2_line_avx2,
                                     down_v2_line_avx2, unpack_422_line_avx2, rgb_to_420_line_avx512};

#endif  // BW_HAVE_AVX512
