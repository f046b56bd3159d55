// The ARM path: transform and quantization of a block on NEON's 8 x 16-bit
// lanes, one row (or, between the passes, one column) to a register, and
// its nonzero bitmap in zigzag order; then a block coder that
// visits only the nonzero coefficients.
//
// On 32-bit ARM this file alone is built with NEON (-mfpu=neon) and runs
// only once the CPU has been checked (paths.cpp); it keeps every helper
// to itself and uses no library template that could leave an out-of-line
// copy built with NEON for the portable code to link against.
//
// Every intermediate value of the transform fits in 16 bits for 8-bit
// samples (row pass outputs stay within +-1300, column pass values within
// +-13000), and each rounded product is formed exactly:
//   (a * 181 + 128) >> 8      as vqrdmulh(a, 181 * 128), whose
//                             (2 * a * b + 2^15) >> 16 is the same quotient
//                             and saturates only for a = b = -32768 (and
//                             (128 - a * 181) >> 8 as vqrdmulh(a, -181 * 128));
//   (a * k1 + b * k2 + c * k3 + 128) >> 8
//                             as products widened to 32 bits (vmull,
//                             vmlal), summed, and narrowed by a rounding
//                             shift (vrshrn #8: (x + 2^7) >> 8, of which
//                             only the low 16 bits are kept, the same for
//                             an arithmetic and a logical shift);
//   (v * qu + 32768) >> 16    as vrshr(vqdmulh(v, qu), 1): with v * qu =
//                             2^15 a + b, 0 <= b < 2^15, vqdmulh gives
//                             (2 v qu) >> 16 = a (no saturation, as qu is
//                             positive) and the rounding shift (a + 1) >> 1,
//                             which is (v qu + 2^15) >> 16 as b < 2^15.
// So the results equal the 32-bit definition bit for bit. The 16-bit
// quantization needs every reciprocal below 2^15 (QuantTables::fits16).
#include <arm_neon.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arm/kernels.hpp"
#include "bitpack.hpp"
#include "coder.hpp"
#include "colour_tables.hpp"
#include "tables.hpp"

namespace {

// One quantized block as the coder reads it; aligned so that its rows are
// stored at plain offsets from the stack pointer.
struct alignas(16) Coefficients {
  std::int16_t value[64];  // natural order
  std::uint64_t zigzag;    // bit 63 - k set when the k-th coefficient in zigzag order is nonzero
};

// The 32-bit products of the low and of the high four lanes.
struct Wide {
  int32x4_t lo, hi;
};

#if defined(__aarch64__)
// Four table lookups put the marks into four registers m0 ... m3 such that
// three rounds of shift-right-and-insert pack them into a word: the
// inserts put m3, m2, m1, m0 into the top four bits of each byte (byte
// lane j), a 16-bit insert puts the top half of byte 2 i + 1 below that of
// byte 2 i, and the narrowing keeps those eight bits as byte i. So bit
// 8 i + 4 + r holds m_r's lane 2 i and bit 8 i + r its lane 2 i + 1; the
// lookups place zigzag position k at bit 63 - k.
constexpr auto zigzag_picks = [] {
  std::array<std::array<std::uint8_t, 16>, 4> t{};
  for (std::size_t k = 0; k < 64; ++k) {
    const std::size_t bit = 63 - k, i = bit / 8, r = bit % 8;
    if (r >= 4) {
      t[r - 4][2 * i] = static_cast<std::uint8_t>(zz[k]);
    } else {
      t[r][2 * i + 1] = static_cast<std::uint8_t>(zz[k]);
    }
  }
  return t;
}();
static_assert(zigzag_picks[3][14] == 0 && zigzag_picks[2][14] == 1 && zigzag_picks[0][1] == 63);
#endif

// The constants of the transform, made once a call: its multipliers, lanes
// of two vectors (by-lane products keep them in two registers instead of one
// each): ka = {237, -98, 98, 236}, kb = {181, -181, 181 * 128, -181 * 128};
// and on aarch64 the bitmap's table indices.
struct Constants {
  int16x4_t ka, kb;
#if defined(__aarch64__)
  uint8x16_t picks[4];  // zigzag_picks, for the bitmap
#endif
};
inline Constants constants() {
  static constexpr std::int16_t lanes[8] = {237, -98, 98, 236, 181, -181, 181 * 128, -181 * 128};
  Constants m;
  m.ka = vld1_s16(lanes);
  m.kb = vld1_s16(lanes + 4);
  // Hidden from the compiler, which would otherwise make each multiplier a
  // register of its own again, and load the indices anew for every block.
  asm("" : "+w"(m.ka), "+w"(m.kb));
#if defined(__aarch64__)
  for (std::size_t r = 0; r < 4; ++r) {
    m.picks[r] = vld1q_u8(zigzag_picks[r].data());
    asm("" : "+w"(m.picks[r]));
  }
#endif
  return m;
}

template <int L>
inline Wide mul(int16x8_t a, int16x4_t k) {
#if defined(__aarch64__)
  return {vmull_lane_s16(vget_low_s16(a), k, L), vmull_high_lane_s16(a, k, L)};
#else
  return {vmull_lane_s16(vget_low_s16(a), k, L), vmull_lane_s16(vget_high_s16(a), k, L)};
#endif
}
template <int L>
inline Wide mla(Wide w, int16x8_t a, int16x4_t k) {
#if defined(__aarch64__)
  return {vmlal_lane_s16(w.lo, vget_low_s16(a), k, L), vmlal_high_lane_s16(w.hi, a, k, L)};
#else
  return {vmlal_lane_s16(w.lo, vget_low_s16(a), k, L), vmlal_lane_s16(w.hi, vget_high_s16(a), k, L)};
#endif
}
inline Wide add(Wide a, Wide b) { return {vaddq_s32(a.lo, b.lo), vaddq_s32(a.hi, b.hi)}; }
inline Wide sub(Wide a, Wide b) { return {vsubq_s32(a.lo, b.lo), vsubq_s32(a.hi, b.hi)}; }
// (w + 128) >> 8 on 16 bits.
inline int16x8_t round8(Wide w) { return vcombine_s16(vrshrn_n_s32(w.lo, 8), vrshrn_n_s32(w.hi, 8)); }

// One pass of the 1-D transform, every lane separate, from the sums and
// differences t[i] = x[i] + x[7 - i], t[7 - i] = x[i] - x[7 - i] (i < 4) of
// its inputs; the outputs go to x[0] ... x[7].
inline void pass(const Constants& m, const int16x8_t* t, int16x8_t* x) {
  const int16x8_t t0 = t[0], t1 = t[1], t2 = t[2], t3 = t[3];
  const int16x8_t t4 = t[4], t5 = t[5], t6 = t[6], t7 = t[7];

  // Even part: y2 = e13 + ((z1 + 128) >> 8), y6 = e13 + ((128 - z1) >> 8)
  // with z1 = (e12 + e13) * 181.
  const int16x8_t e10 = vaddq_s16(t0, t3), e13 = vsubq_s16(t0, t3);
  const int16x8_t e11 = vaddq_s16(t1, t2), e12 = vsubq_s16(t1, t2);
  const int16x8_t s = vaddq_s16(e12, e13);
  x[0] = vaddq_s16(e10, e11);
  x[4] = vsubq_s16(e10, e11);
  x[2] = vaddq_s16(e13, vqrdmulhq_lane_s16(s, m.kb, 2));
  x[6] = vaddq_s16(e13, vqrdmulhq_lane_s16(s, m.kb, 3));

  // Odd part: with z2 = 237 o10 - 98 o12, z4 = 98 o10 + 236 o12, z3 = 181 o11,
  // y5 = t7 + ((z2 - z3 + 128) >> 8), y3 = t7 + ((-z2 - z3 + 128) >> 8),
  // y1 = t7 + ((z4 + z3 + 128) >> 8), y7 = t7 + ((-z4 + z3 + 128) >> 8).
  const int16x8_t o10 = vaddq_s16(t4, t5), o11 = vaddq_s16(t5, t6), o12 = vaddq_s16(t6, t7);
  const Wide z2 = mla<1>(mul<0>(o10, m.ka), o12, m.ka);
  const Wide z4 = mla<3>(mul<2>(o10, m.ka), o12, m.ka);
  const Wide z3 = mul<0>(o11, m.kb), minus_z3 = mul<1>(o11, m.kb);
  x[5] = vaddq_s16(t7, round8(add(z2, minus_z3)));
  x[3] = vaddq_s16(t7, round8(sub(minus_z3, z2)));
  x[1] = vaddq_s16(t7, round8(add(z4, z3)));
  x[7] = vaddq_s16(t7, round8(sub(z3, z4)));
}

// Transposes the 8 x 8 matrix of 16-bit values in in[0] ... in[7].
inline void transpose(const int16x8_t* in, int16x8_t* out) {
  const int16x8x2_t a0 = vtrnq_s16(in[0], in[1]), a1 = vtrnq_s16(in[2], in[3]);
  const int16x8x2_t a2 = vtrnq_s16(in[4], in[5]), a3 = vtrnq_s16(in[6], in[7]);
  auto trn32 = [](int16x8_t x, int16x8_t y) {
    return vtrnq_s32(vreinterpretq_s32_s16(x), vreinterpretq_s32_s16(y));
  };
  // b0: columns 0 and 4 (val[0]), 2 and 6 (val[1]) of rows 0 to 3; b1 the
  // same for columns 1, 5, 3, 7; b2 and b3 for rows 4 to 7.
  const int32x4x2_t b0 = trn32(a0.val[0], a1.val[0]), b1 = trn32(a0.val[1], a1.val[1]);
  const int32x4x2_t b2 = trn32(a2.val[0], a3.val[0]), b3 = trn32(a2.val[1], a3.val[1]);
#if defined(__aarch64__)
  auto low = [](int32x4_t x, int32x4_t y) {
    return vreinterpretq_s16_s64(vtrn1q_s64(vreinterpretq_s64_s32(x), vreinterpretq_s64_s32(y)));
  };
  auto high = [](int32x4_t x, int32x4_t y) {
    return vreinterpretq_s16_s64(vtrn2q_s64(vreinterpretq_s64_s32(x), vreinterpretq_s64_s32(y)));
  };
#else  // the halves of a q register are d registers of their own
  auto low = [](int32x4_t x, int32x4_t y) {
    return vreinterpretq_s16_s32(vcombine_s32(vget_low_s32(x), vget_low_s32(y)));
  };
  auto high = [](int32x4_t x, int32x4_t y) {
    return vreinterpretq_s16_s32(vcombine_s32(vget_high_s32(x), vget_high_s32(y)));
  };
#endif
  out[0] = low(b0.val[0], b2.val[0]);
  out[4] = high(b0.val[0], b2.val[0]);
  out[2] = low(b0.val[1], b2.val[1]);
  out[6] = high(b0.val[1], b2.val[1]);
  out[1] = low(b1.val[0], b3.val[0]);
  out[5] = high(b1.val[0], b3.val[0]);
  out[3] = low(b1.val[1], b3.val[1]);
  out[7] = high(b1.val[1], b3.val[1]);
}

// The 64 bytes m[0] ... m[3] (0xFF for a nonzero coefficient, 0 for a zero
// one, natural order, 16 to a register) as a bitmap in zigzag order, the
// first coefficient in the top bit, so that the coder finds the next one
// by counting leading zeros.
#if defined(__aarch64__)
static_assert(std::endian::native == std::endian::little, "byte i of the narrowed marks is bits 8 i to 8 i + 7");
inline std::uint64_t zigzag_bitmap(uint8x16x4_t m, const Constants& k) {
  // The lookups take the marks from four consecutive registers, which the
  // compiler reaches only by copying them there: they are made there.
  register uint8x16_t m0 asm("v28") = m.val[0];
  register uint8x16_t m1 asm("v29") = m.val[1];
  register uint8x16_t m2 asm("v30") = m.val[2];
  register uint8x16_t m3 asm("v31") = m.val[3];
  uint8x16_t p[4];
  asm("tbl %0.16b, {v28.16b - v31.16b}, %8.16b\n\t"
      "tbl %1.16b, {v28.16b - v31.16b}, %9.16b\n\t"
      "tbl %2.16b, {v28.16b - v31.16b}, %10.16b\n\t"
      "tbl %3.16b, {v28.16b - v31.16b}, %11.16b"
      : "=&w"(p[0]), "=&w"(p[1]), "=&w"(p[2]), "=&w"(p[3])
      : "w"(m0), "w"(m1), "w"(m2), "w"(m3), "w"(k.picks[0]), "w"(k.picks[1]), "w"(k.picks[2]), "w"(k.picks[3]));
  const uint8x16_t top = vsriq_n_u8(vsriq_n_u8(p[3], p[2], 1), vsriq_n_u8(p[1], p[0], 1), 2);
  const uint16x8_t pairs = vreinterpretq_u16_u8(top);
  return vget_lane_u64(vreinterpret_u64_u8(vmovn_u16(vsriq_n_u16(pairs, pairs, 12))), 0);
}
#else  // 32-bit ARM: table lookups reach 32 bytes, so each group of eight
       // looks into the first and then the second half of the marks
constexpr auto zz_bytes = [] {
  std::array<std::uint8_t, 64> t{};
  for (std::size_t k = 0; k < 64; ++k) t[k] = zz[k];
  return t;
}();
static_assert(std::endian::native == std::endian::little,
              "byte 0 of the sums must land in the low byte of the bitmap");
inline std::uint64_t zigzag_bitmap(uint8x16x4_t m, const Constants&) {
  static constexpr std::uint8_t weight_bytes[8] = {128, 64, 32, 16, 8, 4, 2, 1};
  const uint8x8_t weights = vld1_u8(weight_bytes);
  const uint8x8x4_t first = {{vget_low_u8(m.val[0]), vget_high_u8(m.val[0]), vget_low_u8(m.val[1]),
                              vget_high_u8(m.val[1])}};
  const uint8x8x4_t second = {{vget_low_u8(m.val[2]), vget_high_u8(m.val[2]), vget_low_u8(m.val[3]),
                               vget_high_u8(m.val[3])}};
  uint8x8_t z[8];
  for (int g = 0; g < 8; ++g) {
    const uint8x8_t index = vld1_u8(zz_bytes.data() + 8 * g);
    // An index of 32 or more finds nothing in the first half, and one below
    // 32 wraps past the end of the second, keeping what the first found.
    const uint8x8_t found = vtbx4_u8(vtbl4_u8(first, index), second, vsub_u8(index, vdup_n_u8(32)));
    z[g] = vand_u8(found, weights);
  }
  const uint8x8_t s = vpadd_u8(vpadd_u8(vpadd_u8(z[0], z[1]), vpadd_u8(z[2], z[3])),
                               vpadd_u8(vpadd_u8(z[4], z[5]), vpadd_u8(z[6], z[7])));
  return __builtin_bswap64(vget_lane_u64(vreinterpret_u64_u8(s), 0));
}
#endif

// Stores the rows v[0] ... v[7], first quantized with the reciprocals qu16
// unless that is null, and their bitmap.
__attribute__((always_inline)) inline void store(const Constants& k, const int16x8_t* v,
                                                 const std::int16_t* qu16, Coefficients& out) {
  uint8x16x4_t marks;  // 0xFF for each nonzero coefficient
  int16x8_t q[2];
  for (int r = 0; r < 8; ++r) {
    q[r % 2] = qu16 == nullptr ? v[r] : vrshrq_n_s16(vqdmulhq_s16(v[r], vld1q_s16(qu16 + 8 * r)), 1);
    vst1q_s16(out.value + 8 * r, q[r % 2]);
    if (r % 2 == 1) {
      // The low byte of each lane, two rows to a register.
      marks.val[r / 2] = vcombine_u8(vmovn_u16(vtstq_s16(q[0], q[0])), vmovn_u16(vtstq_s16(q[1], q[1])));
    }
  }
  out.zigzag = zigzag_bitmap(marks, k);
}

// Level shift, transform and quantization of the block at p, and its
// nonzero bitmap.
__attribute__((always_inline)) inline void transform(const Constants& m, const std::uint8_t* p,
                                                     std::size_t stride, const std::int16_t* qu16,
                                                     Coefficients& out) {
  int16x8_t t[8], x[8], y[8];
#if defined(__aarch64__)
  {
    // The block in four registers, rows i and i + 4 in each (one load and one
    // lane load), transposed as bytes in three rounds of two-register
    // shuffles: column j (rows in the lanes) in the low half and column
    // 3 - j in the high half of lo[j], columns 7 - j and 4 + j likewise in
    // hi[j] (j < 2), so that the row pass's first sums and differences pair
    // their halves.
    uint8x16_t q[4];
    const std::uint8_t* upper = p;
    const std::uint8_t* lower = p + 4 * stride;
    // Loads that step their pointers by the stride, which the compiler does
    // not make of intrinsics.
    asm("ld1 {%0.8b}, [%4], %6\n\t"
        "ld1 {%0.d}[1], [%5], %6\n\t"
        "ld1 {%1.8b}, [%4], %6\n\t"
        "ld1 {%1.d}[1], [%5], %6\n\t"
        "ld1 {%2.8b}, [%4], %6\n\t"
        "ld1 {%2.d}[1], [%5], %6\n\t"
        "ld1 {%3.8b}, [%4], %6\n\t"
        "ld1 {%3.d}[1], [%5], %6"
        : "=&w"(q[0]), "=&w"(q[1]), "=&w"(q[2]), "=&w"(q[3]), "+r"(upper), "+r"(lower)
        : "r"(stride)
        : "memory");
    // Byte pairs of rows 0, 1 (2, 3) and 16-bit pairs of those: columns 0
    // and 4 (b[0]), 2 and 6 (b[1]), 1 and 5 (b[2]), 3 and 7 (b[3]), as
    // 32-bit groups of rows 0 to 3 in the low half and 4 to 7 in the high.
    const uint8x16x2_t a0 = vtrnq_u8(q[0], q[1]), a1 = vtrnq_u8(q[2], q[3]);
    auto trn16 = [](uint8x16_t u, uint8x16_t v) {
      return vtrnq_u16(vreinterpretq_u16_u8(u), vreinterpretq_u16_u8(v));
    };
    const uint16x8x2_t b02 = trn16(a0.val[0], a1.val[0]), b13 = trn16(a0.val[1], a1.val[1]);
    const uint32x4_t b0 = vreinterpretq_u32_u16(b02.val[0]), b1 = vreinterpretq_u32_u16(b02.val[1]);
    const uint32x4_t b2 = vreinterpretq_u32_u16(b13.val[0]), b3 = vreinterpretq_u32_u16(b13.val[1]);
    const uint8x16_t lo0 = vreinterpretq_u8_u32(vuzp1q_u32(b0, b3)), hi0 = vreinterpretq_u8_u32(vuzp2q_u32(b3, b0));
    const uint8x16_t lo1 = vreinterpretq_u8_u32(vuzp1q_u32(b2, b1)), hi1 = vreinterpretq_u8_u32(vuzp2q_u32(b1, b2));
    // Row pass, its first sums and differences widening the samples to 16
    // bits (a difference wraps to its true negative value).
    t[0] = vreinterpretq_s16_u16(vaddl_u8(vget_low_u8(lo0), vget_low_u8(hi0)));
    t[7] = vreinterpretq_s16_u16(vsubl_u8(vget_low_u8(lo0), vget_low_u8(hi0)));
    t[3] = vreinterpretq_s16_u16(vaddl_high_u8(lo0, hi0));
    t[4] = vreinterpretq_s16_u16(vsubl_high_u8(lo0, hi0));
    t[1] = vreinterpretq_s16_u16(vaddl_u8(vget_low_u8(lo1), vget_low_u8(hi1)));
    t[6] = vreinterpretq_s16_u16(vsubl_u8(vget_low_u8(lo1), vget_low_u8(hi1)));
    t[2] = vreinterpretq_s16_u16(vaddl_high_u8(lo1, hi1));
    t[5] = vreinterpretq_s16_u16(vsubl_high_u8(lo1, hi1));
  }
#else
  {
    // The samples, transposed as bytes: c[j] is column j, rows in the lanes.
    uint8x8_t c[8];
    uint8x8_t r[8];
    for (std::size_t i = 0; i < 8; ++i) r[i] = vld1_u8(p + stride * i);
    uint8x8x2_t a[4];
    for (int i = 0; i < 4; ++i) a[i] = vtrn_u8(r[2 * i], r[2 * i + 1]);
    auto trn16 = [](uint8x8_t u, uint8x8_t v) {
      return vtrn_u16(vreinterpret_u16_u8(u), vreinterpret_u16_u8(v));
    };
    // Columns 0 and 4, 2 and 6, 1 and 5, 3 and 7, of rows 0 to 3 (b) and
    // 4 to 7 (d), two rows to each 16-bit lane.
    const uint16x4x2_t b0 = trn16(a[0].val[0], a[1].val[0]), b1 = trn16(a[0].val[1], a[1].val[1]);
    const uint16x4x2_t d0 = trn16(a[2].val[0], a[3].val[0]), d1 = trn16(a[2].val[1], a[3].val[1]);
    auto trn32 = [](uint16x4_t u, uint16x4_t v) {
      return vtrn_u32(vreinterpret_u32_u16(u), vreinterpret_u32_u16(v));
    };
    const uint32x2x2_t e0 = trn32(b0.val[0], d0.val[0]), e2 = trn32(b0.val[1], d0.val[1]);
    const uint32x2x2_t e1 = trn32(b1.val[0], d1.val[0]), e3 = trn32(b1.val[1], d1.val[1]);
    c[0] = vreinterpret_u8_u32(e0.val[0]);
    c[4] = vreinterpret_u8_u32(e0.val[1]);
    c[2] = vreinterpret_u8_u32(e2.val[0]);
    c[6] = vreinterpret_u8_u32(e2.val[1]);
    c[1] = vreinterpret_u8_u32(e1.val[0]);
    c[5] = vreinterpret_u8_u32(e1.val[1]);
    c[3] = vreinterpret_u8_u32(e3.val[0]);
    c[7] = vreinterpret_u8_u32(e3.val[1]);
    // Row pass, its first sums and differences widening the samples to 16
    // bits (a difference wraps to its true negative value).
    for (int i = 0; i < 4; ++i) {
      t[i] = vreinterpretq_s16_u16(vaddl_u8(c[i], c[7 - i]));
      t[7 - i] = vreinterpretq_s16_u16(vsubl_u8(c[i], c[7 - i]));
    }
  }
#endif
  pass(m, t, x);  // x[c]: column c of the transformed rows, rows in the lanes
  // The level shift (-128 on every sample) changes only each row's sum,
  // output 0, by 8 * 128: the other outputs see only differences.
  x[0] = vsubq_s16(x[0], vdupq_n_s16(8 * 128));
  transpose(x, y);  // y[r]: row r, frequencies in the lanes
  for (int i = 0; i < 4; ++i) {
    t[i] = vaddq_s16(y[i], y[7 - i]);
    t[7 - i] = vsubq_s16(y[i], y[7 - i]);
  }
  pass(m, t, y);

  store(m, y, qu16, out);
}

// The value bits (v, or v - 1 when negative, in the low size bits) of every
// value size_by_value covers, indexed likewise.
constexpr std::array<std::uint16_t, 4096> make_bits_by_value() {
  std::array<std::uint16_t, 4096> t{};
  for (int i = 0; i < 4096; ++i) {
    const int v = i - 2048;
    const unsigned size = size_by_value[static_cast<std::size_t>(i)];
    t[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(static_cast<unsigned>(v < 0 ? v - 1 : v) & ((1u << size) - 1u));
  }
  return t;
}
constexpr auto bits_by_value = make_bits_by_value();
static_assert(bits_by_value[2049] == 1 && bits_by_value[2047] == 0 && bits_by_value[2048 - 5] == 2 &&
              bits_by_value[4095] == 2047 && bits_by_value[1] == 0);

// Where the tables above hold v's entries, as an offset from their middle:
// v's low 12 bits as a signed number (one sbfx), any v landing inside them.
inline std::ptrdiff_t value_key(std::int32_t v) {
  return static_cast<std::ptrdiff_t>(static_cast<std::int64_t>(static_cast<std::uint64_t>(v) << 52) >> 52);
}

// The coder's bit writer: the word writer of bitpack.hpp, which finds a
// full word by testing bit 5 of the count (one test-and-branch), as the count
// stays below 64.
struct Writer {
  std::uint64_t acc;  // the pending bits at its low end
  unsigned bits;      // how many: below 32 between codes
  std::uint8_t* out;
};
inline Writer load_writer(const CoderState& s) {
  Writer w;
  load_state(s, w.acc, w.bits, w.out);
  return w;
}
inline void store_writer(CoderState& s, const Writer& w) { store_state_word(s, w.acc, w.bits, w.out); }
inline void put(Writer& w, std::uint32_t code, unsigned length) {
  w.acc = (w.acc << length) | code;  // length <= 27, so at most 58 bits are live
  w.bits += length;
  if ((w.bits & 32) != 0) {
    w.bits -= 32;
    put_word(w.out, static_cast<std::uint32_t>(w.acc >> w.bits));
  }
}

// The value tables addressed from their middle, through pointers the
// compiler cannot see into, so that it indexes them with the signed key
// itself instead of adding 2048 to it.
struct ValueTables {
  const std::uint8_t* size;
  const std::uint16_t* bits;
};
inline ValueTables value_tables() {
  ValueTables t{size_by_value.data() + 2048, bits_by_value.data() + 2048};
  asm("" : "+r"(t.size), "+r"(t.bits));
  return t;
}

// The code of every run of fewer than 16 zeros followed by a value v with
// |v| <= 16 (v = -16 included), most of the coefficients a block has, at
// run * 32 + v + 16: the code of their symbol with v's bits below it,
// shifted left by 8, and its length in the low byte; EOB's at 16 (where
// v = 0 would be), 0 for the other v = 0.
using ShortCodes = std::array<std::uint64_t, 16 * 32>;
constexpr ShortCodes make_short_codes(const CodeTable& ac) {
  ShortCodes t{};
  for (int run = 0; run < 16; ++run) {
    for (int v = -16; v < 16; ++v) {
      if (v == 0) continue;
      const auto i = static_cast<std::size_t>(v + 2048);
      const auto symbol = static_cast<std::size_t>(run * 16 + size_by_value[i]);
      const std::uint64_t code = ac.prefix[symbol] | bits_by_value[i];
      t[static_cast<std::size_t>(run * 32 + v + 16)] = code << 8 | ac.length[symbol];
    }
  }
  t[16] = std::uint64_t{ac.prefix[0]} << 8 | ac.length[0];
  return t;
}
constexpr ShortCodes luma_short = make_short_codes(luma_ac), chroma_short = make_short_codes(chroma_ac);
// Each entry: the code and value bits above 8 bits of their length.
static_assert(luma_short[16 + 1] == (0b001u << 8 | 3u), "run 0, value 1: code 00, then bit 1");
static_assert(luma_short[32 + 16 - 1] == (0b11000u << 8 | 5u), "run 1, value -1: code 1100, bit 0");
static_assert(chroma_short[16 + 1] == (0b011u << 8 | 3u), "run 0, value 1: code 01, then bit 1");
static_assert(luma_short[16] == (0b1010u << 8 | 4u) && chroma_short[16] == 2u, "EOB: 1010, and 00");

// The short codes of an AC table, or null for a table other than the two.
inline const std::uint64_t* short_codes(const CodeTable* ac) {
  return ac == &luma_ac ? luma_short.data() : ac == &chroma_ac ? chroma_short.data() : nullptr;
}

// The DC code of every difference value_key covers, indexed likewise: the
// code of its size with the value's bits below it, shifted left by 8, and
// its length (at most 11 + 11 bits) in the low byte, as put_short takes it.
using DcCodes = std::array<std::uint32_t, 4096>;
constexpr DcCodes make_dc_codes(const CodeTable& dc) {
  DcCodes t{};
  for (std::size_t i = 0; i < 4096; ++i) {
    const unsigned size = size_by_value[i];
    t[i] = static_cast<std::uint32_t>(dc.prefix[size] | bits_by_value[i]) << 8 | dc.length[size];
  }
  return t;
}
constexpr DcCodes luma_dc_codes = make_dc_codes(luma_dc), chroma_dc_codes = make_dc_codes(chroma_dc);
static_assert(luma_dc_codes[2048] == 2u, "0: the code of size 0, 00");
static_assert(luma_dc_codes[2048 - 1] == (0b0100u << 8 | 4u), "-1: code 010, bit 0");
static_assert(chroma_dc_codes[2048 + 1] == (0b011u << 8 | 3u), "1: code 01, bit 1");

// The DC codes of a DC table, from their middle (hidden from the compiler
// as in value_tables), or null for a table other than the two.
inline const std::uint32_t* dc_codes(const CodeTable* dc) {
  const std::uint32_t* t = dc == &luma_dc     ? luma_dc_codes.data() + 2048
                           : dc == &chroma_dc ? chroma_dc_codes.data() + 2048
                                              : nullptr;
  asm("" : "+r"(t));
  return t;
}

// The AC coefficients of a block, from the bitmap z (bit 63 - j for zigzag
// position 1 + j) into the writer, then EOB unless the last was nonzero;
// runs of 16 zeros or more are looked for only when the block has one
// (long_runs), or, with short codes (code_ac_short), only where a code is
// not among them.
template <bool long_runs>
inline void code_ac(const CodeTable& ac, const ValueTables& t, const Coefficients& c, std::uint64_t z, Writer& w) {
  unsigned k = 0;  // zigzag position of the coefficient sent last
  while (z != 0) {
    auto run = static_cast<unsigned>(std::countl_zero(z));
    k += run + 1;
    // Bit 0 of z is never set, so run <= 62 and the shift is below 64.
    z <<= (run + 1) & 63;
    if constexpr (long_runs) {
      while (run >= 16) {  // ZRL: sixteen zeros
        put(w, ac.prefix[0xF0], ac.length[0xF0]);
        run -= 16;
      }
    }
    const std::ptrdiff_t v = value_key(c.value[zz[k]]);
    const unsigned symbol = run * 16 + t.size[v];
    put(w, ac.prefix.data()[symbol] | t.bits[v], ac.length.data()[symbol]);
  }
  if (k != 63) put(w, ac.prefix[0], ac.length[0]);  // EOB
}
// Puts a short code's entry.
inline void put_short(Writer& w, std::uint64_t e) {
  w.acc = (w.acc << (e & 63)) | e >> 8;  // a length of at most 22 bits
  w.bits += static_cast<unsigned>(e & 255);
  if ((w.bits & 32) != 0) {
    w.bits -= 32;
    put_word(w.out, static_cast<std::uint32_t>(w.acc >> w.bits));
  }
}
inline void code_ac_short(const CodeTable& ac, const std::uint64_t* short_codes, const ValueTables& t,
                          const Coefficients& c, std::uint64_t z, Writer& w) {
  unsigned k = 0;
  while (z != 0) {
    auto run = static_cast<unsigned>(std::countl_zero(z));
    k += run + 1;
    z <<= (run + 1) & 63;
    const std::int32_t value = c.value[zz[k]];
    const auto u = static_cast<std::uint32_t>(value + 16);
    if (u < 32 && run < 16) {
      put_short(w, short_codes[run * 32 + u]);
      continue;
    }
    for (unsigned n = run >> 4; n != 0; --n) put(w, ac.prefix[0xF0], ac.length[0xF0]);  // ZRL: sixteen zeros
    const std::ptrdiff_t v = value_key(value);
    const unsigned symbol = (run & 15) * 16 + t.size[v];
    put(w, ac.prefix.data()[symbol] | t.bits[v], ac.length.data()[symbol]);
  }
  if (k != 63) put_short(w, short_codes[16]);  // EOB
}

// One block into the writer: DC, the nonzero AC coefficients in zigzag
// order, EOB. short_codes, dc: those of comp's AC and DC tables (with_short),
// or none.
template <bool with_short>
__attribute__((always_inline)) inline void code_into(const Component& comp, const std::uint64_t* short_codes,
                                                     const std::uint32_t* dc, const Coefficients& c,
                                                     const ValueTables& t, std::int32_t& last_dc, Writer& w) {
  const std::ptrdiff_t d = value_key(c.value[0] - last_dc);
  last_dc = c.value[0];
  if constexpr (with_short) {
    put_short(w, dc[d]);
  } else {
    const unsigned n = t.size[d];
    put(w, comp.dc->prefix[n] | t.bits[d], comp.dc->length[n]);
  }

  const std::uint64_t z = c.zigzag << 1;
  if constexpr (with_short) {
    code_ac_short(*comp.ac, short_codes, t, c, z, w);
    return;
  }
  // A run of 16 zeros or more ends at a nonzero coefficient (bit b of z)
  // with bits b + 1 to b + 16 clear; near enough to the top (b >= 48) the
  // DC bounds the run.
  std::uint64_t near = z;  // bit b: one of bits b to b + 15 of z is set
  near |= near >> 1;
  near |= near >> 2;
  near |= near >> 4;
  near |= near >> 8;
  if ((z & ~(near >> 1) & 0x0000FFFFFFFFFFFFu) != 0) {
    code_ac<true>(*comp.ac, t, c, z, w);
  } else {
    code_ac<false>(*comp.ac, t, c, z, w);
  }
}

template <bool with_short>
void code_blocks_with(CoderState& s, const Component& comp, const std::uint64_t* shorts, const std::uint32_t* dc,
                      const std::uint8_t* p, std::size_t stride, int count) {
  const std::int16_t* const qu16 = comp.quant->qu16.data();
  Writer w = load_writer(s);
  const ValueTables t = value_tables();
  const Constants m = constants();
  std::int32_t last_dc = s.lastDC[comp.index];
  Coefficients c;
  for (int i = 0; i < count; ++i) {
    transform(m, p + 8 * i, stride, qu16, c);
    code_into<with_short>(comp, shorts, dc, c, t, last_dc, w);
  }
  s.lastDC[comp.index] = last_dc;
  store_writer(s, w);
}

void code_blocks_neon(CoderState& s, const Component& comp, const std::uint8_t* p, std::size_t stride,
                      int count) {
  const std::uint64_t* const shorts = short_codes(comp.ac);
  const std::uint32_t* const dc = dc_codes(comp.dc);
  if (shorts != nullptr && dc != nullptr) {
    code_blocks_with<true>(s, comp, shorts, dc, p, stride, count);
  } else {
    code_blocks_with<false>(s, comp, nullptr, nullptr, p, stride, count);
  }
}

// Blocks of several components in turn (CodeMixedFn): each block with its
// component's quantizer, tables and prediction, the bits kept in the
// accumulator throughout.
void code_mixed_neon(CoderState& s, const Component* comps, const std::uint8_t* pattern, int period,
                     const std::uint8_t* p, std::size_t stride, int count) {
  Writer w = load_writer(s);
  const ValueTables t = value_tables();
  const Constants m = constants();
  std::int32_t last_dc[3];
  for (int k = 0; k < 3; ++k) last_dc[k] = s.lastDC[comps[k].index];
  Coefficients c;
  for (int i = 0, phase = 0; i < count; ++i, phase = phase + 1 == period ? 0 : phase + 1) {
    const int k = pattern[phase];
    transform(m, p + 8 * i, stride, comps[k].quant->qu16.data(), c);
    code_into<false>(comps[k], nullptr, nullptr, c, t, last_dc[k], w);
  }
  for (int k = 0; k < 3; ++k) s.lastDC[comps[k].index] = last_dc[k];
  store_writer(s, w);
}

// 4:2:0 MCUs with the AC tables' short codes (with_short) or without.
template <bool with_short>
int code_420_with(CoderState& s, const Component* comps, const std::uint8_t* y, std::size_t y_stride,
                  const std::uint8_t* cb, const std::uint8_t* cr, std::size_t c_stride, int count,
                  const std::uint8_t* limit) {
  Writer w = load_writer(s);
  const ValueTables t = value_tables();
  const Constants k = constants();
  const std::uint64_t* const luma_codes = short_codes(comps[0].ac);
  const std::uint64_t* const chroma_codes = short_codes(comps[1].ac);
  const std::uint32_t* const luma_dc_table = dc_codes(comps[0].dc);
  const std::uint32_t* const chroma_dc_table = dc_codes(comps[1].dc);
  std::int32_t dc_y = s.lastDC[comps[0].index], dc_cb = s.lastDC[comps[1].index],
               dc_cr = s.lastDC[comps[2].index];
  const Component luma = comps[0], chroma = comps[1];
  const std::int16_t* const luma_q = luma.quant->qu16.data();
  const std::int16_t* const chroma_q = chroma.quant->qu16.data();
  const std::uint8_t* const y_lower = y + 8 * y_stride;
  Coefficients c;
  int m = 0;
  for (; m < count; ++m) {
    if (limit - w.out < static_cast<std::ptrdiff_t>(6 * max_block_bytes)) break;
    const std::uint8_t* const blocks[4] = {y + 16 * m, y + 16 * m + 8, y_lower + 16 * m, y_lower + 16 * m + 8};
    for (const std::uint8_t* p : blocks) {
      transform(k, p, y_stride, luma_q, c);
      code_into<with_short>(luma, luma_codes, luma_dc_table, c, t, dc_y, w);
    }
    transform(k, cb + 8 * m, c_stride, chroma_q, c);
    code_into<with_short>(chroma, chroma_codes, chroma_dc_table, c, t, dc_cb, w);
    transform(k, cr + 8 * m, c_stride, chroma_q, c);
    code_into<with_short>(chroma, chroma_codes, chroma_dc_table, c, t, dc_cr, w);
  }
  s.lastDC[comps[0].index] = dc_y;
  s.lastDC[comps[1].index] = dc_cb;
  s.lastDC[comps[2].index] = dc_cr;
  store_writer(s, w);
  return m;
}

// 4:2:0 MCUs straight from their planes (Code420Fn): each MCU's four Y
// blocks, then its Cb and Cr blocks, while the buffer has room for an MCU.
// s is coded into through the chosen instance, which cppcheck does not follow.
// cppcheck-suppress constParameter
int code_420_neon(CoderState& s, const Component* comps, const std::uint8_t* y, std::size_t y_stride,
                  const std::uint8_t* cb, const std::uint8_t* cr, std::size_t c_stride, int count,
                  const std::uint8_t* limit) {
  const bool shorts = short_codes(comps[0].ac) != nullptr && short_codes(comps[1].ac) != nullptr &&
                      dc_codes(comps[0].dc) != nullptr && dc_codes(comps[1].dc) != nullptr;
  return (shorts ? code_420_with<true> : code_420_with<false>)(s, comps, y, y_stride, cb, cr, c_stride, count,
                                                               limit);
}

// The NEON kernel with the interface of the others (DctQuantFn).
std::uint64_t dct_quant_neon(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                             std::int32_t* block, std::uint32_t* codes) {
  Coefficients c;
  transform(constants(), p, stride, q.qu16.data(), c);
  std::uint64_t nonzero = 0;
  for (int k = 0; k < 64; ++k) nonzero |= (c.zigzag >> (63 - k) & 1) << zz[k];
  for (int i = 0; i < 64; ++i) {
    block[i] = c.value[i];
    codes[i] = value_code(block[i]);
  }
  return nonzero;
}

}  // namespace

const CodePath neon_path = {"neon", cpu_neon, true, dct_quant_neon, code_blocks_neon, &neon_colour, code_mixed_neon,
                             code_420_neon};

void code_block_neon(CoderState& s, const Component& comp, const std::int16_t* coef) {
  int16x8_t v[8];
  for (int r = 0; r < 8; ++r) v[r] = vld1q_s16(coef + 8 * r);
  Coefficients c;
  store(constants(), v, nullptr, c);
  Writer w = load_writer(s);
  const ValueTables t = value_tables();
  const std::uint64_t* const shorts = short_codes(comp.ac);
  const std::uint32_t* const dc = dc_codes(comp.dc);
  if (shorts != nullptr && dc != nullptr) {
    code_into<true>(comp, shorts, dc, c, t, s.lastDC[comp.index], w);
  } else {
    code_into<false>(comp, nullptr, nullptr, c, t, s.lastDC[comp.index], w);
  }
  store_writer(s, w);
}
