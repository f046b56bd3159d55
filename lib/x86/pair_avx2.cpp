// The fastest path: transform and quantization of two horizontally adjacent
// blocks at once on 16 x 16-bit lanes (AVX2), and a block coder that uses
// the bit-manipulation instructions of the same CPUs (BMI1, BMI2). In the
// vectors, the low 128 bits belong to the left block and the high 128 bits
// to the right one.
//
// The file is built with -mavx2 -mbmi -mbmi2, and its kernels run only once
// the CPU has been checked (paths.cpp). Everything but the kernels is its
// own (anonymous namespace), and it calls no shared inline function or
// template, so that no copy built for these instruction sets can stand in
// for the portable code's.
//
// Every intermediate value of the transform fits in 16 bits for 8-bit
// samples (row pass outputs stay within +-1300, column pass values within
// +-13000), and each rounded product is formed exactly:
//   (a * 181 + 128) >> 8      as pmulhrsw(a, 181 * 128), whose
//                             (a * b + 2^14) >> 15 is the same quotient;
//   (a * k1 + b * k2 + c * k3 + 128) >> 8
//                             as two pmaddwd into 32 bits, one of them
//                             pairing c with the constant 1 to add the 128;
//   (v * qu + 32768) >> 16    as mulhi(v, qu) + (mullo(v, qu) >> 15, unsigned),
//                             the high half of the 32-bit product plus the
//                             carry of adding 2^15 to its low half.
// So the results equal the 32-bit definition bit for bit. The 16-bit
// quantization needs every reciprocal below 2^15 (QuantTables::fits16).
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "bitpack.hpp"
#include "coder.hpp"
#include "tables.hpp"
#include "x86/kernels.hpp"

namespace {

inline __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
inline __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
inline __m256i pair16(std::int16_t lo, std::int16_t hi) {
  return _mm256_set1_epi32(static_cast<std::int32_t>(static_cast<std::uint16_t>(lo) |
                                                     static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16));
}

// (o10 * k10 + o12 * k12 + o11 * k11 + 128) >> 8, from the interleaved pairs
// (o10, o12) and (o11, 1) of the low and high halves of each 128-bit lane.
inline __m256i odd_term(__m256i lo1012, __m256i hi1012, __m256i lo11, __m256i hi11, __m256i k1012,
                        __m256i k11) {
  const __m256i lo = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(lo1012, k1012), _mm256_madd_epi16(lo11, k11)), 8);
  const __m256i hi = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(hi1012, k1012), _mm256_madd_epi16(hi11, k11)), 8);
  return _mm256_packs_epi32(lo, hi);
}

// One pass of the 1-D transform over x[0] ... x[7], every lane separate.
inline void pass(__m256i* x) {
  const __m256i t0 = add(x[0], x[7]), t7 = sub(x[0], x[7]);
  const __m256i t1 = add(x[1], x[6]), t6 = sub(x[1], x[6]);
  const __m256i t2 = add(x[2], x[5]), t5 = sub(x[2], x[5]);
  const __m256i t3 = add(x[3], x[4]), t4 = sub(x[3], x[4]);

  // Even part: y2 = e13 + ((z1 + 128) >> 8), y6 = e13 + ((128 - z1) >> 8)
  // with z1 = (e12 + e13) * 181.
  const __m256i e10 = add(t0, t3), e13 = sub(t0, t3);
  const __m256i e11 = add(t1, t2), e12 = sub(t1, t2);
  const __m256i c181 = _mm256_set1_epi16(181 * 128);
  const __m256i s = add(e12, e13);
  x[0] = add(e10, e11);
  x[4] = sub(e10, e11);
  x[2] = add(e13, _mm256_mulhrs_epi16(s, c181));
  x[6] = add(e13, _mm256_mulhrs_epi16(sub(_mm256_setzero_si256(), s), c181));

  // Odd part: with z2 = 237 o10 - 98 o12, z4 = 98 o10 + 236 o12, z3 = 181 o11,
  // y5 = t7 + ((z2 - z3 + 128) >> 8), y3 = t7 + ((-z2 - z3 + 128) >> 8),
  // y1 = t7 + ((z4 + z3 + 128) >> 8), y7 = t7 + ((-z4 + z3 + 128) >> 8).
  const __m256i o10 = add(t4, t5), o11 = add(t5, t6), o12 = add(t6, t7);
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i lo1012 = _mm256_unpacklo_epi16(o10, o12), hi1012 = _mm256_unpackhi_epi16(o10, o12);
  const __m256i lo11 = _mm256_unpacklo_epi16(o11, one), hi11 = _mm256_unpackhi_epi16(o11, one);
  const __m256i plus_z3 = pair16(181, 128), minus_z3 = pair16(-181, 128);
  x[5] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(237, -98), minus_z3));
  x[3] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(-237, 98), minus_z3));
  x[1] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(98, 236), plus_z3));
  x[7] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(-98, -236), plus_z3));
}

// Transposes the 8 x 8 16-bit matrix in each 128-bit lane.
inline void transpose(const __m256i* in, __m256i* out) {
  __m256i t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_epi16(in[2 * i], in[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_epi16(in[2 * i], in[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    u[4 * i + 0] = _mm256_unpacklo_epi32(t[4 * i + 0], t[4 * i + 2]);
    u[4 * i + 1] = _mm256_unpackhi_epi32(t[4 * i + 0], t[4 * i + 2]);
    u[4 * i + 2] = _mm256_unpacklo_epi32(t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm256_unpackhi_epi32(t[4 * i + 1], t[4 * i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = _mm256_unpacklo_epi64(u[i], u[i + 4]);
    out[2 * i + 1] = _mm256_unpackhi_epi64(u[i], u[i + 4]);
  }
}

// rows[r]: row r of the left block in the low lane, of the right block in
// the high lane, as 16-bit samples 0 to 255.
inline void transform(__m256i* rows, const std::int16_t* qu16x2, std::int16_t* coef,
                                  std::uint64_t* nonzero) {
  __m256i x[8];
  transpose(rows, x);  // x[c]: column c, rows in the lanes
  pass(x);
  // The level shift (-128 on every sample) changes only each row's sum,
  // output 0, by 8 * 128: the other outputs see only differences.
  x[0] = sub(x[0], _mm256_set1_epi16(8 * 128));
  __m256i y[8];
  transpose(x, y);  // y[r]: row r, frequencies in the lanes
  pass(y);

  __m256i zeros[4];
  for (int r = 0; r < 8; ++r) {
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qu16x2 + 16 * r));
    y[r] = _mm256_add_epi16(_mm256_mulhi_epi16(y[r], q), _mm256_srli_epi16(_mm256_mullo_epi16(y[r], q), 15));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(coef + 16 * r), y[r]);
  }
  // Nonzero bitmaps: two rows to 16 bytes per block (saturation keeps
  // nonzero values nonzero), compared with zero.
  std::uint64_t zl = 0, zr = 0;
  for (int i = 0; i < 4; ++i) {
    zeros[i] = _mm256_cmpeq_epi8(_mm256_packs_epi16(y[2 * i], y[2 * i + 1]), _mm256_setzero_si256());
    const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(zeros[i]));
    zl |= static_cast<std::uint64_t>(m & 0xFFFF) << (16 * i);
    zr |= static_cast<std::uint64_t>(m >> 16) << (16 * i);
  }
  nonzero[0] = ~zl;
  nonzero[1] = ~zr;
}

}  // namespace

void dct_quant_pair_avx2(const std::uint8_t* p, std::size_t stride, const std::int16_t* qu16x2,
                                     std::int16_t* coef, std::uint64_t* nonzero) {
  __m256i rows[8];
  for (std::size_t r = 0; r < 8; ++r) {
    rows[r] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + stride * r)));
  }
  transform(rows, qu16x2, coef, nonzero);
}

namespace {

// The same for the single block at p (the right half of coef and nonzero[1]
// are then meaningless); reads only the block's own 8 x 8 samples.
void dct_quant_one_avx2(const std::uint8_t* p, std::size_t stride, const std::int16_t* qu16x2,
                        std::int16_t* coef, std::uint64_t* nonzero) {
  __m256i rows[8];
  for (std::size_t r = 0; r < 8; ++r) {
    rows[r] = _mm256_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride * r)));
  }
  transform(rows, qu16x2, coef, nonzero);
}

// The same for the block at a (left) and the one at b (right), each read
// on its own.
void dct_quant_two_avx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t stride,
                        const std::int16_t* qu16x2, std::int16_t* coef, std::uint64_t* nonzero) {
  __m256i rows[8];
  for (std::size_t r = 0; r < 8; ++r) {
    rows[r] = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + stride * r)),
                                                      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + stride * r))));
  }
  transform(rows, qu16x2, coef, nonzero);
}

// For coefficients stored 16 to a row (coef[16 r + c]): zz16[k] is the
// position of the k-th coefficient in zigzag order.
constexpr std::array<std::uint8_t, 64> make_zz16() {
  std::array<std::uint8_t, 64> t{};
  for (std::size_t k = 0; k < 64; ++k) t[k] = static_cast<std::uint8_t>(zz[k] / 8 * 16 + zz[k] % 8);
  return t;
}
constexpr auto zz16 = make_zz16();

// Size of v from the shared table (bitpack.hpp).
inline std::uint32_t size_of(std::int32_t v) {
  return size_by_value[static_cast<std::uint32_t>(v + 2048) & 4095];
}

// Value bits: v, or v - 1 when negative, in the low size bits.
inline std::uint32_t value_bits(std::int32_t v, std::uint32_t size) {
  return _bzhi_u32(static_cast<std::uint32_t>(v + (v >> 31)), size);
}

// One block of 16-bit coefficients into the accumulator: DC, the nonzero AC
// coefficients in zigzag order, EOB.
inline void code_into16(const Component& c, const std::int16_t* coef, std::uint64_t nonzero,
                        std::int32_t& last_dc, std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  const CodeTable& ac = *c.ac;
  const std::int32_t d = coef[0] - last_dc;
  last_dc = coef[0];
  const std::uint32_t n = size_of(d);
  put_bits(acc, bits, out, c.dc->prefix[n] | value_bits(d, n), c.dc->length[n]);

  // The nonzero AC coefficients by their zigzag bits, cleared one by one
  // (blsr: the loop carries a one-cycle step); the zero run is the distance
  // to the coefficient sent last.
  std::uint64_t z = to_zigzag(nonzero) & ~std::uint64_t{1};
  unsigned next = 1;  // the position after the coefficient sent last
  while (z != 0) {
    const auto at = static_cast<unsigned>(__builtin_ctzll(z));
    z &= z - 1;
    unsigned run = at - next;
    next = at + 1;
    while (run >= 16) {  // ZRL: sixteen zeros
      put_bits(acc, bits, out, ac.prefix[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    const std::int32_t v = coef[zz16[at]];
    const std::uint32_t size = size_of(v);
    const unsigned i = run * 16 + size;
    put_bits(acc, bits, out, ac.prefix[i] | value_bits(v, size), ac.length[i]);
  }
  if (next != 64) put_bits(acc, bits, out, ac.prefix[0], ac.length[0]);  // EOB
}

// stuff() for the bytes of a few blocks, looking for 0xFF 32 bytes at a
// time (a load may reach 31 bytes past them, still inside the room the
// buffer keeps for their stuffed zeros).
inline std::uint8_t* stuff_blocks(std::uint8_t* start, std::uint8_t* end) {
  const __m256i ones = _mm256_set1_epi8(-1);
  const auto n = static_cast<std::size_t>(end - start);
  for (std::size_t i = 0; i < n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start + i));
    auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, ones)));
    if (n - i < 32) m = _bzhi_u32(m, static_cast<unsigned>(n - i));
    if (m != 0) return stuff(start + i, end);
  }
  return end;
}

}  // namespace

void code_block16(CoderState& s, const Component& c, const std::int16_t* coef, std::uint64_t nonzero) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::uint8_t* const start = out;
  code_into16(c, coef, nonzero, s.lastDC[c.index], acc, bits, out);
  out = stuff_blocks(start, out);
  store_state(s, acc, bits, out);
}

namespace {

void code_blocks_pair(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride,
                      int count) {
  const std::int16_t* const qu16x2 = c.quant->qu16x2.data();
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc = s.lastDC[c.index];
  // The next pair is transformed before the current one is coded, so that
  // the transform's vector work overlaps the coder's chain of table reads
  // and shifts.
  alignas(32) std::int16_t coef[2][128];
  std::uint64_t nonzero[2][2];
  int i = 0;
  if (count >= 2) dct_quant_pair_avx2(p, stride, qu16x2, coef[0], nonzero[0]);
  for (; i + 2 <= count; i += 2) {
    const int cur = (i >> 1) & 1;
    if (i + 4 <= count) dct_quant_pair_avx2(p + 8 * (i + 2), stride, qu16x2, coef[cur ^ 1], nonzero[cur ^ 1]);
    std::uint8_t* const start = out;
    code_into16(c, coef[cur], nonzero[cur][0], last_dc, acc, bits, out);
    code_into16(c, coef[cur] + 8, nonzero[cur][1], last_dc, acc, bits, out);
    out = stuff_blocks(start, out);
  }
  if (i < count) {
    dct_quant_one_avx2(p + 8 * i, stride, qu16x2, coef[0], nonzero[0]);
    std::uint8_t* const start = out;
    code_into16(c, coef[0], nonzero[0][0], last_dc, acc, bits, out);
    out = stuff_blocks(start, out);
  }
  s.lastDC[c.index] = last_dc;
  store_state(s, acc, bits, out);
}

// Blocks of several components in turn (CodeMixedFn): two at a time, each
// pair with its two blocks' reciprocals, each block coded with its
// component's tables and prediction.
void code_mixed_pair(CoderState& s, const Component* comps, const std::uint8_t* pattern, int period,
                     const std::uint8_t* p, std::size_t stride, int count) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc[3];
  for (int k = 0; k < 3; ++k) last_dc[k] = s.lastDC[comps[k].index];
  alignas(32) std::int16_t coef[128];
  alignas(32) std::int16_t q[128];
  std::uint64_t nonzero[2];
  int phase = 0;  // i % period
  for (int i = 0; i < count; i += 2) {
    const int a = pattern[phase], b = pattern[phase + 1 == period ? 0 : phase + 1];
    const std::int16_t* qa = comps[a].quant->qu16.data();
    const std::int16_t* qb = comps[b].quant->qu16.data();
    for (int r = 0; r < 8; ++r) {
      std::memcpy(q + 16 * r, qa + 8 * r, 16);
      std::memcpy(q + 16 * r + 8, qb + 8 * r, 16);
    }
    std::uint8_t* const start = out;
    if (i + 2 <= count) {
      dct_quant_pair_avx2(p + 8 * i, stride, q, coef, nonzero);
      code_into16(comps[a], coef, nonzero[0], last_dc[a], acc, bits, out);
      code_into16(comps[b], coef + 8, nonzero[1], last_dc[b], acc, bits, out);
    } else {
      dct_quant_one_avx2(p + 8 * i, stride, q, coef, nonzero);
      code_into16(comps[a], coef, nonzero[0], last_dc[a], acc, bits, out);
    }
    out = stuff_blocks(start, out);
    phase = (phase + 2) % period;
  }
  for (int k = 0; k < 3; ++k) s.lastDC[comps[k].index] = last_dc[k];
  store_state(s, acc, bits, out);
}

// 4:2:0 MCUs from their planes (Code420Fn): each MCU as three pairs, its
// upper Y blocks, its lower ones, and its Cb and Cr blocks, each pair with
// one quantizer; the next MCU is transformed before the current one is
// coded.
int code_420_pair(CoderState& s, const Component* comps, const std::uint8_t* y, std::size_t y_stride,
                  const std::uint8_t* cb, const std::uint8_t* cr, std::size_t c_stride, int count,
                  const std::uint8_t* limit) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc[3];
  for (int k = 0; k < 3; ++k) last_dc[k] = s.lastDC[comps[k].index];
  const std::int16_t* const luma_q = comps[0].quant->qu16x2.data();
  const std::int16_t* const chroma_q = comps[1].quant->qu16x2.data();
  alignas(32) std::int16_t coef[2][3][128];
  std::uint64_t nonzero[2][3][2];
  auto transform = [&](int m, int to) {
    const std::uint8_t* p = y + 16 * m;
    dct_quant_pair_avx2(p, y_stride, luma_q, coef[to][0], nonzero[to][0]);
    dct_quant_pair_avx2(p + 8 * y_stride, y_stride, luma_q, coef[to][1], nonzero[to][1]);
    dct_quant_two_avx2(cb + 8 * m, cr + 8 * m, c_stride, chroma_q, coef[to][2], nonzero[to][2]);
  };
  if (count > 0) transform(0, 0);
  int m = 0;
  for (; m < count; ++m) {
    if (limit - out < static_cast<std::ptrdiff_t>(6 * max_block_bytes)) break;
    const int cur = m & 1;
    if (m + 1 < count) transform(m + 1, cur ^ 1);
    std::uint8_t* const start = out;
    for (int h = 0; h < 3; ++h) {
      const int k = h < 2 ? 0 : 1;
      code_into16(comps[k], coef[cur][h], nonzero[cur][h][0], last_dc[k], acc, bits, out);
      code_into16(comps[k + (h == 2)], coef[cur][h] + 8, nonzero[cur][h][1], last_dc[k + (h == 2)], acc, bits,
                  out);
    }
    out = stuff_blocks(start, out);
  }
  for (int k = 0; k < 3; ++k) s.lastDC[comps[k].index] = last_dc[k];
  store_state(s, acc, bits, out);
  return m;
}

// The 16-bit kernel with the interface of the others (DctQuantFn).
std::uint64_t dct_quant_pair_as_block(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                                      std::int32_t* block, std::uint32_t* codes) {
  alignas(32) std::int16_t coef[128];
  std::uint64_t nonzero[2];
  dct_quant_one_avx2(p, stride, q.qu16x2.data(), coef, nonzero);
  for (int i = 0; i < 64; ++i) {
    block[i] = coef[i / 8 * 16 + i % 8];
    codes[i] = value_code(block[i]);
  }
  return nonzero[0];
}

}  // namespace

const CodePath avx2_pair_path = {"avx2-pair", cpu_avx2 | cpu_bmi1 | cpu_bmi2, true, dct_quant_pair_as_block, code_blocks_pair, &avx2_colour, code_mixed_pair, code_420_pair};
