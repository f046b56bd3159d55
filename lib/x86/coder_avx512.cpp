// The AVX-512 path: the pair path's transform (two blocks a call on 16-bit
// AVX2 lanes), and a block coder that codes dense blocks on 512-bit vectors
// (AVX-512 F, BW, VL, VBMI, VBMI2) and sparse ones one coefficient at a time.
//
// A dense block, in vectors:
//   - the coefficients into zigzag order (two word permutes from the pair
//     kernel's rows, two more for the order), the nonzero bitmap by a test;
//   - the positions of the DC and of the nonzero AC coefficients compressed
//     into byte lanes (vpcompressb); each zero run is the distance to the
//     previous position, less one;
//   - each size from two 64-entry byte tables (bit lengths of |v| & 63 and of
//     |v| >> 6), compressed the same way;
//   - code and length of each run/size symbol from 256-entry byte tables
//     held in registers (two vpermi2b a table, the top bit of the index
//     choosing the half); the DC's code goes into lane 0, EOB's after the
//     last coefficient;
//   - on 32-bit lanes, each code shifted left by its size with the value
//     bits below; neighbouring codes merged in pairs (at most 2 x 26 bits) on
//     64-bit lanes.
// The merged pairs then go through the branch-free writer, a store per pair.
// A block with a run of 16 zeros or more (ZRL codes) is coded the scalar way,
// as are blocks with few coefficients, where the fixed cost of the vector
// steps outweighs the per-coefficient saving.
//
// The code tables are a parameter: the vector tables are loaded once per
// call from a BlockCodeTables and stay in registers.
//
// Only the functions marked `avx512_code` are built for these instruction
// sets, and they run only once the CPU has been checked (dispatch.cpp).
#include <immintrin.h>

// g++ 12 takes the deliberately undefined vectors inside its own AVX-512
// intrinsics (the unmasked forms pass _mm512_undefined_*() as the merge
// source) for uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <array>
#include <bit>
#include <cstdint>

#include "bitpack.hpp"
#include "coder.hpp"
#include "tables.hpp"
#include "x86/kernels.hpp"

#if BW_HAVE_AVX512

#define avx512_code \
  __attribute__((target("avx2,bmi,bmi2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

namespace {

// Word indices that gather rows 0 to 3 of the left block (side 0) or the
// right one (side 8) from two vectors of the pair kernel's rows, 16 words
// each: the block's coefficients in natural order, 32 at a time.
constexpr std::array<std::uint16_t, 32> make_rows(unsigned side) {
  std::array<std::uint16_t, 32> t{};
  for (unsigned i = 0; i < 32; ++i) t[i] = static_cast<std::uint16_t>(i / 8 * 16 + side + i % 8);
  return t;
}
alignas(64) constexpr auto rows_left = make_rows(0);
alignas(64) constexpr auto rows_right = make_rows(8);

// Natural-order positions of zigzag positions 32 h to 32 h + 31.
constexpr std::array<std::uint16_t, 32> make_zigzag(unsigned h) {
  std::array<std::uint16_t, 32> t{};
  for (unsigned k = 0; k < 32; ++k) t[k] = zz[32 * h + k];
  return t;
}
alignas(64) constexpr auto zigzag_lo = make_zigzag(0);
alignas(64) constexpr auto zigzag_hi = make_zigzag(1);

// Byte lane indices: 0 ... 63; each lane's left neighbour (lane 0 itself);
// the even and the odd bytes of two vectors of words (the low and high
// bytes of 64 words); and the words lo[j] | hi[j] << 8 of two byte vectors,
// lanes 0 to 31 and 32 to 63.
struct ByteIndices {
  std::array<std::uint8_t, 64> iota, left, even, odd, words_lo, words_hi;
};
constexpr ByteIndices make_byte_indices() {
  ByteIndices t{};
  for (unsigned i = 0; i < 64; ++i) {
    t.iota[i] = static_cast<std::uint8_t>(i);
    t.left[i] = static_cast<std::uint8_t>(i == 0 ? 0 : i - 1);
    t.even[i] = static_cast<std::uint8_t>(2 * i);
    t.odd[i] = static_cast<std::uint8_t>(2 * i + 1);
    t.words_lo[i] = static_cast<std::uint8_t>(i % 2 ? 64 + i / 2 : i / 2);
    t.words_hi[i] = static_cast<std::uint8_t>(i % 2 ? 96 + i / 2 : 32 + i / 2);
  }
  return t;
}
alignas(64) constexpr ByteIndices byte_index = make_byte_indices();

// Sizes by byte: the bit length of m (m < 64), and of m << 6 (0 for 0).
constexpr std::array<std::uint8_t, 64> make_sizes(unsigned shift) {
  std::array<std::uint8_t, 64> t{};
  for (unsigned m = 1; m < 64; ++m) t[m] = static_cast<std::uint8_t>(std::bit_width(m) + shift);
  return t;
}
alignas(64) constexpr auto size_low = make_sizes(0);
alignas(64) constexpr auto size_high = make_sizes(6);
static_assert(size_low[1] == 1 && size_low[63] == 6 && size_high[1] == 7 && size_high[31] == 11);

// The AC code tables in registers: the low and high bytes of each code and
// its length, each 256 bytes in four vectors.
struct VectorTables {
  __m512i lo[4], hi[4], size[4];
};

avx512_code inline __m512i load64(const void* p) { return _mm512_loadu_si512(p); }

avx512_code inline VectorTables load_tables(const BlockCodeTables& t) {
  VectorTables v;
  for (int i = 0; i < 4; ++i) {
    v.lo[i] = load64(t.ac_code_lo.data() + 64 * i);
    v.hi[i] = load64(t.ac_code_hi.data() + 64 * i);
    v.size[i] = load64(t.ac_size.data() + 64 * i);
  }
  return v;
}

// Entry idx of a 256-byte table in registers, for each byte lane of low
// (indices below 128) and high (the others); 0 in the other lanes.
avx512_code inline __m512i lookup(const __m512i* table, __m512i idx, __mmask64 low, __mmask64 high) {
  return _mm512_or_si512(_mm512_maskz_permutex2var_epi8(low, table[0], idx, table[1]),
                         _mm512_maskz_permutex2var_epi8(high, table[2], idx, table[3]));
}

// The codes of 16 lanes (group g) merged in pairs: 8 codes of at most 52
// bits, first code on top, and their lengths, into units and lengths.
template <int g>
avx512_code inline void merge_group(__m512i code16, __m512i sizes, __m512i lengths, __m512i values,
                                    std::uint64_t* units, std::uint8_t* unit_lengths) {
  const __m512i code = _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(code16, g % 2));
  const __m512i s = _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(sizes, g));
  const __m512i len = _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(lengths, g));
  const __m512i v = _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(values, g % 2));
  // Value bits: v, or v - 1 when negative, in the low s bits (none for s =
  // 0: shifts of 32 or more give 0).
  const __m512i keep = _mm512_sub_epi32(_mm512_set1_epi32(32), s);
  const __m512i bits = _mm512_srlv_epi32(_mm512_sllv_epi32(_mm512_add_epi32(v, _mm512_srai_epi32(v, 31)), keep), keep);
  const __m512i c = _mm512_or_si512(_mm512_sllv_epi32(code, s), bits);
  // Pairs: the even lane's code above the odd lane's.
  const __m512i first = _mm512_maskz_mov_epi32(0x5555, c);
  const __m512i second = _mm512_srli_epi64(c, 32);
  const __m512i first_len = _mm512_maskz_mov_epi32(0x5555, len);
  const __m512i second_len = _mm512_srli_epi64(len, 32);
  _mm512_store_si512(units + 8 * g, _mm512_or_si512(_mm512_sllv_epi64(first, second_len), second));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(unit_lengths + 8 * g),
                   _mm512_cvtepi64_epi8(_mm512_add_epi64(first_len, second_len)));
}

// Codes a block in vectors from its zigzag-order coefficients z0 (0 to 31)
// and z1 (32 to 63), nonzero bitmap nz (bit k for zigzag position k) and DC
// difference d of category n. Returns false, having written nothing, when
// the block has a run of 16 zeros or more.
avx512_code inline bool code_vector(__m512i z0, __m512i z1, std::uint64_t nz, std::int32_t d, unsigned n,
                                    const VectorTables& vt, const BlockCodeTables& t, std::uint64_t& acc,
                                    unsigned& bits, std::uint8_t*& out) {
  const std::uint64_t taken = nz | 1;  // the DC, and the nonzero AC coefficients
  const auto count = static_cast<unsigned>(std::popcount(taken));
  const __m512i pos = _mm512_maskz_compress_epi8(taken, load64(byte_index.iota.data()));
  const __m512i before = _mm512_permutexvar_epi8(load64(byte_index.left.data()), pos);
  const __m512i run = _mm512_sub_epi8(_mm512_sub_epi8(pos, before), _mm512_set1_epi8(1));
  const __mmask64 ac_lanes = _bzhi_u64(~std::uint64_t{0}, count) & ~std::uint64_t{1};
  if (_mm512_mask_cmpge_epu8_mask(ac_lanes, run, _mm512_set1_epi8(16)) != 0) return false;

  // Sizes in zigzag order, then compressed like the positions.
  const __m512i a0 = _mm512_abs_epi16(z0), a1 = _mm512_abs_epi16(z1);
  const __m512i low = _mm512_permutex2var_epi8(a0, load64(byte_index.even.data()), a1);
  const __m512i high = _mm512_permutex2var_epi8(_mm512_slli_epi16(a0, 2), load64(byte_index.odd.data()),
                                                _mm512_slli_epi16(a1, 2));
  const __m512i size = _mm512_max_epu8(_mm512_permutexvar_epi8(low, load64(size_low.data())),
                                       _mm512_permutexvar_epi8(high, load64(size_high.data())));
  __m512i s = _mm512_maskz_compress_epi8(taken, size);
  s = _mm512_mask_set1_epi8(s, 1, static_cast<char>(n));

  // Symbols run * 16 + size (lane 0's is meaningless and replaced by the
  // DC's code), their codes and lengths; EOB after the last coefficient
  // unless it is at 63.
  const __m512i idx = _mm512_ternarylogic_epi32(_mm512_slli_epi16(run, 4), _mm512_set1_epi8(static_cast<char>(0xF0)), s, 0xEA);
  // Lanes past the last code (EOB's included) get code and length 0.
  const std::uint64_t eob = ~nz >> 63;
  const unsigned lanes = count + static_cast<unsigned>(eob);
  const __mmask64 used = _bzhi_u64(~std::uint64_t{0}, lanes);
  const __mmask64 upper = _mm512_movepi8_mask(idx);
  const __mmask64 below = used & ~upper, above = used & upper;
  __m512i lo = lookup(vt.lo, idx, below, above), hi = lookup(vt.hi, idx, below, above);
  __m512i hs = lookup(vt.size, idx, below, above);
  lo = _mm512_mask_set1_epi8(lo, 1, static_cast<char>(t.dc_code_lo[n]));
  hi = _mm512_mask_set1_epi8(hi, 1, static_cast<char>(t.dc_code_hi[n]));
  hs = _mm512_mask_set1_epi8(hs, 1, static_cast<char>(t.dc_size[n]));
  const std::uint64_t eob_lane = eob << (count & 63);
  lo = _mm512_mask_set1_epi8(lo, eob_lane, static_cast<char>(t.ac_code_lo[0]));
  hi = _mm512_mask_set1_epi8(hi, eob_lane, static_cast<char>(t.ac_code_hi[0]));
  hs = _mm512_mask_set1_epi8(hs, eob_lane, static_cast<char>(t.ac_size[0]));
  const __m512i len = _mm512_add_epi8(hs, s);

  // Values in the same order, the DC difference in lane 0.
  __m512i v0 = _mm512_permutex2var_epi16(z0, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(pos)), z1);
  v0 = _mm512_mask_set1_epi16(v0, 1, static_cast<short>(d));
  const __m512i c0 = _mm512_permutex2var_epi8(lo, load64(byte_index.words_lo.data()), hi);

  alignas(64) std::uint64_t units[32];
  alignas(16) std::uint8_t unit_lengths[32];
  merge_group<0>(c0, s, len, v0, units, unit_lengths);
  if (lanes > 16) merge_group<1>(c0, s, len, v0, units, unit_lengths);
  if (lanes > 32) {
    const __m512i v1 = _mm512_permutex2var_epi16(z0, _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(pos, 1)), z1);
    const __m512i c1 = _mm512_permutex2var_epi8(lo, load64(byte_index.words_hi.data()), hi);
    merge_group<2>(c1, s, len, v1, units, unit_lengths);
    if (lanes > 48) merge_group<3>(c1, s, len, v1, units, unit_lengths);
  }
  const unsigned pairs = (lanes + 1) / 2;
  for (unsigned i = 0; i < pairs; ++i) put_bits(acc, bits, out, units[i], unit_lengths[i]);
  return true;
}

// Value bits: v, or v - 1 when negative, in the low size bits.
avx512_code inline std::uint32_t value_bits(std::int32_t v, std::uint32_t size) {
  return _bzhi_u32(static_cast<std::uint32_t>(v + (v >> 31)), size);
}

inline std::uint32_t size_of(std::int32_t v) { return size_by_value[static_cast<std::uint32_t>(v + 2048) & 4095]; }

// For coefficients stored 16 to a row (coef[16 r + c]): zz16[k] is the
// position of the k-th coefficient in zigzag order.
constexpr std::array<std::uint8_t, 64> make_zz16() {
  std::array<std::uint8_t, 64> t{};
  for (std::size_t k = 0; k < 64; ++k) t[k] = static_cast<std::uint8_t>(zz[k] / 8 * 16 + zz[k] % 8);
  return t;
}
constexpr auto zz16 = make_zz16();

// The block's AC coefficients one at a time, for sparse blocks and blocks
// with runs of 16 zeros or more. nonzero: the bitmap in natural order.
avx512_code inline void code_scalar(const std::int16_t* coef, std::uint64_t nonzero, const BlockCodeTables& t,
                                    std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  std::uint64_t z = to_zigzag(nonzero) >> 1;
  unsigned k = 0;
  while (z != 0) {
    auto run = static_cast<unsigned>(std::countr_zero(z));
    k += run + 1;
    z = (z >> run) >> 1;
    while (run >= 16) {  // ZRL: sixteen zeros
      put_bits(acc, bits, out, t.ac_prefix[0xF0], t.ac_length[0xF0]);
      run -= 16;
    }
    const std::int32_t v = coef[zz16[k]];
    const std::uint32_t size = size_of(v);
    const unsigned i = run * 16 + size;
    put_bits(acc, bits, out, t.ac_prefix[i] | value_bits(v, size), t.ac_length[i]);
  }
  if (k != 63) put_bits(acc, bits, out, t.ac_prefix[0], t.ac_length[0]);  // EOB
}

#ifndef BW_DENSE_FROM
#define BW_DENSE_FROM 6
#endif
// Blocks with fewer nonzero AC coefficients than this are coded the scalar
// way.
constexpr unsigned dense_blocks_from = BW_DENSE_FROM;

// One block, side 0 (left) or 8 (right) of the pair kernel's coefficients
// (pair: 8 rows of 16 words, side's nonzero bitmap in natural order; pick
// gathers the side's rows), into the accumulator.
avx512_code inline void code_block(const std::int16_t* pair, unsigned side, std::uint64_t nonzero,
                                   const __m512i& pick, std::int32_t& last_dc, const VectorTables& vt,
                                   const BlockCodeTables& t, unsigned dense_from, std::uint64_t& acc,
                                   unsigned& bits, std::uint8_t*& out) {
  const std::int16_t* const coef = pair + side;
  std::uint8_t* const start = out;
  const std::int32_t d = coef[0] - last_dc;
  last_dc = coef[0];
  const std::uint32_t n = size_of(d);
  bool coded = false;
  if (static_cast<unsigned>(std::popcount(nonzero & ~std::uint64_t{1})) >= dense_from) {
    // The block in zigzag order: its rows gathered from the pair's, then
    // permuted.
    const __m512i top = _mm512_permutex2var_epi16(load64(pair), pick, load64(pair + 32));
    const __m512i bottom = _mm512_permutex2var_epi16(load64(pair + 64), pick, load64(pair + 96));
    const __m512i z0 = _mm512_permutex2var_epi16(top, load64(zigzag_lo.data()), bottom);
    const __m512i z1 = _mm512_permutex2var_epi16(top, load64(zigzag_hi.data()), bottom);
    const std::uint64_t nz =
        _mm512_test_epi16_mask(z0, z0) | static_cast<std::uint64_t>(_mm512_test_epi16_mask(z1, z1)) << 32;
    coded = code_vector(z0, z1, nz, d, n, vt, t, acc, bits, out);
  }
  if (!coded) {
    put_bits(acc, bits, out, t.dc_prefix[n] | value_bits(d, n), t.dc_length[n]);
    code_scalar(coef, nonzero, t, acc, bits, out);
  }
  out = stuff(start, out);
}

}  // namespace

avx512_code void code_block_avx512(CoderState& s, const BlockCodeTables& t, const std::int16_t* coef,
                                   unsigned dense_from) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  const VectorTables vt = load_tables(t);
  alignas(64) std::int16_t pair[128];
  std::uint64_t nonzero = 0;
  for (int i = 0; i < 128; ++i) pair[i] = coef[i];
  for (int i = 0; i < 64; ++i) nonzero |= static_cast<std::uint64_t>(coef[i / 8 * 16 + i % 8] != 0) << i;
  code_block(pair, 0, nonzero, load64(rows_left.data()), s.lastDC, vt, t, dense_from, acc, bits, out);
  store_state(s, acc, bits, out);
}

avx512_code void code_blocks_avx512(CoderState& s, const std::int16_t* qu16x2, const BlockCodeTables& t,
                                    const std::uint8_t* p, std::size_t stride, int count) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc = s.lastDC;
  const VectorTables vt = load_tables(t);
  const __m512i left = load64(rows_left.data()), right = load64(rows_right.data());
  // As in the pair path, the next pair is transformed before the current
  // one is coded.
  alignas(64) std::int16_t coef[2][128];
  std::uint64_t nonzero[2][2];
  int i = 0;
  if (count >= 2) dct_quant_pair_avx2(p, stride, qu16x2, coef[0], nonzero[0]);
  for (; i + 2 <= count; i += 2) {
    const int cur = (i >> 1) & 1;
    if (i + 4 <= count) dct_quant_pair_avx2(p + 8 * (i + 2), stride, qu16x2, coef[cur ^ 1], nonzero[cur ^ 1]);
    code_block(coef[cur], 0, nonzero[cur][0], left, last_dc, vt, t, dense_blocks_from, acc, bits, out);
    code_block(coef[cur], 8, nonzero[cur][1], right, last_dc, vt, t, dense_blocks_from, acc, bits, out);
  }
  if (i < count) {
    dct_quant_one_avx2(p + 8 * i, stride, qu16x2, coef[0], nonzero[0]);
    code_block(coef[0], 0, nonzero[0][0], left, last_dc, vt, t, dense_blocks_from, acc, bits, out);
  }
  s.lastDC = last_dc;
  store_state(s, acc, bits, out);
}

#endif  // BW_HAVE_AVX512
