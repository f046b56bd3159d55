// Colour conversion, chroma downsampling and 4:2:2 unpacking on NEON, with
// the interface and the bytes of the portable functions in colour.hpp.
//
// On 32-bit ARM this file is built with NEON (-mfpu=neon) and runs only once
// the CPU has been checked; every helper stays in this file.
// The pixels after the last whole vector go through the portable functions.
//
// The structure loads (vld3, vld4) split the pixels into R, G and B. The
// conversion works on the differences D = R - G and E = B - G (16-bit
// lanes), as the coefficients of each sum add up to 65536 or 0:
//   Y  = G + ((19595 D + 7471 E + 32768) >> 16), the products widened to
//        32 bits (vmull, vmlal by lane) and narrowed by a rounding shift
//        (vrshrn #16); Y - G fits a byte's wrap-around, so the low bytes of
//        the narrowed sums are added to G as bytes;
//   Cb = (32768 (E + 256) + 11059 (-D) + 32767) >> 16 (as 8421375 =
//        32768 * 256 + 32767). With t = floor((11059 (-D) + 32767) / 32768)
//        = ceil(-11059 D / 32768) = -floor(11059 D / 32768) and the rest
//        f < 32768, the sum is 32768 (E + 256 + t) + f, and as
//        f / 65536 < 1/2 its shift by 16 is that of E + 256 + t by 1:
//        Cb = ((E - q) >> 1) + 128 with q = floor(11059 D / 32768), which
//        vqdmulh(D, 11059) is ((2 D 11059) >> 16, |D| <= 255), and
//        (E - q) >> 1 is vhsub(E, q);
//   Cr = ((D - floor(5329 E / 32768)) >> 1) + 128 likewise.
// Cb - 128 and Cr - 128 stay on 16-bit lanes until they are narrowed; 4:2:0
// sums the four of a group s, and ((s + 2) >> 2) + 128 is the rounded
// average of the four Cb (the 512 they add up to beyond s is a multiple of
// 4); the 128 goes onto the narrowed bytes as an exclusive or with 0x80.
// So the results equal the integer formulas for every input.
#include <arm_neon.h>

#include <cstring>

#include "colour.hpp"
#include "arm/colour_kernels.hpp"
#include "arm/kernels.hpp"

namespace {

// The multipliers of the sums, as lanes of one register (the products by
// lane take them from there): Y's of D and E, Cb's of D, Cr's of E; and
// 0x80 in every byte. Made once a loop, the byte hidden from the compiler,
// which would otherwise make it anew at every step.
struct YccConstants {
  int16x4_t k;
  uint8x16_t bias;
};
inline YccConstants ycc_constants() {
  static constexpr std::int16_t k[4] = {19595, 7471, 11059, 5329};
  uint8x16_t bias = vdupq_n_u8(0x80);
#if defined(__aarch64__)
  asm("" : "+w"(bias));
#endif
  return {vld1_s16(k), bias};
}

// The low bytes of the 16-bit lanes of a, then of b.
inline int8x16_t low_bytes(int16x8_t a, int16x8_t b) {
#if defined(__aarch64__)
  return vuzp1q_s8(vreinterpretq_s8_s16(a), vreinterpretq_s8_s16(b));
#else
  return vcombine_s8(vmovn_s16(a), vmovn_s16(b));
#endif
}

// The sums of neighbouring lanes of a, then of b.
inline int16x8_t pair_sums(int16x8_t a, int16x8_t b) {
#if defined(__aarch64__)
  return vpaddq_s16(a, b);
#else
  return vcombine_s16(vpadd_s16(vget_low_s16(a), vget_high_s16(a)), vpadd_s16(vget_low_s16(b), vget_high_s16(b)));
#endif
}

// Y - G, Cb - 128 and Cr - 128 of 8 pixels from their D and E.
struct Offsets {
  int16x8_t y, cb, cr;
};
inline Offsets offsets(int16x8_t d, int16x8_t e, int16x4_t k) {
  const int32x4_t lo = vmlal_lane_s16(vmull_lane_s16(vget_low_s16(d), k, 0), vget_low_s16(e), k, 1);
#if defined(__aarch64__)
  const int32x4_t hi = vmlal_high_lane_s16(vmull_high_lane_s16(d, k, 0), e, k, 1);
  const int16x8_t y = vrshrn_high_n_s32(vrshrn_n_s32(lo, 16), hi, 16);
#else
  const int32x4_t hi = vmlal_lane_s16(vmull_lane_s16(vget_high_s16(d), k, 0), vget_high_s16(e), k, 1);
  const int16x8_t y = vcombine_s16(vrshrn_n_s32(lo, 16), vrshrn_n_s32(hi, 16));
#endif
  return {y, vhsubq_s16(e, vqdmulhq_lane_s16(d, k, 2)), vhsubq_s16(d, vqdmulhq_lane_s16(e, k, 3))};
}

// D and E of the low (Hi false) or the high eight of 16 pixels, the high
// halves read in place where the instruction set can.
template <bool Hi>
inline int16x8_t diff(uint8x16_t a, uint8x16_t g) {
  if constexpr (Hi) {
#if defined(__aarch64__)
    return vreinterpretq_s16_u16(vsubl_high_u8(a, g));
#else
    return vreinterpretq_s16_u16(vsubl_u8(vget_high_u8(a), vget_high_u8(g)));
#endif
  }
  return vreinterpretq_s16_u16(vsubl_u8(vget_low_u8(a), vget_low_u8(g)));
}

// Y of 16 pixels, and their Cb - 128 and Cr - 128 in two halves.
struct Ycc {
  uint8x16_t y;
  int16x8_t cb[2], cr[2];
};
inline Ycc ycc(int16x4_t k, uint8x16_t r, uint8x16_t g, uint8x16_t b) {
  const Offsets lo = offsets(diff<false>(r, g), diff<false>(b, g), k);
  const Offsets hi = offsets(diff<true>(r, g), diff<true>(b, g), k);
  return {vaddq_u8(vreinterpretq_u8_s8(low_bytes(lo.y, hi.y)), g), {lo.cb, hi.cb}, {lo.cr, hi.cr}};
}

// The same for 8 pixels: Y, and Cb - 128, Cr - 128.
struct Ycc8 {
  uint8x8_t y;
  int16x8_t cb, cr;
};
inline Ycc8 ycc8(int16x4_t k, uint8x8_t r, uint8x8_t g, uint8x8_t b) {
  const Offsets o = offsets(vreinterpretq_s16_u16(vsubl_u8(r, g)), vreinterpretq_s16_u16(vsubl_u8(b, g)), k);
  return {vadd_u8(vreinterpret_u8_s8(vmovn_s16(o.y)), g), o.cb, o.cr};
}

// 128 + the 16-bit lanes of a, then of b, as bytes.
inline uint8x16_t chroma_bytes(int16x8_t a, int16x8_t b, uint8x16_t bias) {
  return veorq_u8(vreinterpretq_u8_s8(low_bytes(a, b)), bias);
}

// The rounded averages of four: 128 + ((s + 2) >> 2) of each lane's sum of
// four offsets s, as bytes; of a, then of b.
inline uint8x16_t averages(int16x8_t a, int16x8_t b, uint8x16_t bias) {
#if defined(__aarch64__)
  const int8x16_t v = vrshrn_high_n_s16(vrshrn_n_s16(a, 2), b, 2);
#else
  const int8x16_t v = vcombine_s8(vrshrn_n_s16(a, 2), vrshrn_n_s16(b, 2));
#endif
  return veorq_u8(vreinterpretq_u8_s8(v), bias);
}
inline uint8x8_t averages(int16x8_t a, uint8x16_t bias) {
  return veor_u8(vreinterpret_u8_s8(vrshrn_n_s16(a, 2)), vget_low_u8(bias));
}

// Register k of a structure load of three or four registers (16 or 8
// bytes each), k below their number (the offsets are checked by the
// caller); a switch, so that the load stays in registers.
template <class V>
inline auto lane(const V& v, int k) {
  constexpr bool four = sizeof(v.val) / sizeof(v.val[0]) == 4;
  switch (k) {
    case 0: return v.val[0];
    case 1: return v.val[1];
    case 2: return v.val[2];
    default:
      if constexpr (four) {
        return v.val[3];
      } else {
        return v.val[2];
      }
  }
}

// R, G and B of 16 pixels at src, with the layout known here (R, G, B at
// lanes R, G, B) or, for R < 0, taken from the offsets.
struct Rgb {
  uint8x16_t r, g, b;
};
template <int Bpp, int R, int G, int B>
inline Rgb load_rgb(const std::uint8_t* src, int r_off, int g_off, int b_off) {
  if constexpr (Bpp == 3) {
    const uint8x16x3_t px = vld3q_u8(src);
    if constexpr (R >= 0) return {px.val[R], px.val[G], px.val[B]};
    return {lane(px, r_off), lane(px, g_off), lane(px, b_off)};
  } else {
    const uint8x16x4_t px = vld4q_u8(src);
    if constexpr (R >= 0) return {px.val[R], px.val[G], px.val[B]};
    return {lane(px, r_off), lane(px, g_off), lane(px, b_off)};
  }
}

// The same for 8 pixels, or (Dup) one pixel in every lane.
struct Rgb8 {
  uint8x8_t r, g, b;
};
template <int Bpp, int R, int G, int B, bool Dup = false>
inline Rgb8 load_rgb8(const std::uint8_t* src, int r_off, int g_off, int b_off) {
  const int r = R >= 0 ? R : r_off, g = G >= 0 ? G : g_off, b = B >= 0 ? B : b_off;
  if constexpr (Bpp == 3) {
    const uint8x8x3_t px = Dup ? vld3_dup_u8(src) : vld3_u8(src);
    return {lane(px, r), lane(px, g), lane(px, b)};
  } else {
    const uint8x8x4_t px = Dup ? vld4_dup_u8(src) : vld4_u8(src);
    return {lane(px, r), lane(px, g), lane(px, b)};
  }
}

// The whole steps of 16 pixels of one line; returns the pixels done.
template <int Bpp, int R, int G, int B>
std::uint32_t rgb_steps(const std::uint8_t* src, int r_off, int g_off, int b_off, std::uint32_t n,
                        std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  std::uint32_t i = 0;
  const YccConstants k = ycc_constants();
  for (; n - i >= 16; i += 16, src += 16 * Bpp) {
    const Rgb p = load_rgb<Bpp, R, G, B>(src, r_off, g_off, b_off);
    const Ycc v = ycc(k.k, p.r, p.g, p.b);
    vst1q_u8(y + i, v.y);
    vst1q_u8(cb + i, chroma_bytes(v.cb[0], v.cb[1], k.bias));
    vst1q_u8(cr + i, chroma_bytes(v.cr[0], v.cr[1], k.bias));
  }
  return i;
}

// Two lines to 4:2:0 in whole steps of 16 pixels: each line's Y stored,
// its Cb and Cr offsets added to the other line's and summed in pairs;
// then a half step, and the pixels after it through the portable function
// (called last, so that the caller keeps nothing across the call).
template <int Bpp, int R, int G, int B>
void rgb_420_steps(const std::uint8_t* a, const std::uint8_t* b, int, int r_off, int g_off, int b_off, std::uint32_t n,
                   std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  std::uint32_t i = 0;
  const YccConstants k = ycc_constants();
  for (; n - i >= 16; i += 16, a += 16 * Bpp, b += 16 * Bpp) {
    const Rgb pa = load_rgb<Bpp, R, G, B>(a, r_off, g_off, b_off);
    const Rgb pb = load_rgb<Bpp, R, G, B>(b, r_off, g_off, b_off);
    const Ycc va = ycc(k.k, pa.r, pa.g, pa.b), vb = ycc(k.k, pb.r, pb.g, pb.b);
    vst1q_u8(ya + i, va.y);
    vst1q_u8(yb + i, vb.y);
    const int16x8_t sb = pair_sums(vaddq_s16(va.cb[0], vb.cb[0]), vaddq_s16(va.cb[1], vb.cb[1]));
    const int16x8_t sr = pair_sums(vaddq_s16(va.cr[0], vb.cr[0]), vaddq_s16(va.cr[1], vb.cr[1]));
    const uint8x16_t both = averages(sb, sr, k.bias);  // eight Cb, then eight Cr
    vst1_u8(cb + i / 2, vget_low_u8(both));
    vst1_u8(cr + i / 2, vget_high_u8(both));
  }
  // Half steps: one while 8 pixels are left, then, with fewer but a whole
  // pair left, one that ends with the last whole pair, stepping back over
  // pixels done (which get the same bytes again) when the line has them.
  while (n - i >= 2) {
    if (n - i < 8) {
      if (i < 8) break;
      const std::uint32_t back = 8 - ((n - i) & ~1u);  // even, so the pairs stay aligned
      i -= back, a -= back * Bpp, b -= back * Bpp;
    }
    const Rgb8 pa = load_rgb8<Bpp, R, G, B>(a, r_off, g_off, b_off);
    const Rgb8 pb = load_rgb8<Bpp, R, G, B>(b, r_off, g_off, b_off);
    const Ycc8 va = ycc8(k.k, pa.r, pa.g, pa.b), vb = ycc8(k.k, pb.r, pb.g, pb.b);
    vst1_u8(ya + i, va.y);
    vst1_u8(yb + i, vb.y);
    // Four Cb and four Cr, made together as one vector's halves.
    const uint32x2_t both =
        vreinterpret_u32_u8(averages(pair_sums(vaddq_s16(va.cb, vb.cb), vaddq_s16(va.cr, vb.cr)), k.bias));
    const std::uint32_t four_cb = vget_lane_u32(both, 0), four_cr = vget_lane_u32(both, 1);
    std::memcpy(cb + i / 2, &four_cb, 4);  // the lines need not be aligned
    std::memcpy(cr + i / 2, &four_cr, 4);
    i += 8;
    a += 8 * Bpp, b += 8 * Bpp;
  }
  if (i == n) return;
  if (n - i == 1) {
    // A last pixel, its own pair: in every lane of both lines' registers
    // (a structure load that repeats it), so that the sums of four are the
    // portable function's two copies of each line's.
    const Rgb8 pa = load_rgb8<Bpp, R, G, B, true>(a, r_off, g_off, b_off);
    const Rgb8 pb = load_rgb8<Bpp, R, G, B, true>(b, r_off, g_off, b_off);
    const Ycc8 va = ycc8(k.k, pa.r, pa.g, pa.b), vb = ycc8(k.k, pb.r, pb.g, pb.b);
    vst1_lane_u8(ya + i, va.y, 0);
    vst1_lane_u8(yb + i, vb.y, 0);
    const uint8x8_t both = averages(pair_sums(vaddq_s16(va.cb, vb.cb), vaddq_s16(va.cr, vb.cr)), k.bias);
    vst1_lane_u8(cb + i / 2, both, 0);
    vst1_lane_u8(cr + i / 2, both, 4);
    return;
  }
  const int bytes = Bpp, r = R >= 0 ? R : r_off, g = G >= 0 ? G : g_off, bl = B >= 0 ? B : b_off;
  rgb_to_420_line(a, b, bytes, r, g, bl, n - i, ya + i, yb + i, cb + i / 2, cr + i / 2);
}

}  // namespace

void rgb_to_ycc_line_neon(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                          std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // RGB and BGR orders get their own loops; any other order picks its lanes
  // at each step.
  std::uint32_t i;
  const bool rgb = r_off == 0 && g_off == 1 && b_off == 2, bgr = r_off == 2 && g_off == 1 && b_off == 0;
  if (bytes_per_pixel == 3) {
    i = rgb   ? rgb_steps<3, 0, 1, 2>(src, r_off, g_off, b_off, n, y, cb, cr)
        : bgr ? rgb_steps<3, 2, 1, 0>(src, r_off, g_off, b_off, n, y, cb, cr)
              : rgb_steps<3, -1, -1, -1>(src, r_off, g_off, b_off, n, y, cb, cr);
  } else {
    i = rgb   ? rgb_steps<4, 0, 1, 2>(src, r_off, g_off, b_off, n, y, cb, cr)
        : bgr ? rgb_steps<4, 2, 1, 0>(src, r_off, g_off, b_off, n, y, cb, cr)
              : rgb_steps<4, -1, -1, -1>(src, r_off, g_off, b_off, n, y, cb, cr);
  }
  rgb_to_ycc_line(src + static_cast<std::size_t>(i) * bytes_per_pixel, bytes_per_pixel, r_off, g_off, b_off, n - i,
           y + i, cb + i, cr + i);
}

void rgb_to_420_line_neon(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off, int g_off,
                          int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb,
                          std::uint8_t* cr) {
  const bool rgb = r_off == 0 && g_off == 1 && b_off == 2, bgr = r_off == 2 && g_off == 1 && b_off == 0;
  auto* const steps = bytes_per_pixel == 3 ? (rgb ? rgb_420_steps<3, 0, 1, 2>
                                              : bgr ? rgb_420_steps<3, 2, 1, 0>
                                                    : rgb_420_steps<3, -1, -1, -1>)
                                           : (rgb ? rgb_420_steps<4, 0, 1, 2>
                                              : bgr ? rgb_420_steps<4, 2, 1, 0>
                                                    : rgb_420_steps<4, -1, -1, -1>);
  steps(a, b, bytes_per_pixel, r_off, g_off, b_off, n, ya, yb, cb, cr);  // the same arguments, passed on
}

// The downsampling loops step two vectors at a time and then one, with
// the pointers moving on, which keeps their overhead to a few instructions.
void down_h2_line_neon(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  // vrhadd is (a + b + 1) >> 1.
  for (; n >= 64; n -= 64, in += 64, out += 32) {
    const uint8x16x2_t p0 = vld2q_u8(in), p1 = vld2q_u8(in + 32);
    vst1q_u8(out, vrhaddq_u8(p0.val[0], p0.val[1]));
    vst1q_u8(out + 16, vrhaddq_u8(p1.val[0], p1.val[1]));
  }
  if (n >= 32) {
    const uint8x16x2_t p = vld2q_u8(in);
    vst1q_u8(out, vrhaddq_u8(p.val[0], p.val[1]));
    n -= 32, in += 32, out += 16;
  }
  down_h2_line(in, n, out);
}

void down_h2v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  // Pairwise widening sums of both lines, then (s + 2) >> 2 in the narrowing.
  for (; n >= 32; n -= 32, a += 32, b += 32, out += 16) {
    const uint16x8_t s0 = vpadalq_u8(vpaddlq_u8(vld1q_u8(a)), vld1q_u8(b));
    const uint16x8_t s1 = vpadalq_u8(vpaddlq_u8(vld1q_u8(a + 16)), vld1q_u8(b + 16));
    vst1q_u8(out, vcombine_u8(vrshrn_n_u16(s0, 2), vrshrn_n_u16(s1, 2)));
  }
  if (n >= 16) {
    vst1_u8(out, vrshrn_n_u16(vpadalq_u8(vpaddlq_u8(vld1q_u8(a)), vld1q_u8(b)), 2));
    n -= 16, a += 16, b += 16, out += 8;
  }
  down_h2v2_line(a, b, n, out);
}

void down_v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  for (; n >= 32; n -= 32, a += 32, b += 32, out += 32) {
    vst1q_u8(out, vrhaddq_u8(vld1q_u8(a), vld1q_u8(b)));
    vst1q_u8(out + 16, vrhaddq_u8(vld1q_u8(a + 16), vld1q_u8(b + 16)));
  }
  if (n >= 16) {
    vst1q_u8(out, vrhaddq_u8(vld1q_u8(a), vld1q_u8(b)));
    n -= 16, a += 16, b += 16, out += 16;
  }
  down_v2_line(a, b, n, out);
}

void unpack_422_line_neon(const std::uint8_t* src, bool y_first, std::uint32_t n,
                          std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // vld4 splits 16 groups into Y0, Cb, Y1, Cr (YUYV) or Cb, Y0, Cr, Y1.
  const int y0 = y_first ? 0 : 1, c0 = y_first ? 1 : 0;
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const uint8x16x4_t g = vld4q_u8(src + 2 * i);
    uint8x16x2_t ys;
    ys.val[0] = lane(g, y0);
    ys.val[1] = lane(g, y0 + 2);
    vst2q_u8(y + i, ys);
    vst1q_u8(cb + i / 2, lane(g, c0));
    vst1q_u8(cr + i / 2, lane(g, c0 + 2));
  }
  unpack_422_line(src + 2 * i, y_first, n - i, y + i, cb + i / 2, cr + i / 2);
}

const ColourKernels neon_colour = {rgb_to_ycc_line_neon, down_h2_line_neon, down_h2v2_line_neon,
                                  down_v2_line_neon, unpack_422_line_neon, rgb_to_420_line_neon};
