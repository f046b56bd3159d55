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
inline void store32(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// RGB to YCbCr, 64 pixels a step, on the differences P = G - R and
// Q = G - B. The coefficients of each sum add up to 65536 or 0, so
//   Y  = (G * 65536 + 32768 - 19595 P - 7471 Q) >> 16,
//   Cb = (8421375 + 11059 P - 32768 Q) >> 16,
//   Cr = (8421375 - 32768 P + 5329 Q) >> 16,
// every coefficient in the signed 16-bit range (32768 only as -32768, which
// is why the differences are taken from G): each sum is one multiply-add
// (vpdpwssd) of the (P, Q) word pair onto its first term, exact in 32
// bits, and its high word is the sample (0 .. 255).
// A byte permute across two vectors (vpermt2b) takes 16 pixels as dwords
// of bytes (R, G, G, B); a multiply-add of those bytes by (-1, 1, 1, -1)
// gives the (P, Q) word pairs, and the same dwords masked give G * 65536.
// 4:2:0 adds the high words of the four samples of a group as words, s,
// and takes (s + 2) >> 2 by vpmulhrsw with 8192 (s * 8192 + 16384 >> 15).
// So the results equal the integer formulas for every input.

// The permutes' indices: 16 pixels as (R, G, G, B) dwords, pixel first +
// step * j in dword j, from the two vectors of a half step (32 pixels) for
// a layout (3 or 4 bytes a pixel, R and B at bytes 0 and 2 either way
// round). With 3 bytes a pixel the second half's vectors start 64 bytes
// on, at the step's byte 64, so its pixels start at their byte 32.
using Index = std::array<std::int8_t, 64>;
constexpr Index pixel_index(int bpp, int r_off, int b_off, int half, int first, int step) {
  Index t{};
  for (int j = 0; j < 16; ++j) {
    const int base = (bpp == 3 && half != 0 ? 32 : 0) + (first + step * j) * bpp;
    t[4 * j] = static_cast<std::int8_t>(base + r_off);
    t[4 * j + 1] = t[4 * j + 2] = static_cast<std::int8_t>(base + 1);
    t[4 * j + 3] = static_cast<std::int8_t>(base + b_off);
  }
  return t;
}
// [half][pixels 0-15 and 16-31 (line), or the even and the odd ones (4:2:0)]
struct Gathers {
  Index px[2][2];
};
constexpr Gathers make_gathers(int bpp4, int bgr, int pairs) {
  const int bpp = bpp4 != 0 ? 4 : 3, r = bgr != 0 ? 2 : 0, b = 2 - r;
  Gathers g{};
  for (int h = 0; h < 2; ++h) {
    g.px[h][0] = pixel_index(bpp, r, b, h, 0, pairs != 0 ? 2 : 1);
    g.px[h][1] = pixel_index(bpp, r, b, h, pairs != 0 ? 1 : 16, pairs != 0 ? 2 : 1);
  }
  return g;
}
// [bpp == 4][blue first][4:2:0]
alignas(64) constexpr Gathers gathers[2][2][2] = {
    {{make_gathers(0, 0, 0), make_gathers(0, 0, 1)}, {make_gathers(0, 1, 0), make_gathers(0, 1, 1)}},
    {{make_gathers(1, 0, 0), make_gathers(1, 0, 1)}, {make_gathers(1, 1, 0), make_gathers(1, 1, 1)}}};
static_assert(gathers[0][0][0].px[1][1][0] == 80 && gathers[0][1][1].px[0][1][3] == 3 &&
              gathers[1][0][1].px[1][1][63] == 126 && gathers[0][0][1].px[1][1][63] == 127);

// The samples' bytes (byte 2 of each dword) from two vectors a and b (b's
// at index 64 on): a's 16, then b's (in order), or a's and b's taken in
// turn (pairs: the even pixels in a, the odd ones in b). Each half of the
// 64 bytes takes the same 32.
struct OutIndex {
  Index in_order, pairs;
};
constexpr OutIndex make_out_index() {
  OutIndex t{};
  for (int m = 0; m < 64; ++m) {
    const int k = m % 32;
    t.in_order[m] = static_cast<std::int8_t>((k < 16 ? 0 : 64) + 4 * (k % 16) + 2);
    t.pairs[m] = static_cast<std::int8_t>((k % 2 != 0 ? 64 : 0) + 4 * (k / 2) + 2);
  }
  return t;
}
alignas(64) constexpr OutIndex out_index = make_out_index();
static_assert(out_index.pairs[3] == 70 && out_index.in_order[17] == 70 && out_index.in_order[49] == 70);

// A dword of two words, lo and hi, for the multiply-adds.
constexpr int words(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) | static_cast<unsigned>(hi) << 16);
}

// Y, Cb and Cr at the high words (bytes 2) of the dwords of the 16 pixels
// of a vector of (R, G, G, B) dwords.
struct Ycc {
  __m512i y, cb, cr;
};
inline Ycc ycc(__m512i rggb) {
  const __m512i pq = _mm512_maddubs_epi16(rggb, _mm512_set1_epi32(words(0x01ff, -0x00ff)));  // bytes -1, 1, 1, -1
  // (rggb & 0xff0000) | 0x8000: G * 65536 + 32768
  const __m512i g = _mm512_ternarylogic_epi32(rggb, _mm512_set1_epi32(0xff0000), _mm512_set1_epi32(0x8000), 0xea);
  const __m512i bias = _mm512_set1_epi32(8421375);
  return {_mm512_dpwssd_epi32(g, pq, _mm512_set1_epi32(words(-19595, -7471))),
          _mm512_dpwssd_epi32(bias, pq, _mm512_set1_epi32(words(11059, -32768))),
          _mm512_dpwssd_epi32(bias, pq, _mm512_set1_epi32(words(-32768, 5329)))};
}

// The layouts the vector steps take: 3 or 4 bytes a pixel, G second, R and
// B first and third either way round. Others go the AVX2 or the portable way.
inline bool vector_layout(int bpp, int r_off, int g_off, int b_off) {
  return (bpp == 3 || bpp == 4) && g_off == 1 && ((r_off == 0 && b_off == 2) || (r_off == 2 && b_off == 0));
}

// The indices of a layout, loaded once a call.
struct Kernel {
  __m512i px[2][2], y, in_order;
};
inline Kernel kernel(int bpp, int r_off, bool pairs) {
  const Gathers& g = gathers[bpp == 4][r_off == 2][pairs];
  return {{{load64(g.px[0][0].data()), load64(g.px[0][1].data())},
           {load64(g.px[1][0].data()), load64(g.px[1][1].data())}},
          load64(pairs ? out_index.pairs.data() : out_index.in_order.data()), load64(out_index.in_order.data())};
}

// The two vectors of (R, G, G, B) dwords of half h of the step at p.
template <int Bpp>
inline Ycc* half_step(const std::uint8_t* p, int h, const Kernel& k, Ycc* out) {
  const std::uint8_t* q = p + (Bpp == 3 ? 64 : 128) * h;
  const __m512i lo = load64(q), hi = load64(q + 64);
  out[0] = ycc(_mm512_permutex2var_epi8(lo, k.px[h][0], hi));
  out[1] = ycc(_mm512_permutex2var_epi8(lo, k.px[h][1], hi));
  return out;
}

template <int Bpp>
std::uint32_t ycc_steps(const std::uint8_t* src, int r_off, std::uint32_t n, std::uint8_t* y, std::uint8_t* cb,
                        std::uint8_t* cr) {
  const Kernel k = kernel(Bpp, r_off, false);
  std::uint32_t i = 0;
  for (; n - i >= 64; i += 64) {
    const std::uint8_t* p = src + static_cast<std::size_t>(i) * Bpp;
    for (int h = 0; h < 2; ++h) {
      Ycc v[2];
      half_step<Bpp>(p, h, k, v);
      store32(y + i + 32 * h, _mm512_castsi512_si256(_mm512_permutex2var_epi8(v[0].y, k.y, v[1].y)));
      store32(cb + i + 32 * h, _mm512_castsi512_si256(_mm512_permutex2var_epi8(v[0].cb, k.in_order, v[1].cb)));
      store32(cr + i + 32 * h, _mm512_castsi512_si256(_mm512_permutex2var_epi8(v[0].cr, k.in_order, v[1].cr)));
    }
  }
  return i;
}

void rgb_to_ycc_line_avx512(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                            std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  std::uint32_t i = 0;
  if (vector_layout(bpp, r_off, g_off, b_off))
    i = bpp == 3 ? ycc_steps<3>(src, r_off, n, y, cb, cr) : ycc_steps<4>(src, r_off, n, y, cb, cr);
  rgb_to_ycc_line_avx2(src + static_cast<std::size_t>(i) * bpp, bpp, r_off, g_off, b_off, n - i, y + i, cb + i,
                       cr + i);
}

// One step of two lines to 4:2:0: pixels i to i + 63 of lines a and b
// (i even), the even and the odd pixels in vectors of their own, so that
// the four of a chroma sample are lanes of four vectors.
template <int Bpp>
inline void step_420(const std::uint8_t* a, const std::uint8_t* b, const Kernel& k, std::uint32_t i,
                     std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  __m512i cb_sums[2], cr_sums[2];
  for (int line = 0; line < 2; ++line) {
    const std::uint8_t* p = (line == 0 ? a : b) + static_cast<std::size_t>(i) * Bpp;
    __m512i y[2];
    for (int h = 0; h < 2; ++h) {
      Ycc v[2];
      half_step<Bpp>(p, h, k, v);
      y[h] = _mm512_permutex2var_epi8(v[0].y, k.y, v[1].y);
      const __m512i sb = _mm512_add_epi16(v[0].cb, v[1].cb), sr = _mm512_add_epi16(v[0].cr, v[1].cr);
      cb_sums[h] = line == 0 ? sb : _mm512_add_epi16(cb_sums[h], sb);
      cr_sums[h] = line == 0 ? sr : _mm512_add_epi16(cr_sums[h], sr);
    }
    _mm512_storeu_si512((line == 0 ? ya : yb) + i, _mm512_mask_blend_epi64(0xf0, y[0], y[1]));
  }
  const __m512i round = _mm512_set1_epi16(8192);  // (s + 2) >> 2
  auto samples = [&](const __m512i* s) {
    return _mm512_castsi512_si256(
        _mm512_permutex2var_epi8(_mm512_mulhrs_epi16(s[0], round), k.in_order, _mm512_mulhrs_epi16(s[1], round)));
  };
  store32(cb + i / 2, samples(cb_sums));
  store32(cr + i / 2, samples(cr_sums));
}

template <int Bpp>
void steps_420(const std::uint8_t* a, const std::uint8_t* b, int r_off, std::uint32_t n, std::uint8_t* ya,
               std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  const Kernel k = kernel(Bpp, r_off, true);
  std::uint32_t i = 0;
  for (; n - i >= 64; i += 64) step_420<Bpp>(a, b, k, i, ya, yb, cb, cr);
  const std::uint32_t even = n & ~1u;
  if (i < even) {
    // The last whole pairs: one more step ending on them, over pixels done
    // already (the same bytes again).
    step_420<Bpp>(a, b, k, even - 64, ya, yb, cb, cr);
  }
}

void rgb_to_420_line_avx512(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off,
                            int g_off, int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb,
                            std::uint8_t* cb, std::uint8_t* cr) {
  const int bpp = bytes_per_pixel;
  if (n < 64 || !vector_layout(bpp, r_off, g_off, b_off)) {
    rgb_to_420_line(a, b, bpp, r_off, g_off, b_off, n, ya, yb, cb, cr);
    return;
  }
  if (bpp == 3) {
    steps_420<3>(a, b, r_off, n, ya, yb, cb, cr);
  } else {
    steps_420<4>(a, b, r_off, n, ya, yb, cb, cr);
  }
  const std::uint32_t even = n & ~1u;
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
