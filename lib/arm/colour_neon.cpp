// Colour conversion, chroma downsampling and 4:2:2 unpacking on NEON, with
// the interface and the bytes of the portable functions in colour.hpp.
//
// On 32-bit ARM this file is built with NEON (-mfpu=neon) and runs only once
// the CPU has been checked; every helper stays in this file.
// The pixels after the last whole vector go through the portable functions.
//
// The structure loads (vld3, vld4) split the pixels into R, G and B. Each
// coefficient c is taken as 256 ch + cl with bytes ch and cl, so that every
// product is a byte by a byte (vmull_u8, vmlal_u8) and each sum of three
// fits 16 bits. With H and L the sums of the ch and of the cl products:
//   Y  = (256 H + L + 32768) >> 16 = (H + (L >> 8) + 128) >> 8,
//        H = 76 R + 150 G + 29 B, L = 139 R + 70 G + 47 B, H + (L >> 8) <= 65280,
//        as vraddhn(H, L >> 8);
//   Cb = (256 Hc - P + 8421375) >> 16 = (Hc + 32895 - (P >> 8)) >> 8,
//        Hc = 128 B - 43 R - 84 G, P = 51 R + 205 G <= 65280: with A = Hc + 32896
//        and Q = P + 1 the sum is 256 A - Q, and floor((A - Q / 256) / 256) is
//        (A - ceil(Q / 256)) >> 8 with ceil(Q / 256) = (P >> 8) + 1. The
//        value Hc + 32895 - (P >> 8) lies in 255..65535, so it is formed modulo
//        2^16 and narrowed as vsubhn(Hc + 32895, P >> 8);
//   Cr likewise with Hc = 128 R - 107 G - 20 B and P = 47 G + 209 B.
// So the results equal the integer formulas for every input.
#include <arm_neon.h>

#include <cstring>

#include "colour.hpp"
#include "arm/colour_kernels.hpp"
#include "arm/kernels.hpp"

namespace {

// Y, Cb, Cr of 8 pixels.
inline void ycc8(uint8x8_t r, uint8x8_t g, uint8x8_t b, uint8x8_t& y, uint8x8_t& cb, uint8x8_t& cr) {
  const uint16x8_t h = vmlal_u8(vmlal_u8(vmull_u8(r, vdup_n_u8(76)), g, vdup_n_u8(150)), b, vdup_n_u8(29));
  const uint16x8_t l = vmlal_u8(vmlal_u8(vmull_u8(r, vdup_n_u8(139)), g, vdup_n_u8(70)), b, vdup_n_u8(47));
  y = vraddhn_u16(h, vshrq_n_u16(l, 8));

  const uint16x8_t base = vdupq_n_u16(32895);
  const uint16x8_t hb = vmlsl_u8(vmlsl_u8(vmlal_u8(base, b, vdup_n_u8(128)), r, vdup_n_u8(43)), g, vdup_n_u8(84));
  const uint16x8_t pb = vmlal_u8(vmull_u8(r, vdup_n_u8(51)), g, vdup_n_u8(205));
  cb = vsubhn_u16(hb, vshrq_n_u16(pb, 8));

  const uint16x8_t hr = vmlsl_u8(vmlsl_u8(vmlal_u8(base, r, vdup_n_u8(128)), g, vdup_n_u8(107)), b, vdup_n_u8(20));
  const uint16x8_t pr = vmlal_u8(vmull_u8(g, vdup_n_u8(47)), b, vdup_n_u8(209));
  cr = vsubhn_u16(hr, vshrq_n_u16(pr, 8));
}

// Y, Cb, Cr of 16 pixels.
struct Ycc {
  uint8x16_t y, cb, cr;
};
#if defined(__aarch64__)
// The products of the low (Hi false) or the high eight lanes of a with a
// constant in every lane of k: the high halves are read in place (umull2,
// umlal2, umlsl2) rather than first copied out.
// The low halves' products are written out, with the registers' 8-byte
// views: the compiler would take each vget_low of a constant for a value of
// its own, and spill them.
template <bool Hi>
inline uint16x8_t mull(uint8x16_t a, uint8x16_t k) {
  if constexpr (Hi) return vmull_high_u8(a, k);
  uint16x8_t s;
  asm("umull %0.8h, %1.8b, %2.8b" : "=w"(s) : "w"(a), "w"(k));
  return s;
}
template <bool Hi>
inline uint16x8_t mlal(uint16x8_t s, uint8x16_t a, uint8x16_t k) {
  if constexpr (Hi) return vmlal_high_u8(s, a, k);
  asm("umlal %0.8h, %1.8b, %2.8b" : "+w"(s) : "w"(a), "w"(k));
  return s;
}
template <bool Hi>
inline uint16x8_t mlsl(uint16x8_t s, uint8x16_t a, uint8x16_t k) {
  if constexpr (Hi) return vmlsl_high_u8(s, a, k);
  asm("umlsl %0.8h, %1.8b, %2.8b" : "+w"(s) : "w"(a), "w"(k));
  return s;
}
template <bool Hi>
inline uint16x8_t shll7(uint8x16_t a) {
  if constexpr (Hi) return vshll_high_n_u8(a, 7);
  uint16x8_t s;
  asm("ushll %0.8h, %1.8b, #7" : "=w"(s) : "w"(a));
  return s;
}
// The multipliers of ycc8, one to a register in every lane, and its
// offset; made once a loop, hidden from the compiler, which would otherwise
// make the low and the high halves' copies registers of their own.
struct YccConstants {
  uint8x16_t y_r, y_g, y_b, yl_r, yl_g, k47, cb_r, cb_g, cbl_r, cbl_g, cr_g, cr_b, crl_b;  // k47: yl_b and crl_g
  uint16x8_t base;
};
inline YccConstants ycc_constants() {
  // Each made and hidden on its own: hiding the members of the structure
  // leaves a copy of it on the stack.
  auto dup = [](std::uint8_t c) {
    uint8x16_t v = vdupq_n_u8(c);
    asm("" : "+w"(v));
    return v;
  };
  uint16x8_t base = vdupq_n_u16(32895);
  asm("" : "+w"(base));
  return {dup(76), dup(150), dup(29),  dup(139), dup(70), dup(47),  dup(43),
          dup(84), dup(51),  dup(205), dup(107), dup(20), dup(209), base};
}
// The sums of ycc8 for the low (Hi false) or the high half of 16 pixels.
template <bool Hi>
inline void ycc_half(const YccConstants& k, uint8x16_t r, uint8x16_t g, uint8x16_t b, uint8x8_t& y,
                     uint8x8_t& cb, uint8x8_t& cr) {
  const uint16x8_t h = mlal<Hi>(mlal<Hi>(mull<Hi>(r, k.y_r), g, k.y_g), b, k.y_b);
  const uint16x8_t l = mlal<Hi>(mlal<Hi>(mull<Hi>(r, k.yl_r), g, k.yl_g), b, k.k47);
  y = vraddhn_u16(h, vshrq_n_u16(l, 8));
  // 128 B (and 128 R) as a widening shift, the offset added to it.
  const uint16x8_t hb = mlsl<Hi>(mlsl<Hi>(vaddq_u16(shll7<Hi>(b), k.base), r, k.cb_r), g, k.cb_g);
  const uint16x8_t pb = mlal<Hi>(mull<Hi>(r, k.cbl_r), g, k.cbl_g);
  cb = vsubhn_u16(hb, vshrq_n_u16(pb, 8));
  const uint16x8_t hr = mlsl<Hi>(mlsl<Hi>(vaddq_u16(shll7<Hi>(r), k.base), g, k.cr_g), b, k.cr_b);
  const uint16x8_t pr = mlal<Hi>(mull<Hi>(g, k.k47), b, k.crl_b);
  cr = vsubhn_u16(hr, vshrq_n_u16(pr, 8));
}
inline Ycc ycc(const YccConstants& k, uint8x16_t r, uint8x16_t g, uint8x16_t b) {
  uint8x8_t y0, cb0, cr0, y1, cb1, cr1;
  ycc_half<false>(k, r, g, b, y0, cb0, cr0);
  ycc_half<true>(k, r, g, b, y1, cb1, cr1);
  return {vcombine_u8(y0, y1), vcombine_u8(cb0, cb1), vcombine_u8(cr0, cr1)};
}
#else
struct YccConstants {};  // ycc8 makes its own
inline YccConstants ycc_constants() { return {}; }
inline Ycc ycc(const YccConstants&, uint8x16_t r, uint8x16_t g, uint8x16_t b) {
  uint8x8_t y0, cb0, cr0, y1, cb1, cr1;
  ycc8(vget_low_u8(r), vget_low_u8(g), vget_low_u8(b), y0, cb0, cr0);
  ycc8(vget_high_u8(r), vget_high_u8(g), vget_high_u8(b), y1, cb1, cr1);
  return {vcombine_u8(y0, y1), vcombine_u8(cb0, cb1), vcombine_u8(cr0, cr1)};
}
#endif

// Y, Cb, Cr of 16 pixels, stored.
inline void ycc16(const YccConstants& k, uint8x16_t r, uint8x16_t g, uint8x16_t b, std::uint8_t* y,
                  std::uint8_t* cb, std::uint8_t* cr) {
  const Ycc v = ycc(k, r, g, b);
  vst1q_u8(y, v.y);
  vst1q_u8(cb, v.cb);
  vst1q_u8(cr, v.cr);
}

// Lane k of a structure load, k < 4 (the offsets are checked by the caller).
inline uint8x16_t lane(const uint8x16x4_t& v, int k) {
  switch (k) {
    case 0: return v.val[0];
    case 1: return v.val[1];
    case 2: return v.val[2];
    default: return v.val[3];
  }
}
inline uint8x16_t lane(const uint8x16x3_t& v, int k) {
  switch (k) {
    case 0: return v.val[0];
    case 1: return v.val[1];
    default: return v.val[2];
  }
}

inline uint8x8_t half_lane(const uint8x8x4_t& v, int k) {
  switch (k) {
    case 0: return v.val[0];
    case 1: return v.val[1];
    case 2: return v.val[2];
    default: return v.val[3];
  }
}
inline uint8x8_t half_lane(const uint8x8x3_t& v, int k) {
  switch (k) {
    case 0: return v.val[0];
    case 1: return v.val[1];
    default: return v.val[2];
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

// The whole steps of 16 pixels of one line; returns the pixels done.
template <int Bpp, int R, int G, int B>
std::uint32_t rgb_steps(const std::uint8_t* src, int r_off, int g_off, int b_off, std::uint32_t n,
                        std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  std::uint32_t i = 0;
  const YccConstants k = ycc_constants();
  for (; n - i >= 16; i += 16, src += 16 * Bpp) {
    const Rgb p = load_rgb<Bpp, R, G, B>(src, r_off, g_off, b_off);
    ycc16(k, p.r, p.g, p.b, y + i, cb + i, cr + i);
  }
  return i;
}

// Two lines to 4:2:0 in whole steps of 16 pixels: each line's Y stored,
// its Cb and Cr summed in pairs on 16-bit lanes with the other line's,
// (s + 2) >> 2 in the narrowing; then a half step, and the pixels after it
// through the portable function (called last, so that the caller keeps
// nothing across the call).
template <int Bpp, int R, int G, int B>
void rgb_420_steps(const std::uint8_t* a, const std::uint8_t* b, int, int r_off, int g_off, int b_off, std::uint32_t n,
                   std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb, std::uint8_t* cr) {
  std::uint32_t i = 0;
  const YccConstants k = ycc_constants();
  for (; n - i >= 16; i += 16, a += 16 * Bpp, b += 16 * Bpp) {
    const Rgb pa = load_rgb<Bpp, R, G, B>(a, r_off, g_off, b_off);
    Ycc va = ycc(k, pa.r, pa.g, pa.b);
    // The second line is loaded only once the first is done with (its
    // address passes through the empty asm statement with the first's
    // results), so that the compiler does not interleave the two and run
    // out of registers for the constants.
    const std::uint8_t* next = b;
    asm("" : "+r"(next), "+w"(va.y), "+w"(va.cb), "+w"(va.cr));
    const Rgb pb = load_rgb<Bpp, R, G, B>(next, r_off, g_off, b_off);
    const Ycc vb = ycc(k, pb.r, pb.g, pb.b);
    vst1q_u8(ya + i, va.y);
    vst1q_u8(yb + i, vb.y);
    vst1_u8(cb + i / 2, vrshrn_n_u16(vpadalq_u8(vpaddlq_u8(va.cb), vb.cb), 2));
    vst1_u8(cr + i / 2, vrshrn_n_u16(vpadalq_u8(vpaddlq_u8(va.cr), vb.cr), 2));
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
    uint8x8_t r[2], g[2], bl[2];
    for (int j = 0; j < 2; ++j) {
      const std::uint8_t* src = j == 0 ? a : b;
      if constexpr (Bpp == 3) {
        const uint8x8x3_t px = vld3_u8(src);
        r[j] = px.val[R >= 0 ? R : 0], g[j] = px.val[G >= 0 ? G : 1], bl[j] = px.val[B >= 0 ? B : 2];
        if constexpr (R < 0) r[j] = half_lane(px, r_off), g[j] = half_lane(px, g_off), bl[j] = half_lane(px, b_off);
      } else {
        const uint8x8x4_t px = vld4_u8(src);
        r[j] = px.val[R >= 0 ? R : 0], g[j] = px.val[G >= 0 ? G : 1], bl[j] = px.val[B >= 0 ? B : 2];
        if constexpr (R < 0) r[j] = half_lane(px, r_off), g[j] = half_lane(px, g_off), bl[j] = half_lane(px, b_off);
      }
    }
    uint8x8_t y0, cb0, cr0, y1, cb1, cr1;
    ycc8(r[0], g[0], bl[0], y0, cb0, cr0);
    ycc8(r[1], g[1], bl[1], y1, cb1, cr1);
    vst1_u8(ya + i, y0);
    vst1_u8(yb + i, y1);
    // Four Cb and four Cr, made together as one vector's halves.
    const uint16x4_t sb = vpadal_u8(vpaddl_u8(cb0), cb1), sr = vpadal_u8(vpaddl_u8(cr0), cr1);
    const uint32x2_t both = vreinterpret_u32_u8(vrshrn_n_u16(vcombine_u16(sb, sr), 2));
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
    uint8x8_t r[2], g[2], bl[2];
    for (int j = 0; j < 2; ++j) {
      const std::uint8_t* src = j == 0 ? a : b;
      if constexpr (Bpp == 3) {
        const uint8x8x3_t px = vld3_dup_u8(src);
        r[j] = half_lane(px, R >= 0 ? R : r_off), g[j] = half_lane(px, G >= 0 ? G : g_off),
        bl[j] = half_lane(px, B >= 0 ? B : b_off);
      } else {
        const uint8x8x4_t px = vld4_dup_u8(src);
        r[j] = half_lane(px, R >= 0 ? R : r_off), g[j] = half_lane(px, G >= 0 ? G : g_off),
        bl[j] = half_lane(px, B >= 0 ? B : b_off);
      }
    }
    uint8x8_t y0, cb0, cr0, y1, cb1, cr1;
    ycc8(r[0], g[0], bl[0], y0, cb0, cr0);
    ycc8(r[1], g[1], bl[1], y1, cb1, cr1);
    vst1_lane_u8(ya + i, y0, 0);
    vst1_lane_u8(yb + i, y1, 0);
    const uint16x4_t sb = vpadal_u8(vpaddl_u8(cb0), cb1), sr = vpadal_u8(vpaddl_u8(cr0), cr1);
    const uint8x8_t both = vrshrn_n_u16(vcombine_u16(sb, sr), 2);
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
