// Colour conversion, chroma downsampling and 4:2:2 unpacking on NEON, with
// the interface and the bytes of the portable functions in colour.hpp.
//
// On 32-bit ARM this file is built with NEON (-mfpu=neon) and runs only once
// the CPU has been checked; every helper stays in this file.
//
// The structure loads (vld3, vld4) split the pixels into R, G and B. Every
// coefficient fits an unsigned 16-bit scalar, so each sum is formed exactly
// in unsigned 32-bit lanes by widening multiply-accumulates: Y adds its
// rounding in the narrowing shift (vrshrn #16: (x + 32768) >> 16); Cb and
// Cr start from 8421375 and add the B (R) term before subtracting the other
// two, which keeps every partial sum positive (8421375 > 255 * 32768, and
// each final sum is at least 0), and narrow by a plain shift.
#include <arm_neon.h>

#include "arm/colour_kernels.hpp"

namespace {

// Y, Cb, Cr of 8 pixels.
inline void ycc8(uint16x8_t r, uint16x8_t g, uint16x8_t b, uint8x8_t& y, uint8x8_t& cb, uint8x8_t& cr) {
  const uint32x4_t offset = vdupq_n_u32(8421375);
  uint32x4_t yl = vmull_n_u16(vget_low_u16(r), 19595), yh = vmull_n_u16(vget_high_u16(r), 19595);
  yl = vmlal_n_u16(yl, vget_low_u16(g), 38470);
  yh = vmlal_n_u16(yh, vget_high_u16(g), 38470);
  yl = vmlal_n_u16(yl, vget_low_u16(b), 7471);
  yh = vmlal_n_u16(yh, vget_high_u16(b), 7471);
  y = vmovn_u16(vcombine_u16(vrshrn_n_u32(yl, 16), vrshrn_n_u32(yh, 16)));

  uint32x4_t bl = vmlal_n_u16(offset, vget_low_u16(b), 32768), bh = vmlal_n_u16(offset, vget_high_u16(b), 32768);
  bl = vmlsl_n_u16(bl, vget_low_u16(r), 11059);
  bh = vmlsl_n_u16(bh, vget_high_u16(r), 11059);
  bl = vmlsl_n_u16(bl, vget_low_u16(g), 21709);
  bh = vmlsl_n_u16(bh, vget_high_u16(g), 21709);
  cb = vmovn_u16(vcombine_u16(vshrn_n_u32(bl, 16), vshrn_n_u32(bh, 16)));

  uint32x4_t rl = vmlal_n_u16(offset, vget_low_u16(r), 32768), rh = vmlal_n_u16(offset, vget_high_u16(r), 32768);
  rl = vmlsl_n_u16(rl, vget_low_u16(g), 27439);
  rh = vmlsl_n_u16(rh, vget_high_u16(g), 27439);
  rl = vmlsl_n_u16(rl, vget_low_u16(b), 5329);
  rh = vmlsl_n_u16(rh, vget_high_u16(b), 5329);
  cr = vmovn_u16(vcombine_u16(vshrn_n_u32(rl, 16), vshrn_n_u32(rh, 16)));
}

// Y, Cb, Cr of 16 pixels, stored.
inline void ycc16(uint8x16_t r, uint8x16_t g, uint8x16_t b, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  uint8x8_t y0, cb0, cr0, y1, cb1, cr1;
  ycc8(vmovl_u8(vget_low_u8(r)), vmovl_u8(vget_low_u8(g)), vmovl_u8(vget_low_u8(b)), y0, cb0, cr0);
  ycc8(vmovl_u8(vget_high_u8(r)), vmovl_u8(vget_high_u8(g)), vmovl_u8(vget_high_u8(b)), y1, cb1, cr1);
  vst1q_u8(y, vcombine_u8(y0, y1));
  vst1q_u8(cb, vcombine_u8(cb0, cb1));
  vst1q_u8(cr, vcombine_u8(cr0, cr1));
}

// The portable definition, for the pixels after the last whole vector.
inline void rgb_tail(const std::uint8_t* src, int bpp, int r_off, int g_off, int b_off, std::uint32_t n,
                     std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  for (std::uint32_t i = 0; i < n; ++i, src += bpp) {
    const int r = src[r_off], g = src[g_off], b = src[b_off];
    y[i] = static_cast<std::uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
    cb[i] = static_cast<std::uint8_t>((-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16);
    cr[i] = static_cast<std::uint8_t>((32768 * r - 27439 * g - 5329 * b + 8421375) >> 16);
  }
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

}  // namespace

void rgb_to_ycc_line_neon(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                          std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  std::uint32_t i = 0;
  if (bytes_per_pixel == 3) {
    for (; n - i >= 16; i += 16) {
      const uint8x16x3_t px = vld3q_u8(src + 3 * static_cast<std::size_t>(i));
      ycc16(lane(px, r_off), lane(px, g_off), lane(px, b_off), y + i, cb + i, cr + i);
    }
  } else {
    for (; n - i >= 16; i += 16) {
      const uint8x16x4_t px = vld4q_u8(src + 4 * static_cast<std::size_t>(i));
      ycc16(lane(px, r_off), lane(px, g_off), lane(px, b_off), y + i, cb + i, cr + i);
    }
  }
  rgb_tail(src + static_cast<std::size_t>(i) * bytes_per_pixel, bytes_per_pixel, r_off, g_off, b_off, n - i,
           y + i, cb + i, cr + i);
}

void down_h2_line_neon(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  // vrhadd is (a + b + 1) >> 1.
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const uint8x16x2_t px = vld2q_u8(in + i);
    vst1q_u8(out + i / 2, vrhaddq_u8(px.val[0], px.val[1]));
  }
  for (; i + 1 < n; i += 2) out[i / 2] = static_cast<std::uint8_t>((in[i] + in[i + 1] + 1) >> 1);
  if (i < n) out[i / 2] = in[i];
}

void down_h2v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  // Pairwise widening sums of both lines, then (s + 2) >> 2 in the narrowing.
  std::uint32_t i = 0;
  for (; n - i >= 32; i += 32) {
    const uint16x8_t s0 = vpadalq_u8(vpaddlq_u8(vld1q_u8(a + i)), vld1q_u8(b + i));
    const uint16x8_t s1 = vpadalq_u8(vpaddlq_u8(vld1q_u8(a + i + 16)), vld1q_u8(b + i + 16));
    vst1q_u8(out + i / 2, vcombine_u8(vrshrn_n_u16(s0, 2), vrshrn_n_u16(s1, 2)));
  }
  for (; i + 1 < n; i += 2)
    out[i / 2] = static_cast<std::uint8_t>((a[i] + a[i + 1] + b[i] + b[i + 1] + 2) >> 2);
  if (i < n) out[i / 2] = static_cast<std::uint8_t>((a[i] + b[i] + 1) >> 1);
}

void down_v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  std::uint32_t i = 0;
  for (; n - i >= 16; i += 16) vst1q_u8(out + i, vrhaddq_u8(vld1q_u8(a + i), vld1q_u8(b + i)));
  for (; i < n; ++i) out[i] = static_cast<std::uint8_t>((a[i] + b[i] + 1) >> 1);
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
  for (const std::uint8_t* g = src + 2 * i; i < n; i += 2, g += 4) {
    y[i] = g[y0];
    if (i + 1 < n) y[i + 1] = g[y0 + 2];
    cb[i / 2] = g[c0];
    cr[i / 2] = g[c0 + 2];
  }
}
