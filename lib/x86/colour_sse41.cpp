// Colour conversion, chroma downsampling and 4:2:2 unpacking on 16-byte
// vectors (SSE4.1). This file is compiled with -msse4.1 and its functions
// run only once the CPU has been checked; every helper stays in this file.
// The pixels after the last whole vector go through the portable functions.
//
// The conversion forms each 32-bit sum exactly with pmaddwd on word pairs
// (R, G) and (B, 2) taken from the pixels by one byte shuffle each (rg holds
// R + 65536 G, bk holds B + 131072):
//   Y  = (madd(rg, 19594, -27066) + madd(bk, 7471, 16384) + rg) >> 16
//        = (19595 R + 38470 G + 7471 B + 32768) >> 16;
//   s  = madd(rg, 11059, 21709) + madd(bk, -32768, -16384)
//        = 11059 R + 21709 G - 32768 B - 32768, and as the Cb sum is
//          -s - 32768 + 8421375 = ~s + 128 * 65536,
//   Cb = (~s >> 16) + 128 = 127 - (s >> 16)   (arithmetic shift);
//   Cr likewise from madd(rg, -32768, 27439) + madd(bk, 5329, -16384).
// No coefficient leaves the signed 16-bit range and no sum the 32-bit one,
// so the results equal the integer formulas for every input.
#include <smmintrin.h>

#include "colour.hpp"
#include "x86/colour_kernels.hpp"
#include "x86/kernels.hpp"

namespace {

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void store8(std::uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// The shuffles that take 4 pixels from 16 bytes as (R, G) and (B, 0) word
// pairs, the pixels starting at byte `start` of the vector.
struct PairShuffles {
  __m128i rg, b;
};

PairShuffles pair_shuffles(int bpp, int r_off, int g_off, int b_off, int start) {
  alignas(16) std::int8_t rg[16], b[16];
  for (int i = 0; i < 4; ++i) {
    const int base = start + i * bpp;
    rg[4 * i] = static_cast<std::int8_t>(base + r_off);
    rg[4 * i + 2] = static_cast<std::int8_t>(base + g_off);
    b[4 * i] = static_cast<std::int8_t>(base + b_off);
    rg[4 * i + 1] = rg[4 * i + 3] = b[4 * i + 1] = b[4 * i + 2] = b[4 * i + 3] = -128;  // zero
  }
  return {_mm_load_si128(reinterpret_cast<const __m128i*>(rg)),
          _mm_load_si128(reinterpret_cast<const __m128i*>(b))};
}

// Y, and Cb and Cr less 127 negated, of 4 pixels at 16 fractional bits.
struct Sums {
  __m128i y, cb, cr;
};

inline Sums sums(__m128i px, const PairShuffles& s) {
  const __m128i rg = _mm_shuffle_epi8(px, s.rg);
  const __m128i bk = _mm_or_si128(_mm_shuffle_epi8(px, s.b), _mm_set1_epi32(2 << 16));
  const __m128i y = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32(19594 | -27066 * 65536)),
                                                _mm_madd_epi16(bk, _mm_set1_epi32(7471 | 16384 << 16))),
                                  rg);
  const __m128i cb = _mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32(11059 | 21709 << 16)),
                                   _mm_madd_epi16(bk, _mm_set1_epi32(32768 | -16384 * 65536)));
  const __m128i cr = _mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32(32768 | 27439 << 16)),
                                   _mm_madd_epi16(bk, _mm_set1_epi32(5329 | -16384 * 65536)));
  return {y, cb, cr};
}

// The high halves of two vectors of sums as 8 words.
inline __m128i high_words(__m128i a, __m128i b) {
  return _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
}

}  // namespace

void rgb_to_ycc_line_sse41(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                           std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // 16 pixels a step, from four 16-byte loads, 4 pixels each. With 3 bytes
  // a pixel the last load starts 4 bytes early (its pixels at byte 4), so
  // that no load reaches past the step's own pixels.
  const int bpp = bytes_per_pixel;
  const int back = 16 - 4 * bpp;
  const PairShuffles front = pair_shuffles(bpp, r_off, g_off, b_off, 0);
  const PairShuffles last = pair_shuffles(bpp, r_off, g_off, b_off, back);
  const __m128i c127 = _mm_set1_epi16(127);
  std::uint32_t i = 0;
  for (; n - i >= 16; i += 16) {
    const std::uint8_t* p = src + static_cast<std::size_t>(i) * bpp;
    const Sums s0 = sums(load(p), front);
    const Sums s1 = sums(load(p + 4 * bpp), front);
    const Sums s2 = sums(load(p + 8 * bpp), front);
    const Sums s3 = sums(load(p + 12 * bpp - back), last);
    store(y + i, _mm_packus_epi16(high_words(s0.y, s1.y), high_words(s2.y, s3.y)));
    store(cb + i, _mm_packus_epi16(_mm_sub_epi16(c127, high_words(s0.cb, s1.cb)),
                                   _mm_sub_epi16(c127, high_words(s2.cb, s3.cb))));
    store(cr + i, _mm_packus_epi16(_mm_sub_epi16(c127, high_words(s0.cr, s1.cr)),
                                   _mm_sub_epi16(c127, high_words(s2.cr, s3.cr))));
  }
  rgb_to_ycc_line(src + static_cast<std::size_t>(i) * bpp, bpp, r_off, g_off, b_off, n - i, y + i, cb + i, cr + i);
}

void down_h2_line_sse41(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  // pavgw of the even and the odd samples is (a + b + 1) >> 1.
  const __m128i low = _mm_set1_epi16(0xff);
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const __m128i a = load(in + i), b = load(in + i + 16);
    const __m128i ma = _mm_avg_epu16(_mm_and_si128(a, low), _mm_srli_epi16(a, 8));
    const __m128i mb = _mm_avg_epu16(_mm_and_si128(b, low), _mm_srli_epi16(b, 8));
    store(out + i / 2, _mm_packus_epi16(ma, mb));
  }
  down_h2_line(in + i, n - i, out + i / 2);
}

void down_h2v2_line_sse41(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  // pmaddubsw by ones sums each horizontal pair into a word.
  const __m128i ones = _mm_set1_epi8(1), two = _mm_set1_epi16(2);
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    __m128i s[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i sum = _mm_add_epi16(_mm_maddubs_epi16(load(a + i + 16 * h), ones),
                                        _mm_maddubs_epi16(load(b + i + 16 * h), ones));
      s[h] = _mm_srli_epi16(_mm_add_epi16(sum, two), 2);
    }
    store(out + i / 2, _mm_packus_epi16(s[0], s[1]));
  }
  down_h2v2_line(a + i, b + i, n - i, out + i / 2);
}

void down_v2_line_sse41(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  std::uint32_t i = 0;
  for (; n - i >= 16; i += 16) store(out + i, _mm_avg_epu8(load(a + i), load(b + i)));
  down_v2_line(a + i, b + i, n - i, out + i);
}

void unpack_422_line_sse41(const std::uint8_t* src, bool y_first, std::uint32_t n,
                           std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // Each 16 bytes (4 groups) are shuffled to 8 Y, 4 Cb, 4 Cr.
  const __m128i yuyv = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 5, 9, 13, 3, 7, 11, 15);
  const __m128i uyvy = _mm_setr_epi8(1, 3, 5, 7, 9, 11, 13, 15, 0, 4, 8, 12, 2, 6, 10, 14);
  const __m128i order = y_first ? yuyv : uyvy;
  std::uint32_t i = 0;
  for (; n - i >= 16; i += 16) {
    const __m128i a = _mm_shuffle_epi8(load(src + 2 * i), order);
    const __m128i b = _mm_shuffle_epi8(load(src + 2 * i + 16), order);
    store(y + i, _mm_unpacklo_epi64(a, b));
    const __m128i c = _mm_shuffle_epi32(_mm_unpackhi_epi64(a, b), _MM_SHUFFLE(3, 1, 2, 0));
    store8(cb + i / 2, c);
    store8(cr + i / 2, _mm_unpackhi_epi64(c, c));
  }
  unpack_422_line(src + 2 * i, y_first, n - i, y + i, cb + i / 2, cr + i / 2);
}

namespace {

// Two lines straight to 4:2:0, 16 pixels of each a step: the sums of
// rgb_to_ycc_line_sse41, the high words (h = sum >> 16; the sample is
// 127 - h) of vertical pairs added, then the horizontal pairs by a
// multiply-add with -1: (4 * 127 - (h00 + h01 + h10 + h11) + 2) >> 2.
// Pixels i to i + 15 of lines a and b (i even).
inline void step_420(const std::uint8_t* a, const std::uint8_t* b, int bpp, int back, const PairShuffles& front,
                     const PairShuffles& last, std::uint32_t i, std::uint8_t* ya, std::uint8_t* yb,
                     std::uint8_t* cb, std::uint8_t* cr) {
  const std::uint8_t* pa = a + static_cast<std::size_t>(i) * bpp;
  const std::uint8_t* pb = b + static_cast<std::size_t>(i) * bpp;
  auto group = [&](const std::uint8_t* p, int g) {  // pixels 4 g to 4 g + 3
    return g < 3 ? sums(load(p + 4 * g * bpp), front) : sums(load(p + 12 * bpp - back), last);
  };
  auto vertical = [](__m128i sa, __m128i sb) {
    return _mm_add_epi32(_mm_srai_epi32(sa, 16), _mm_srai_epi32(sb, 16));
  };
  // Two groups of both lines at a time (pixels 0-7, then 8-15): the Y words
  // of each line, and the vertical sums of h as words (-256 .. 254).
  __m128i y_a[2], y_b[2], cb_h[2], cr_h[2];
  for (int k = 0; k < 2; ++k) {
    const Sums a0 = group(pa, 2 * k), a1 = group(pa, 2 * k + 1);
    const Sums b0 = group(pb, 2 * k), b1 = group(pb, 2 * k + 1);
    y_a[k] = high_words(a0.y, a1.y);
    y_b[k] = high_words(b0.y, b1.y);
    cb_h[k] = _mm_packs_epi32(vertical(a0.cb, b0.cb), vertical(a1.cb, b1.cb));
    cr_h[k] = _mm_packs_epi32(vertical(a0.cr, b0.cr), vertical(a1.cr, b1.cr));
  }
  store(ya + i, _mm_packus_epi16(y_a[0], y_a[1]));
  store(yb + i, _mm_packus_epi16(y_b[0], y_b[1]));
  // The 8 samples of a plane as words: the sums of four h lie in
  // -512 .. 508, so the bias and the shift fit in 16 bits.
  const __m128i minus_one = _mm_set1_epi16(-1), bias = _mm_set1_epi16(4 * 127 + 2);
  auto samples = [&](const __m128i* v) {
    const __m128i negated = _mm_packs_epi32(_mm_madd_epi16(v[0], minus_one), _mm_madd_epi16(v[1], minus_one));
    return _mm_srai_epi16(_mm_add_epi16(negated, bias), 2);
  };
  const __m128i c = _mm_packus_epi16(samples(cb_h), samples(cr_h));  // Cb 0-7, then Cr 0-7
  store8(cb + i / 2, c);
  store8(cr + i / 2, _mm_unpackhi_epi64(c, c));
}

void rgb_to_420_line_sse41(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off,
                           int g_off, int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb,
                           std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  if (n < 16 || (bpp != 3 && bpp != 4)) {
    rgb_to_420_line(a, b, bpp, r_off, g_off, b_off, n, ya, yb, cb, cr);
    return;
  }
  const int back = 16 - 4 * bpp;
  const PairShuffles front = pair_shuffles(bpp, r_off, g_off, b_off, 0);
  const PairShuffles last = pair_shuffles(bpp, r_off, g_off, b_off, back);
  const std::uint32_t even = n & ~1u;
  for (std::uint32_t i = 0;; i += 16) {  // one call of the step, inlined
    // The last whole pairs: one more step ending on them, over pixels done
    // already (the same bytes again).
    if (even - i < 16) i = even - 16;
    step_420(a, b, bpp, back, front, last, i, ya, yb, cb, cr);
    if (even - i == 16) break;
  }
  if (even < n) {  // an odd last column pairs with itself
    rgb_to_420_line(a + static_cast<std::size_t>(even) * bpp, b + static_cast<std::size_t>(even) * bpp, bpp,
                    r_off, g_off, b_off, 1, ya + even, yb + even, cb + even / 2, cr + even / 2);
  }
}

}  // namespace

const ColourKernels sse41_colour = {rgb_to_ycc_line_sse41, down_h2_line_sse41, down_h2v2_line_sse41,
                                   down_v2_line_sse41, unpack_422_line_sse41, rgb_to_420_line_sse41};
