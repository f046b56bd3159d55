// Colour conversion, chroma downsampling and 4:2:2 unpacking on 32-byte
// vectors (AVX2). This file is compiled with -mavx2 and its functions run
// only once the CPU has been checked; every helper stays in this file.
// The pixels after the last whole vector go through the portable functions.
//
// The conversion works on the differences P = G - R and Q = G - B: the
// coefficients of each sum add up to 65536 or 0, so
//   Y  = (G * 65536 + 32768 - 19595 P - 7471 Q) >> 16,
//   Cb = (8421375 + 11059 P - 32768 Q) >> 16,
//   Cr = (8421375 - 32768 P + 5329 Q) >> 16,
// every coefficient in the signed 16-bit range. A byte shuffle takes 4
// pixels of each 128-bit half as dwords of bytes (R, G, G, B); a
// multiply-add of those bytes by (-1, 1, 1, -1) (vpmaddubsw) gives the
// (P, Q) word pairs, and one pmaddwd each sum, exact in 32 bits, whose high
// word is the sample. For Y the G * 65536 is added last to byte 2 alone
// (the sample's low byte), from the (R, G, G, B) dword itself.
// Byte shuffles and packs work within each 128-bit half, so the loads put
// pixels 0-3 and 16-19 of a step in one vector, 4-7 and 20-23 in the next,
// and so on: the results then come out in order.
#include <immintrin.h>

#include "colour.hpp"
#include "x86/colour_kernels.hpp"
#include "x86/kernels.hpp"

namespace {

inline __m128i load16(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m256i load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline __m256i load2(const std::uint8_t* lo, const std::uint8_t* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(lo)), load16(hi), 1);
}
inline void store(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline void store16(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The shuffle that takes 4 pixels from each 16-byte half as (R, G, G, B)
// dwords, the pixels starting at byte 0 of the low half and start_hi of
// the high one.
struct ShuffleBytes {
  alignas(32) std::int8_t b[32];
};

constexpr ShuffleBytes shuffle_bytes(int bpp, int r_off, int g_off, int b_off, int start_hi) {
  ShuffleBytes t{};
  for (int i = 0; i < 8; ++i) {
    const int base = (i < 4 ? 0 : start_hi) + (i % 4) * bpp;
    t.b[4 * i] = static_cast<std::int8_t>(base + r_off);
    t.b[4 * i + 1] = t.b[4 * i + 2] = static_cast<std::int8_t>(base + g_off);
    t.b[4 * i + 3] = static_cast<std::int8_t>(base + b_off);
  }
  return t;
}

// Those of the input layouts (RGB and BGR, 3 or 4 bytes a pixel), made at
// compile time: bytes written one at a time and read back as a vector
// cost a stall on every call. [bpp == 4][blue first][the step's last load]
constexpr ShuffleBytes layout_shuffle(int bpp4, int bgr, int last) {
  const int bpp = bpp4 != 0 ? 4 : 3;
  return shuffle_bytes(bpp, bgr != 0 ? 2 : 0, 1, bgr != 0 ? 0 : 2, last != 0 ? 16 - 4 * bpp : 0);
}
constexpr ShuffleBytes layout_shuffles[2][2][2] = {
    {{layout_shuffle(0, 0, 0), layout_shuffle(0, 0, 1)}, {layout_shuffle(0, 1, 0), layout_shuffle(0, 1, 1)}},
    {{layout_shuffle(1, 0, 0), layout_shuffle(1, 0, 1)}, {layout_shuffle(1, 1, 0), layout_shuffle(1, 1, 1)}}};
static_assert(layout_shuffles[0][0][1].b[16] == 4 && layout_shuffles[0][1][0].b[7] == 3 &&
              layout_shuffles[1][1][1].b[28] == 14 && layout_shuffles[0][0][0].b[2] == 1);

__m256i load_shuffle(const ShuffleBytes& t) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.b)); }

__m256i gather_shuffle(int bpp, int r_off, int g_off, int b_off, int start_hi) {
  const bool bgr = r_off == 2 && b_off == 0;
  if ((bpp == 3 || bpp == 4) && g_off == 1 && (bgr || (r_off == 0 && b_off == 2)) &&
      (start_hi == 0 || start_hi == 16 - 4 * bpp)) {
    return load_shuffle(layout_shuffles[bpp == 4][bgr ? 1 : 0][start_hi != 0 ? 1 : 0]);
  }
  const ShuffleBytes t = shuffle_bytes(bpp, r_off, g_off, b_off, start_hi);
  return load_shuffle(t);
}

// A dword of two words, lo and hi, for the multiply-adds.
constexpr int words(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) | static_cast<unsigned>(hi) << 16);
}

// Y, Cb and Cr of 8 pixels, each at byte 2 of a dword: Cb and Cr as the
// sums' high words, Y as its low byte only (byte 3 is not cleared).
struct Ycc {
  __m256i y, cb, cr;
};

inline Ycc ycc(__m256i px, __m256i shuffle) {
  const __m256i rggb = _mm256_shuffle_epi8(px, shuffle);
  const __m256i pq = _mm256_maddubs_epi16(rggb, _mm256_set1_epi32(words(0x01ff, -0x00ff)));  // -1, 1, 1, -1
  const __m256i y = _mm256_add_epi32(_mm256_madd_epi16(pq, _mm256_set1_epi32(words(-19595, -7471))),
                                     _mm256_set1_epi32(32768));
  const __m256i bias = _mm256_set1_epi32(8421375);
  return {_mm256_add_epi8(y, rggb),  // + G at byte 2
          _mm256_add_epi32(_mm256_madd_epi16(pq, _mm256_set1_epi32(words(11059, -32768))), bias),
          _mm256_add_epi32(_mm256_madd_epi16(pq, _mm256_set1_epi32(words(-32768, 5329))), bias)};
}

// Bytes 2 of the dwords of vectors of pixels 4 g to 4 g + 3 (and 16 + 4 g
// to 19 + 4 g), in order: those of g = 2 k and 2 k + 1 at dwords 2 k and
// 2 k + 1 of each half, then all 32 samples.
inline __m256i sample_pairs(__m256i v0, __m256i v1, int k) {
  const __m256i pick = _mm256_set1_epi32(0x0e0a0602);  // bytes 2 of each dword of a half, in every dword
  const __m256i s0 = _mm256_shuffle_epi8(v0, pick), s1 = _mm256_shuffle_epi8(v1, pick);
  return k == 0 ? _mm256_blend_epi32(s0, s1, 0x22) : _mm256_blend_epi32(s0, s1, 0x88);
}
inline __m256i samples(__m256i s01, __m256i s23) { return _mm256_blend_epi32(s01, s23, 0xcc); }
inline __m256i samples(__m256i v0, __m256i v1, __m256i v2, __m256i v3) {
  return samples(sample_pairs(v0, v1, 0), sample_pairs(v2, v3, 1));
}

// Bytes 0-7, 16-23, 8-15, 24-31 of v: undoes the order of a pack.
inline __m256i in_order(__m256i v) { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0)); }

}  // namespace

void rgb_to_ycc_line_avx2(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                          std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // 32 pixels a step, from eight 16-byte loads of 4 pixels. With 3 bytes a
  // pixel the load of pixels 28-31 starts 4 bytes early (its pixels at byte
  // 4), so that no load reaches past the step's own pixels.
  const int bpp = bytes_per_pixel;
  const int back = 16 - 4 * bpp;
  const __m256i front = gather_shuffle(bpp, r_off, g_off, b_off, 0);
  const __m256i last = gather_shuffle(bpp, r_off, g_off, b_off, back);
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const std::uint8_t* p = src + static_cast<std::size_t>(i) * bpp;
    const Ycc s0 = ycc(load2(p, p + 16 * bpp), front);
    const Ycc s1 = ycc(load2(p + 4 * bpp, p + 20 * bpp), front);
    const Ycc s2 = ycc(load2(p + 8 * bpp, p + 24 * bpp), front);
    const Ycc s3 = ycc(load2(p + 12 * bpp, p + 28 * bpp - back), last);
    store(y + i, samples(s0.y, s1.y, s2.y, s3.y));
    store(cb + i, samples(s0.cb, s1.cb, s2.cb, s3.cb));
    store(cr + i, samples(s0.cr, s1.cr, s2.cr, s3.cr));
  }
  rgb_to_ycc_line(src + static_cast<std::size_t>(i) * bpp, bpp, r_off, g_off, b_off, n - i, y + i, cb + i, cr + i);
}

void down_h2_line_avx2(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  // vpavgw of the even and the odd samples is (a + b + 1) >> 1.
  const __m256i low = _mm256_set1_epi16(0xff);
  std::uint32_t i = 0;
  for (; n - i >= 64; i += 64) {
    const __m256i a = load(in + i), b = load(in + i + 32);
    const __m256i ma = _mm256_avg_epu16(_mm256_and_si256(a, low), _mm256_srli_epi16(a, 8));
    const __m256i mb = _mm256_avg_epu16(_mm256_and_si256(b, low), _mm256_srli_epi16(b, 8));
    store(out + i / 2, in_order(_mm256_packus_epi16(ma, mb)));
  }
  down_h2_line(in + i, n - i, out + i / 2);
}

void down_h2v2_line_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  // vpmaddubsw by ones sums each horizontal pair into a word.
  const __m256i ones = _mm256_set1_epi8(1), two = _mm256_set1_epi16(2);
  std::uint32_t i = 0;
  for (; n - i >= 64; i += 64) {
    __m256i s[2];
    for (int h = 0; h < 2; ++h) {
      const __m256i sum = _mm256_add_epi16(_mm256_maddubs_epi16(load(a + i + 32 * h), ones),
                                           _mm256_maddubs_epi16(load(b + i + 32 * h), ones));
      s[h] = _mm256_srli_epi16(_mm256_add_epi16(sum, two), 2);
    }
    store(out + i / 2, in_order(_mm256_packus_epi16(s[0], s[1])));
  }
  down_h2v2_line(a + i, b + i, n - i, out + i / 2);
}

void down_v2_line_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) store(out + i, _mm256_avg_epu8(load(a + i), load(b + i)));
  down_v2_line(a + i, b + i, n - i, out + i);
}

void unpack_422_line_avx2(const std::uint8_t* src, bool y_first, std::uint32_t n,
                          std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // Each 16 bytes (4 groups) are shuffled to 8 Y, 4 Cb, 4 Cr; then the Y
  // halves are put in order, and the Cb and Cr dwords gathered.
  const __m256i yuyv = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 5, 9, 13, 3, 7, 11, 15,
                                        0, 2, 4, 6, 8, 10, 12, 14, 1, 5, 9, 13, 3, 7, 11, 15);
  const __m256i uyvy = _mm256_setr_epi8(1, 3, 5, 7, 9, 11, 13, 15, 0, 4, 8, 12, 2, 6, 10, 14,
                                        1, 3, 5, 7, 9, 11, 13, 15, 0, 4, 8, 12, 2, 6, 10, 14);
  const __m256i order = y_first ? yuyv : uyvy;
  const __m256i gather = _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7);
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const __m256i a = _mm256_shuffle_epi8(load(src + 2 * i), order);
    const __m256i b = _mm256_shuffle_epi8(load(src + 2 * i + 32), order);
    store(y + i, in_order(_mm256_unpacklo_epi64(a, b)));
    const __m256i c = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(a, b), gather);
    store16(cb + i / 2, _mm256_castsi256_si128(c));
    store16(cr + i / 2, _mm256_extracti128_si256(c, 1));
  }
  unpack_422_line(src + 2 * i, y_first, n - i, y + i, cb + i / 2, cr + i / 2);
}

namespace {

// Two lines straight to 4:2:0, 32 pixels of each a step: the samples of
// rgb_to_ycc_line_avx2; the high words of vertical pairs of Cb (or Cr)
// added as words, then moved down and packed in order, and the horizontal
// pairs added by a multiply-add with ones; the sum s of four gives
// (s + 2) >> 2 by pmulhrsw with 8192 (s * 8192 + 16384 >> 15).
// Pixels i to i + 31 of lines a and b (i even).
inline void step_420(const std::uint8_t* a, const std::uint8_t* b, int bpp, int back, __m256i front, __m256i last,
                     std::uint32_t i, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  const std::uint8_t* pa = a + static_cast<std::size_t>(i) * bpp;
  const std::uint8_t* pb = b + static_cast<std::size_t>(i) * bpp;
  auto group = [&](const std::uint8_t* p, int g) {  // pixels 4 g to 4 g + 3 of each half
    return g < 3 ? ycc(load2(p + 4 * g * bpp, p + (16 + 4 * g) * bpp), front)
                 : ycc(load2(p + 12 * bpp, p + 28 * bpp - back), last);
  };
  // Two groups of both lines at a time (pixels 0-7 and 16-23, then 8-15
  // and 24-31): their Y, and the sums of their horizontal pairs of Cb and
  // of Cr, the vertical pairs' high words added first.
  const __m256i ones = _mm256_set1_epi16(1);
  auto pair_sums = [&](__m256i a0, __m256i a1, __m256i b0, __m256i b1) {
    const __m256i v0 = _mm256_srli_epi32(_mm256_add_epi16(a0, b0), 16);
    const __m256i v1 = _mm256_srli_epi32(_mm256_add_epi16(a1, b1), 16);
    return _mm256_madd_epi16(_mm256_packus_epi32(v0, v1), ones);
  };
  __m256i y_a[2], y_b[2], cb_pairs[2], cr_pairs[2];
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
  // The 16 samples of a plane as words, (s + 2) >> 2.
  const __m256i round = _mm256_set1_epi16(8192);
  auto plane = [&](const __m256i* pairs) { return _mm256_mulhrs_epi16(_mm256_packs_epi32(pairs[0], pairs[1]), round); };
  // Cb 0-15, then Cr 0-15.
  const __m256i c = in_order(_mm256_packus_epi16(plane(cb_pairs), plane(cr_pairs)));
  store16(cb + i / 2, _mm256_castsi256_si128(c));
  store16(cr + i / 2, _mm256_extracti128_si256(c, 1));
}

void rgb_to_420_line_avx2(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off,
                          int g_off, int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb,
                          std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  if (n < 32 || (bpp != 3 && bpp != 4)) {
    rgb_to_420_line(a, b, bpp, r_off, g_off, b_off, n, ya, yb, cb, cr);
    return;
  }
  const int back = 16 - 4 * bpp;
  const __m256i front = gather_shuffle(bpp, r_off, g_off, b_off, 0);
  const __m256i last = gather_shuffle(bpp, r_off, g_off, b_off, back);
  const std::uint32_t even = n & ~1u;
  for (std::uint32_t i = 0;; i += 32) {  // one call of the step, inlined
    // The last whole pairs: one more step ending on them, over pixels done
    // already (the same bytes again).
    if (even - i < 32) i = even - 32;
    step_420(a, b, bpp, back, front, last, i, ya, yb, cb, cr);
    if (even - i == 32) break;
  }
  if (even < n) {  // an odd last column pairs with itself
    rgb_to_420_line(a + static_cast<std::size_t>(even) * bpp, b + static_cast<std::size_t>(even) * bpp, bpp,
                    r_off, g_off, b_off, 1, ya + even, yb + even, cb + even / 2, cr + even / 2);
  }
}

}  // namespace

const ColourKernels avx2_colour = {rgb_to_ycc_line_avx2, down_h2_line_avx2, down_h2v2_line_avx2,
                                   down_v2_line_avx2, unpack_422_line_avx2, rgb_to_420_line_avx2};
