// Colour conversion, chroma downsampling and 4:2:2 unpacking on 16-byte
// vectors (SSE4.1). This file is compiled with -msse4.1 and its functions
// run only once the CPU has been checked; every helper stays in this file.
// The pixels after the last whole vector go through the portable functions.
//
// The conversion works on the differences P = G - R and Q = G - B: the
// coefficients of each sum add up to 65536 or 0, so
//   Y  = (G * 65536 + 32768 - 19595 P - 7471 Q) >> 16,
//   Cb = (8421375 + 11059 P - 32768 Q) >> 16,
//   Cr = (8421375 - 32768 P + 5329 Q) >> 16,
// every coefficient in the signed 16-bit range. A byte shuffle takes 4
// pixels as dwords of bytes (R, G, G, B); a multiply-add of those bytes by
// (-1, 1, 1, -1) (pmaddubsw) gives the (P, Q) word pairs, and one pmaddwd
// each sum, exact in 32 bits, whose high word is the sample. For Y the
// G * 65536 is added last to byte 2 alone (the sample's low byte), from
// the (R, G, G, B) dword itself. So the results equal the integer formulas
// for every input.
#include <smmintrin.h>

#include "colour.hpp"
#include "x86/colour_kernels.hpp"
#include "x86/kernels.hpp"

namespace {

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void store8(std::uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// The shuffle that takes 4 pixels from 16 bytes as (R, G, G, B) dwords,
// the pixels starting at byte `start` of the vector.
__m128i gather_shuffle(int bpp, int r_off, int g_off, int b_off, int start) {
  alignas(16) std::int8_t t[16];
  for (int i = 0; i < 4; ++i) {
    const int base = start + i * bpp;
    t[4 * i] = static_cast<std::int8_t>(base + r_off);
    t[4 * i + 1] = t[4 * i + 2] = static_cast<std::int8_t>(base + g_off);
    t[4 * i + 3] = static_cast<std::int8_t>(base + b_off);
  }
  return _mm_load_si128(reinterpret_cast<const __m128i*>(t));
}

// A dword of two words, lo and hi, for the multiply-adds.
constexpr int words(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) | static_cast<unsigned>(hi) << 16);
}

// Y, Cb and Cr of 4 pixels, each at byte 2 of a dword: Cb and Cr as the
// sums' high words, Y as its low byte only (byte 3 is not cleared).
struct Ycc {
  __m128i y, cb, cr;
};

inline Ycc ycc(__m128i px, __m128i shuffle) {
  const __m128i rggb = _mm_shuffle_epi8(px, shuffle);
  const __m128i pq = _mm_maddubs_epi16(rggb, _mm_set1_epi32(words(0x01ff, -0x00ff)));  // -1, 1, 1, -1
  const __m128i y = _mm_add_epi32(_mm_madd_epi16(pq, _mm_set1_epi32(words(-19595, -7471))), _mm_set1_epi32(32768));
  const __m128i bias = _mm_set1_epi32(8421375);
  return {_mm_add_epi8(y, rggb),  // + G at byte 2
          _mm_add_epi32(_mm_madd_epi16(pq, _mm_set1_epi32(words(11059, -32768))), bias),
          _mm_add_epi32(_mm_madd_epi16(pq, _mm_set1_epi32(words(-32768, 5329))), bias)};
}

// Bytes 2 of the dwords of vectors of pixels 4 g to 4 g + 3, in order:
// those of g = 2 k and 2 k + 1 at dwords 2 k and 2 k + 1, then all 16.
inline __m128i sample_pairs(__m128i v0, __m128i v1, int k) {
  const __m128i pick = _mm_set1_epi32(0x0e0a0602);  // bytes 2 of each dword, in every dword
  const __m128i s0 = _mm_shuffle_epi8(v0, pick), s1 = _mm_shuffle_epi8(v1, pick);
  return k == 0 ? _mm_blend_epi16(s0, s1, 0x0c) : _mm_blend_epi16(s0, s1, 0xc0);
}
inline __m128i samples(__m128i s01, __m128i s23) { return _mm_blend_epi16(s01, s23, 0xf0); }
inline __m128i samples(__m128i v0, __m128i v1, __m128i v2, __m128i v3) {
  return samples(sample_pairs(v0, v1, 0), sample_pairs(v2, v3, 1));
}

}  // namespace

void rgb_to_ycc_line_sse41(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                           std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // 16 pixels a step, from four 16-byte loads, 4 pixels each. With 3 bytes
  // a pixel the last load starts 4 bytes early (its pixels at byte 4), so
  // that no load reaches past the step's own pixels.
  const int bpp = bytes_per_pixel;
  const int back = 16 - 4 * bpp;
  const __m128i front = gather_shuffle(bpp, r_off, g_off, b_off, 0);
  const __m128i last = gather_shuffle(bpp, r_off, g_off, b_off, back);
  std::uint32_t i = 0;
  for (; n - i >= 16; i += 16) {
    const std::uint8_t* p = src + static_cast<std::size_t>(i) * bpp;
    const Ycc s0 = ycc(load(p), front);
    const Ycc s1 = ycc(load(p + 4 * bpp), front);
    const Ycc s2 = ycc(load(p + 8 * bpp), front);
    const Ycc s3 = ycc(load(p + 12 * bpp - back), last);
    store(y + i, samples(s0.y, s1.y, s2.y, s3.y));
    store(cb + i, samples(s0.cb, s1.cb, s2.cb, s3.cb));
    store(cr + i, samples(s0.cr, s1.cr, s2.cr, s3.cr));
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

// Two lines straight to 4:2:0, 16 pixels of each a step: the samples of
// rgb_to_ycc_line_sse41; the high words of vertical pairs of Cb (or Cr)
// added as words, then moved down and packed in order, and the horizontal
// pairs added by a multiply-add with ones; the sum s of four gives
// (s + 2) >> 2 by pmulhrsw with 8192 (s * 8192 + 16384 >> 15).
// Pixels i to i + 15 of lines a and b (i even).
inline void step_420(const std::uint8_t* a, const std::uint8_t* b, int bpp, int back, __m128i front, __m128i last,
                     std::uint32_t i, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  const std::uint8_t* pa = a + static_cast<std::size_t>(i) * bpp;
  const std::uint8_t* pb = b + static_cast<std::size_t>(i) * bpp;
  auto group = [&](const std::uint8_t* p, int g) {  // pixels 4 g to 4 g + 3
    return g < 3 ? ycc(load(p + 4 * g * bpp), front) : ycc(load(p + 12 * bpp - back), last);
  };
  // Two groups of both lines at a time (pixels 0-7, then 8-15): their Y,
  // and the sums of their horizontal pairs of Cb and of Cr.
  const __m128i ones = _mm_set1_epi16(1);
  auto pair_sums = [&](__m128i a0, __m128i a1, __m128i b0, __m128i b1) {
    const __m128i v0 = _mm_srli_epi32(_mm_add_epi16(a0, b0), 16);
    const __m128i v1 = _mm_srli_epi32(_mm_add_epi16(a1, b1), 16);
    return _mm_madd_epi16(_mm_packus_epi32(v0, v1), ones);
  };
  __m128i y_a[2], y_b[2], cb_pairs[2], cr_pairs[2];
  for (int k = 0; k < 2; ++k) {
    const Ycc a0 = group(pa, 2 * k), a1 = group(pa, 2 * k + 1);
    const Ycc b0 = group(pb, 2 * k), b1 = group(pb, 2 * k + 1);
    y_a[k] = sample_pairs(a0.y, a1.y, k);
    y_b[k] = sample_pairs(b0.y, b1.y, k);
    cb_pairs[k] = pair_sums(a0.cb, a1.cb, b0.cb, b1.cb);
    cr_pairs[k] = pair_sums(a0.cr, a1.cr, b0.cr, b1.cr);
  }
  store(ya + i, samples(y_a[0], y_a[1]));
  store(yb + i, samples(y_b[0], y_b[1]));
  // The 8 samples of a plane as words, (s + 2) >> 2.
  const __m128i round = _mm_set1_epi16(8192);
  auto plane = [&](const __m128i* pairs) { return _mm_mulhrs_epi16(_mm_packs_epi32(pairs[0], pairs[1]), round); };
  const __m128i c = _mm_packus_epi16(plane(cb_pairs), plane(cr_pairs));  // Cb 0-7, then Cr 0-7
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
  const __m128i front = gather_shuffle(bpp, r_off, g_off, b_off, 0);
  const __m128i last = gather_shuffle(bpp, r_off, g_off, b_off, back);
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
