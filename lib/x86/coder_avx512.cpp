// The AVX-512 path (AVX-512 F, BW, VL, VBMI, VBMI2, VNNI): the pair path's
// transform on vectors twice as wide, four blocks at a time, and a block
// coder that codes blocks in vectors, two at a time where both are short,
// and sparse blocks left alone one coefficient at a time.
//
// Symbols in vectors, one byte lane each:
//   - the coefficients into zigzag order (word permutes), the nonzero
//     bitmap by a test;
//   - the positions of the symbols compressed into byte lanes (vpcompressb);
//     each zero run is the distance to the previous position, less one;
//   - each size from two 64-entry byte tables (bit lengths of |v| & 63 and of
//     |v| >> 6), compressed the same way;
//   - code and length of each run/size symbol from 256-entry byte tables
//     (two vpermi2b a table, the top bit of the index choosing the half);
//   - on 32-bit lanes, each code shifted left by its size with the value
//     bits below; neighbouring codes merged in pairs (at most 2 x 26 bits) on
//     64-bit lanes, and pairs in fours where they fit 56 bits.
// Two short blocks in a row (nothing at zigzag position 31 or more: two Y
// blocks, or an MCU's Cb and Cr) take one pass: the first's positions in
// lanes 0 to 31, the second's in 32 to 63, each DC lane holding the DC
// difference (coded from the DC table) and each lane 31 an EOB. Two blocks
// with later coefficients but at most 32 symbols each take one pass as two
// halves, the first's symbols from lane 0, the second's from lane 32; the
// Cb and Cr blocks of two 4:2:0 MCUs, 16 positions each, one pass between
// them. A block alone sends its DC and EOB the scalar way. The merged codes
// then go through the branch-free writer, a store each. A block with a run
// of 16 zeros or more (ZRL codes) is coded the scalar way, as are blocks
// alone with few coefficients, where the fixed cost of the vector steps
// outweighs the per-coefficient saving. 0xFF bytes are looked for once
// every four blocks (two MCUs of 4:2:0), and each gets its 0x00 by byte
// expansion.
//
// The code tables are the component's, with their bytes laid out for these
// lookups (CodeTable::code_low, code_high); the compiler keeps them in
// registers or, where the transform needs those, on the stack, an L1 read
// away.
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

#include "bitpack.hpp"
#include "coder.hpp"
#include "tables.hpp"
#include "x86/kernels.hpp"

#if BW_HAVE_AVX512

// The block coder is inlined into the loop over blocks, whatever its size,
// so that the tables and the writer's state stay in registers.
#define always_inlined __attribute__((always_inline))

namespace {

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

// Indices that widen 16 byte lanes (group g: lanes 16 g to 16 g + 15) to
// 32-bit lanes, each byte into the low byte of one (byte permutes with the
// other bytes masked to 0): widen.bytes[g]; and likewise the 16 word lanes
// of the low (h = 0) or high half of a vector of 32 words: widen.words[h].
struct WidenIndices {
  std::array<std::array<std::uint8_t, 64>, 4> bytes;
  std::array<std::array<std::uint16_t, 32>, 2> words;
};
constexpr WidenIndices make_widen_indices() {
  WidenIndices t{};
  for (unsigned i = 0; i < 64; ++i) {
    for (unsigned g = 0; g < 4; ++g) t.bytes[g][i] = static_cast<std::uint8_t>(16 * g + i / 4);
  }
  for (unsigned i = 0; i < 32; ++i) {
    for (unsigned h = 0; h < 2; ++h) t.words[h][i] = static_cast<std::uint16_t>(16 * h + i / 2);
  }
  return t;
}
alignas(64) constexpr WidenIndices widen = make_widen_indices();
constexpr __mmask64 low_bytes = 0x1111111111111111;  // the low byte of each 32-bit lane
constexpr __mmask32 low_words = 0x55555555;          // the low word of each 32-bit lane

// Sizes by byte: the bit length of m (m < 64), and of m << 6 (0 for 0).
constexpr std::array<std::uint8_t, 64> make_sizes(unsigned shift) {
  std::array<std::uint8_t, 64> t{};
  for (unsigned m = 1; m < 64; ++m) {
    unsigned width = 0;
    while (m >> width) ++width;
    t[m] = static_cast<std::uint8_t>(width + shift);
  }
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

inline __m512i load64(const void* p) { return _mm512_loadu_si512(p); }

// ---- The transform of four blocks side by side on 32 x 16-bit lanes: the
// pair path's transform (pair_avx2.cpp, where each exact form is explained)
// on vectors twice as wide, one block in each 128-bit lane.

inline __m512i add(__m512i a, __m512i b) { return _mm512_add_epi16(a, b); }
inline __m512i sub(__m512i a, __m512i b) { return _mm512_sub_epi16(a, b); }
inline __m512i pair16(std::int16_t lo, std::int16_t hi) {
  return _mm512_set1_epi32(static_cast<std::int32_t>(
      static_cast<std::uint16_t>(lo) | static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16));
}

inline __m512i odd_term(__m512i lo1012, __m512i hi1012, __m512i lo11, __m512i hi11, __m512i k1012,
                                    __m512i k11) {
  // The second pair of products accumulated (vpdpwssd): the same 32-bit sum.
  const __m512i lo = _mm512_srai_epi32(_mm512_dpwssd_epi32(_mm512_madd_epi16(lo1012, k1012), lo11, k11), 8);
  const __m512i hi = _mm512_srai_epi32(_mm512_dpwssd_epi32(_mm512_madd_epi16(hi1012, k1012), hi11, k11), 8);
  return _mm512_packs_epi32(lo, hi);
}

inline void pass(__m512i* x) {
  const __m512i t0 = add(x[0], x[7]), t7 = sub(x[0], x[7]);
  const __m512i t1 = add(x[1], x[6]), t6 = sub(x[1], x[6]);
  const __m512i t2 = add(x[2], x[5]), t5 = sub(x[2], x[5]);
  const __m512i t3 = add(x[3], x[4]), t4 = sub(x[3], x[4]);
  const __m512i e10 = add(t0, t3), e13 = sub(t0, t3);
  const __m512i e11 = add(t1, t2), e12 = sub(t1, t2);
  const __m512i c181 = _mm512_set1_epi16(181 * 128);
  const __m512i s = add(e12, e13);
  x[0] = add(e10, e11);
  x[4] = sub(e10, e11);
  x[2] = add(e13, _mm512_mulhrs_epi16(s, c181));
  x[6] = add(e13, _mm512_mulhrs_epi16(sub(_mm512_setzero_si512(), s), c181));
  const __m512i o10 = add(t4, t5), o11 = add(t5, t6), o12 = add(t6, t7);
  const __m512i one = _mm512_set1_epi16(1);
  const __m512i lo1012 = _mm512_unpacklo_epi16(o10, o12), hi1012 = _mm512_unpackhi_epi16(o10, o12);
  const __m512i lo11 = _mm512_unpacklo_epi16(o11, one), hi11 = _mm512_unpackhi_epi16(o11, one);
  const __m512i plus_z3 = pair16(181, 128), minus_z3 = pair16(-181, 128);
  x[5] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(237, -98), minus_z3));
  x[3] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(-237, 98), minus_z3));
  x[1] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(98, 236), plus_z3));
  x[7] = add(t7, odd_term(lo1012, hi1012, lo11, hi11, pair16(-98, -236), plus_z3));
}

// Transposes the 8 x 8 16-bit matrix in each 128-bit lane.
inline void transpose(const __m512i* in, __m512i* out) {
  __m512i t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm512_unpacklo_epi16(in[2 * i], in[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_epi16(in[2 * i], in[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    u[4 * i + 0] = _mm512_unpacklo_epi32(t[4 * i + 0], t[4 * i + 2]);
    u[4 * i + 1] = _mm512_unpackhi_epi32(t[4 * i + 0], t[4 * i + 2]);
    u[4 * i + 2] = _mm512_unpacklo_epi32(t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm512_unpackhi_epi32(t[4 * i + 1], t[4 * i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = _mm512_unpacklo_epi64(u[i], u[i + 4]);
    out[2 * i + 1] = _mm512_unpackhi_epi64(u[i], u[i + 4]);
  }
}

// The transform of a quad in its three kinds of phase: the rows loaded and
// transposed into columns (x[c]: column c, rows in the lanes), the row pass,
// and the column pass with the quantization; a second transpose between
// the passes. The transposes run on port 5 alone and the passes mostly on
// port 0, so a quad's phases run one after the other at half the width of
// the core: where several quads are transformed together, each transpose
// is placed beside another quad's pass (see code_420_avx512).

// The rows of the `blocks` (1 to 4) blocks side by side at p, reading no
// sample of any other (the lanes of missing blocks hold no meaning).
inline void columns_of_quad(const std::uint8_t* p, std::size_t stride, int blocks, __m512i* x) {
  const auto mask = static_cast<__mmask32>(_bzhi_u32(~0u, 8 * static_cast<unsigned>(blocks)));
  __m512i rows[8];
  for (std::size_t r = 0; r < 8; ++r) {
    rows[r] = _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(mask, p + stride * r));
  }
  transpose(rows, x);
}

// The same for two pairs of blocks side by side, one at a (lanes 0 and 1),
// the other at b (lanes 2 and 3); pairs = 1 reads only the first block of
// each.
inline void columns_of_two_pairs(const std::uint8_t* a, const std::uint8_t* b, std::size_t stride, int pairs,
                                 __m512i* x) {
  const auto mask = static_cast<__mmask16>(pairs == 2 ? 0xFFFF : 0xFF);
  __m512i rows[8];
  for (std::size_t r = 0; r < 8; ++r) {
    const __m256i lo = _mm256_castsi128_si256(_mm_maskz_loadu_epi8(mask, a + stride * r));
    rows[r] = _mm512_cvtepu8_epi16(_mm256_inserti128_si256(lo, _mm_maskz_loadu_epi8(mask, b + stride * r), 1));
  }
  transpose(rows, x);
}

inline void row_pass(__m512i* x) {
  pass(x);
  x[0] = sub(x[0], _mm512_set1_epi16(8 * 128));  // the level shift
}

// The column pass on y (rows in the vectors, as the second transpose leaves
// them) and the quantization: y[r] then holds row r of the quantized
// coefficients, block b in 128-bit lane b. q: each row of reciprocals in
// every lane.
inline void column_pass(__m512i* y, const __m512i* q, bool doubled) {
  pass(y);
  if (doubled) {
    // q = 2 qu, every qu below 2^14: (v qu + 2^15) >> 16 is ((v qu >> 15)
    // + 1) >> 1, the high half of v q halved with rounding up by pmulhrsw,
    // (t 2^14 + 2^14) >> 15 = (t + 1) >> 1.
    for (int r = 0; r < 8; ++r) y[r] = _mm512_mulhrs_epi16(_mm512_mulhi_epi16(y[r], q[r]), _mm512_set1_epi16(1 << 14));
    return;
  }
  for (int r = 0; r < 8; ++r) {
    y[r] = _mm512_add_epi16(_mm512_mulhi_epi16(y[r], q[r]), _mm512_srli_epi16(_mm512_mullo_epi16(y[r], q[r]), 15));
  }
}

// The phases after the first, in turn: from the columns x to the quantized
// rows y.
inline void finish_transform(__m512i* x, const __m512i* q, bool doubled, __m512i* y) {
  row_pass(x);
  transpose(x, y);
  column_pass(y, q, doubled);
}

// All of one quad's phases in turn.
inline void transform_quad(const std::uint8_t* p, std::size_t stride, int blocks, const __m512i* q, bool doubled,
                           __m512i* y) {
  __m512i x[8];
  columns_of_quad(p, stride, blocks, x);
  finish_transform(x, q, doubled, y);
}

// Rows 0 to 3 (top) and 4 to 7 (bottom) of each of the four blocks of y,
// in natural order: a 4 x 4 transpose of 128-bit lanes.
inline void split_blocks(const __m512i* y, __m512i* top, __m512i* bottom) {
  for (int h = 0; h < 2; ++h) {
    const __m512i* r = y + 4 * h;
    __m512i* out = h == 0 ? top : bottom;
    const __m512i t0 = _mm512_shuffle_i64x2(r[0], r[1], 0x44), t1 = _mm512_shuffle_i64x2(r[0], r[1], 0xEE);
    const __m512i t2 = _mm512_shuffle_i64x2(r[2], r[3], 0x44), t3 = _mm512_shuffle_i64x2(r[2], r[3], 0xEE);
    out[0] = _mm512_shuffle_i64x2(t0, t2, 0x88);
    out[1] = _mm512_shuffle_i64x2(t0, t2, 0xDD);
    out[2] = _mm512_shuffle_i64x2(t1, t3, 0x88);
    out[3] = _mm512_shuffle_i64x2(t1, t3, 0xDD);
  }
}

// Each row of 8 reciprocals in all four lanes, doubled (see column_pass)
// when every one is below 2^14, as at all but the highest qualities;
// returns whether they are.
inline bool load_reciprocals(const std::int16_t* qu16, __m512i* q) {
  const __m512i limit = _mm512_set1_epi16((1 << 14) - 1);
  const bool doubled =
      (_mm512_cmpgt_epi16_mask(load64(qu16), limit) | _mm512_cmpgt_epi16_mask(load64(qu16 + 32), limit)) == 0;
  for (int r = 0; r < 8; ++r) {
    const __m512i row = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(qu16 + 8 * r)));
    q[r] = doubled ? _mm512_add_epi16(row, row) : row;
  }
  return doubled;
}

// From an AC code table: the codes' low and high bytes split out of its
// 16-bit codes.
inline VectorTables load_tables(const CodeTable& ac) {
  VectorTables v;
  for (int i = 0; i < 4; ++i) {
    v.lo[i] = load64(ac.code_low.data() + 64 * i);
    v.hi[i] = load64(ac.code_high.data() + 64 * i);
    v.size[i] = load64(ac.size.data() + 64 * i);
  }
  return v;
}

// Entry idx of a 256-byte table in registers, for each byte lane of low
// (indices below 128) and high (the others); 0 in the other lanes.
inline __m512i lookup(const __m512i* table, __m512i idx, __mmask64 low, __mmask64 high) {
  return _mm512_or_si512(_mm512_maskz_permutex2var_epi8(low, table[0], idx, table[1]),
                         _mm512_maskz_permutex2var_epi8(high, table[2], idx, table[3]));
}

// A compiler barrier between the vector pass and the writer. Without it the
// compiler takes the merged codes out of the vector registers (vmovq,
// vpextrq: ports 0 and 5, which the vector pass keeps busy) instead of
// reading them back from memory, and holds more of the pass's values across
// the writer: 0.97x.
inline void writer_barrier(const std::uint64_t* units, const std::uint64_t* unit_lengths, const std::uint64_t* fours,
                           const std::uint64_t* four_lengths) {
  asm("" : : "r"(fours), "r"(units), "r"(four_lengths), "r"(unit_lengths) : "memory");
}

// The codes of 16 lanes (group g) merged in pairs: 8 codes of at most 52
// bits, first code on top, and their lengths, into units and lengths.
// code16: the Huffman codes (words, lanes 32 (g / 2) on), sizes and lengths
// (bytes), folded: each value, less 1 when negative (words, as code16).
template <int g>
inline void merge_group(__m512i code16, __m512i sizes, __m512i lengths, __m512i folded, std::uint64_t* units,
                        std::uint64_t* unit_lengths, std::uint64_t* fours, std::uint64_t* four_lengths,
                        __mmask8& long_fours) {
  const __m512i bytes = load64(widen.bytes[g].data()), words = load64(widen.words[g % 2].data());
  const __m512i code = _mm512_maskz_permutexvar_epi16(low_words, words, code16);
  const __m512i s = _mm512_maskz_permutexvar_epi8(low_bytes, bytes, sizes);
  const __m512i len = _mm512_maskz_permutexvar_epi8(low_bytes, bytes, lengths);
  const __m512i v = _mm512_maskz_permutexvar_epi16(low_words, words, folded);
  // Value bits: the low s bits of v (none for s = 0: shifts of 32 or more
  // give 0).
  const __m512i keep = _mm512_sub_epi32(_mm512_set1_epi32(32), s);
  const __m512i bits = _mm512_srlv_epi32(_mm512_sllv_epi32(v, keep), keep);
  const __m512i c = _mm512_or_si512(_mm512_sllv_epi32(code, s), bits);
  // Pairs: the even lane's code above the odd lane's.
  const __m512i first = _mm512_maskz_mov_epi32(0x5555, c);
  const __m512i second = _mm512_srli_epi64(c, 32);
  const __m512i first_len = _mm512_maskz_mov_epi32(0x5555, len);
  const __m512i second_len = _mm512_srli_epi64(len, 32);
  const __m512i pair = _mm512_or_si512(_mm512_sllv_epi64(first, second_len), second);
  const __m512i pair_len = _mm512_add_epi64(first_len, second_len);
  // Fours: each even pair above the odd one after it, in the even lanes,
  // where they fit the writer's 56 bits (long marks those that do not).
  const __m512i next = _mm512_unpackhi_epi64(pair, pair), next_len = _mm512_unpackhi_epi64(pair_len, pair_len);
  const __m512i four_len = _mm512_add_epi64(pair_len, next_len);
  long_fours |= _mm512_mask_cmpgt_epu64_mask(0x55, four_len, _mm512_set1_epi64(56));
  _mm512_store_si512(fours + 8 * g, _mm512_or_si512(_mm512_sllv_epi64(pair, next_len), next));
  _mm512_store_si512(four_lengths + 8 * g, four_len);
  _mm512_store_si512(units + 8 * g, pair);
  _mm512_store_si512(unit_lengths + 8 * g, pair_len);
}

// Values less 1 when negative, as their value bits are sent.
always_inlined inline __m512i fold(__m512i v) { return _mm512_add_epi16(v, _mm512_srai_epi16(v, 15)); }

// Writes the merged codes of n symbols, `per` a code (the fours at codes[2 i],
// or the pairs at codes[i]).
template <unsigned per>
always_inlined inline void put_merged(const std::uint64_t* codes, const std::uint64_t* lengths, unsigned n,
                                      std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  constexpr unsigned step = per / 2;
  for (unsigned i = 0; i < (n + per - 1) / per; ++i) {
    put_bits(acc, bits, out, codes[step * i], static_cast<unsigned>(lengths[step * i]));
  }
}

// Writes `count` symbols, from the codes' low and high bytes and lengths
// (value bits included: lo, hi, len, in byte lanes), their value sizes s
// (byte lanes) and the positions pos (byte lanes) of their values among the
// 64 words of z0 and z1: each code shifted left by its size with the value
// bits below, merged in pairs and, where four fit 56 bits, in fours.
always_inlined inline void write_symbols(__m512i lo, __m512i hi, __m512i len, __m512i s, __m512i pos, __m512i z0,
                                         __m512i z1, unsigned count, std::uint64_t& acc, unsigned& bits,
                                         std::uint8_t*& out) {
  // Values in the same order, less 1 when negative.
  const __m512i v0 = fold(_mm512_permutex2var_epi16(z0, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(pos)), z1));
  const __m512i c0 = _mm512_permutex2var_epi8(lo, load64(byte_index.words_lo.data()), hi);

  alignas(64) std::uint64_t units[32];
  alignas(64) std::uint64_t unit_lengths[32];
  alignas(64) std::uint64_t fours[32];
  alignas(64) std::uint64_t four_lengths[32];
  __mmask8 long_fours = 0;
  merge_group<0>(c0, s, len, v0, units, unit_lengths, fours, four_lengths, long_fours);
  if (count > 16) merge_group<1>(c0, s, len, v0, units, unit_lengths, fours, four_lengths, long_fours);
  if (count > 32) {
    const __m512i pos1 = _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(pos, 1));
    const __m512i v1 = fold(_mm512_permutex2var_epi16(z0, pos1, z1));
    const __m512i c1 = _mm512_permutex2var_epi8(lo, load64(byte_index.words_hi.data()), hi);
    merge_group<2>(c1, s, len, v1, units, unit_lengths, fours, four_lengths, long_fours);
    if (count > 48) merge_group<3>(c1, s, len, v1, units, unit_lengths, fours, four_lengths, long_fours);
  }
  writer_barrier(units, unit_lengths, fours, four_lengths);
  if (long_fours == 0) {
    put_merged<4>(fours, four_lengths, count, acc, bits, out);
  } else {
    put_merged<2>(units, unit_lengths, count, acc, bits, out);
  }
}

// The size (bit length of the magnitude) of each of the 64 words of z0 and
// z1, in byte lanes.
inline __m512i sizes_of(__m512i z0, __m512i z1) {
  const __m512i a0 = _mm512_abs_epi16(z0), a1 = _mm512_abs_epi16(z1);
  const __m512i low = _mm512_permutex2var_epi8(a0, load64(byte_index.even.data()), a1);
  const __m512i high = _mm512_permutex2var_epi8(_mm512_slli_epi16(a0, 2), load64(byte_index.odd.data()),
                                                _mm512_slli_epi16(a1, 2));
  return _mm512_max_epu8(_mm512_permutexvar_epi8(low, load64(size_low.data())),
                         _mm512_permutexvar_epi8(high, load64(size_high.data())));
}

// Symbols run * 16 + size from the runs and sizes, and their codes' low and
// high bytes and lengths (the value size added) from the AC tables, in the
// used lanes (0 in the others).
struct Codes {
  __m512i lo, hi, len;
};
inline Codes ac_codes(__m512i run, __m512i s, __mmask64 used, const VectorTables& vt) {
  const __m512i high_nibble = _mm512_set1_epi8(static_cast<char>(0xF0));
  const __m512i idx = _mm512_ternarylogic_epi32(_mm512_slli_epi16(run, 4), high_nibble, s, 0xEA);  // a & b | c
  const __mmask64 upper = _mm512_movepi8_mask(idx);
  const __mmask64 below = used & ~upper, above = used & upper;
  return {lookup(vt.lo, idx, below, above), lookup(vt.hi, idx, below, above),
          _mm512_add_epi8(lookup(vt.size, idx, below, above), s)};
}

// Codes the AC coefficients of a block in vectors from its zigzag-order
// coefficients z0 (0 to 31) and z1 (32 to 63) and nonzero bitmap nz (bit k
// for zigzag position k; the caller sends the DC and EOB). Returns false,
// having written nothing, when the block has a run of 16 zeros or more.
always_inlined inline bool code_vector(__m512i z0, __m512i z1, std::uint64_t nz, const VectorTables& vt,
                                       std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  const std::uint64_t taken = nz & ~std::uint64_t{1};  // the nonzero AC coefficients
  const auto count = static_cast<unsigned>(__builtin_popcountll(taken));
  const __m512i pos = _mm512_maskz_compress_epi8(taken, load64(byte_index.iota.data()));
  // The position before the first is the DC's, 0.
  const __m512i before = _mm512_maskz_permutexvar_epi8(~std::uint64_t{1}, load64(byte_index.left.data()), pos);
  const __m512i run = _mm512_sub_epi8(_mm512_sub_epi8(pos, before), _mm512_set1_epi8(1));
  const __mmask64 used = _bzhi_u64(~std::uint64_t{0}, count);
  if (_mm512_mask_cmpge_epu8_mask(used, run, _mm512_set1_epi8(16)) != 0) return false;
  const __m512i s = _mm512_maskz_compress_epi8(taken, sizes_of(z0, z1));
  const Codes c = ac_codes(run, s, used, vt);
  write_symbols(c.lo, c.hi, c.len, s, pos, z0, z1, count, acc, bits, out);
  return true;
}

// Value bits: v, or v - 1 when negative, in the low size bits.
inline std::uint32_t value_bits(std::int32_t v, std::uint32_t size) {
  return _bzhi_u32(static_cast<std::uint32_t>(v + (v >> 31)), size);
}

inline std::uint32_t size_of(std::int32_t v) { return size_by_value[static_cast<std::uint32_t>(v + 2048) & 4095]; }

// The block's AC coefficients one at a time from zc (zigzag order, bitmap
// nz), for sparse blocks and blocks with runs of 16 zeros or more.
inline void code_scalar(const std::int16_t* zc, std::uint64_t nz, const CodeTable& ac,
                                    std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  // The bits of the coefficients left are cleared one by one (blsr), so
  // that the loop carries a one-cycle step, not a count and two shifts.
  std::uint64_t z = nz & ~std::uint64_t{1};
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
    const std::int32_t v = zc[at];
    const std::uint32_t size = size_of(v);
    const unsigned i = run * 16 + size;
    put_bits(acc, bits, out, ac.prefix[i] | value_bits(v, size), ac.length[i]);
  }
  if (next != 64) put_bits(acc, bits, out, ac.prefix[0], ac.length[0]);  // EOB
}

// Blocks with fewer nonzero AC coefficients than this are coded the scalar
// way: measured on this project's pictures, from 2 to 8 the whole encode
// runs at about the same speed, at 12 dense pictures (gravel) slow down.
constexpr unsigned dense_blocks_from = 6;

// The bitmap of the nonzero words of v0 (bits 0 to 31) and v1 (32 to 63).
inline std::uint64_t nonzero_bits(__m512i v0, __m512i v1) {
  return _mm512_test_epi16_mask(v0, v0) | static_cast<std::uint64_t>(_mm512_test_epi16_mask(v1, v1)) << 32;
}

// A block's coefficients (rows 0 to 3 in top, 4 to 7 in bottom) in zigzag
// order, positions 0 to 31 into z0 and 32 to 63 into z1; returns their
// nonzero bitmap, bit k for position k.
inline std::uint64_t zigzag_of(__m512i top, __m512i bottom, __m512i& z0, __m512i& z1) {
  z0 = _mm512_permutex2var_epi16(top, load64(zigzag_lo.data()), bottom);
  z1 = _mm512_permutex2var_epi16(top, load64(zigzag_hi.data()), bottom);
  return nonzero_bits(z0, z1);
}

// One block, rows 0 to 3 in top and 4 to 7 in bottom (natural order), into
// the accumulator.
always_inlined inline void code_block(__m512i top, __m512i bottom, std::int32_t& last_dc,
                                         const VectorTables& vt, const Component& c, unsigned dense_from,
                                         std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  __m512i z0, z1;
  const std::uint64_t nz = zigzag_of(top, bottom, z0, z1);
  const std::int32_t dc = static_cast<std::int16_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(z0)));
  const std::int32_t d = dc - last_dc;
  last_dc = dc;
  const std::uint32_t n = size_of(d);
  put_bits(acc, bits, out, c.dc->prefix[n] | value_bits(d, n), c.dc->length[n]);
  if (static_cast<unsigned>(__builtin_popcountll(nz >> 1)) >= dense_from &&
      code_vector(z0, z1, nz, vt, acc, bits, out)) {
    if ((nz >> 63) == 0) put_bits(acc, bits, out, c.ac->prefix[0], c.ac->length[0]);  // EOB
    return;
  }
  alignas(64) std::int16_t zc[64];
  _mm512_store_si512(zc, z0);
  _mm512_store_si512(zc + 32, z1);
  code_scalar(zc, nz, *c.ac, acc, bits, out);
}

// Natural-order positions whose zigzag position is 31 or more.
constexpr std::uint64_t make_late_positions() {
  std::uint64_t m = 0;
  for (std::size_t k = 31; k < 64; ++k) m |= std::uint64_t{1} << zz[k];
  return m;
}
constexpr std::uint64_t late_positions = make_late_positions();
// Natural-order positions whose zigzag position is 15 or more.
constexpr std::uint64_t make_past_15() {
  std::uint64_t m = 0;
  for (std::size_t k = 15; k < 64; ++k) m |= std::uint64_t{1} << zz[k];
  return m;
}
constexpr std::uint64_t past_15 = make_past_15();
static_assert(__builtin_popcountll(late_positions) == 33 && (late_positions & 0xFF) == 0);

// A DC code table in registers: the low and high bytes and the length of
// the code of each size 0 to 15.
struct DcVectors {
  __m512i lo, hi, size;
};
inline DcVectors load_dc_tables(const CodeTable& dc) {
  // Entries 16 to 63 are those of symbols a DC table lacks: 0.
  return {load64(dc.code_low.data()), load64(dc.code_high.data()), load64(dc.size.data())};
}

// z (a block's zigzag order) with its DC replaced by the difference from
// last, which becomes z's DC.
always_inlined inline __m512i with_difference(__m512i z, std::int32_t& last) {
  const std::int32_t dc = static_cast<std::int16_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(z)));
  const std::int32_t d = dc - last;
  last = dc;
  return _mm512_mask_mov_epi16(z, 1, _mm512_set1_epi16(static_cast<std::int16_t>(d)));
}

// The codes of the DC lanes (value sizes s) from the DC table.
always_inlined inline void with_dc_codes(Codes& c, __m512i s, __mmask64 dc_lanes, const DcVectors& dv) {
  c.lo = _mm512_mask_permutexvar_epi8(c.lo, dc_lanes, s, dv.lo);
  c.hi = _mm512_mask_permutexvar_epi8(c.hi, dc_lanes, s, dv.hi);
  c.len = _mm512_mask_add_epi8(c.len, dc_lanes, _mm512_permutexvar_epi8(s, dv.size), s);
}

// The merged codes of two groups of symbols (lanes 0 to 31, and 32 to 63),
// each written in its turn.
struct MergedHalves {
  alignas(64) std::uint64_t units[32];
  alignas(64) std::uint64_t unit_lengths[32];
  alignas(64) std::uint64_t fours[32];
  alignas(64) std::uint64_t four_lengths[32];
  unsigned count[2];       // symbols of each half
  __mmask8 long_fours[2];  // fours of more than 56 bits in each half
};

always_inlined inline void write_half(const MergedHalves& m, int h, std::uint64_t& acc, unsigned& bits,
                                      std::uint8_t*& out) {
  if (m.long_fours[h] == 0) {
    put_merged<4>(m.fours + 16 * h, m.four_lengths + 16 * h, m.count[h], acc, bits, out);
  } else {
    put_merged<2>(m.units + 16 * h, m.unit_lengths + 16 * h, m.count[h], acc, bits, out);
  }
}

// The codes of two groups of symbols, lanes 0 to n0 - 1 and 32 to
// 32 + n1 - 1, merged into m: their values v0 (lanes 0 to 31) and v1 (32 to
// 63), their runs, and the lanes in use, of AC coefficients and of DCs.
always_inlined inline void merge_halves(__m512i v0, __m512i v1, __m512i run, __mmask64 used, __mmask64 ac_lanes,
                                        __mmask64 dc_lanes, unsigned n0, unsigned n1, const VectorTables& vt,
                                        const DcVectors& dv, MergedHalves& m) {
  const __m512i s = _mm512_maskz_mov_epi8(used, sizes_of(v0, v1));
  Codes c = ac_codes(run, s, ac_lanes, vt);
  with_dc_codes(c, s, dc_lanes, dv);
  const __m512i c0 = _mm512_permutex2var_epi8(c.lo, load64(byte_index.words_lo.data()), c.hi);
  const __m512i c1 = _mm512_permutex2var_epi8(c.lo, load64(byte_index.words_hi.data()), c.hi);
  const __m512i f0 = fold(v0), f1 = fold(v1);
  m.long_fours[0] = m.long_fours[1] = 0;
  merge_group<0>(c0, s, c.len, f0, m.units, m.unit_lengths, m.fours, m.four_lengths, m.long_fours[0]);
  if (n0 > 16) merge_group<1>(c0, s, c.len, f0, m.units, m.unit_lengths, m.fours, m.four_lengths, m.long_fours[0]);
  merge_group<2>(c1, s, c.len, f1, m.units, m.unit_lengths, m.fours, m.four_lengths, m.long_fours[1]);
  if (n1 > 16) merge_group<3>(c1, s, c.len, f1, m.units, m.unit_lengths, m.fours, m.four_lengths, m.long_fours[1]);
  m.count[0] = n0;
  m.count[1] = n1;
}

// Pairs with coefficients at zigzag position 31 or more, in one vector pass
// as two halves: block a's symbols in lanes 0 to na - 1, b's in lanes 32 to
// 32 + nb - 1 (the lanes between send nothing), each block's last lane that
// of its position 63: the coefficient there or, where it is 0, the block's
// EOB. For blocks of at most 32 symbols each (DC, AC and EOB) and no run of
// 16 zeros; returns false, having changed nothing, otherwise. nat_a, nat_b:
// the blocks' natural-order bitmaps.
always_inlined inline bool code_halves(__m512i ta, __m512i ba, __m512i tb, __m512i bb, std::uint64_t nat_a,
                                       std::uint64_t nat_b, std::int32_t& last_a, std::int32_t& last_b,
                                       const VectorTables& vt, const DcVectors& dv, std::uint64_t& acc,
                                       unsigned& bits, std::uint8_t*& out) {
  constexpr std::uint64_t ends = std::uint64_t{1} | std::uint64_t{1} << 63;  // DC and position 63
  const auto na = static_cast<unsigned>(__builtin_popcountll(nat_a | ends));
  const auto nb = static_cast<unsigned>(__builtin_popcountll(nat_b | ends));
  if (na > 32 || nb > 32) return false;
  __m512i za0, za1, zb0, zb1;
  const std::uint64_t ma = zigzag_of(ta, ba, za0, za1), mb = zigzag_of(tb, bb, zb0, zb1);
  const __m512i iota = load64(byte_index.iota.data());
  const __m512i pos = _mm512_inserti64x4(_mm512_maskz_compress_epi8(ma | ends, iota),
                                         _mm512_castsi512_si256(_mm512_maskz_compress_epi8(mb | ends, iota)), 1);
  const __mmask64 used = _bzhi_u64(~std::uint64_t{0}, na) | static_cast<std::uint64_t>(_bzhi_u32(~0u, nb)) << 32;
  const __mmask64 dc_lanes = std::uint64_t{1} | std::uint64_t{1} << 32;
  const __mmask64 eob_lanes = (ma >> 63 != 0 ? 0 : std::uint64_t{1} << (na - 1)) |
                              (mb >> 63 != 0 ? 0 : std::uint64_t{1} << (31 + nb));
  const __mmask64 ac_lanes = used & ~dc_lanes;
  const __m512i before = _mm512_permutexvar_epi8(load64(byte_index.left.data()), pos);
  const __m512i run = _mm512_maskz_sub_epi8(ac_lanes & ~eob_lanes, _mm512_sub_epi8(pos, before), _mm512_set1_epi8(1));
  if (_mm512_cmpge_epu8_mask(run, _mm512_set1_epi8(16)) != 0) return false;
  za0 = with_difference(za0, last_a);
  zb0 = with_difference(zb0, last_b);
  const __m512i v0 = _mm512_permutex2var_epi16(za0, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(pos)), za1);
  const __m512i v1 = _mm512_permutex2var_epi16(zb0, _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(pos, 1)), zb1);
  MergedHalves m;
  merge_halves(v0, v1, run, used, ac_lanes, dc_lanes, na, nb, vt, dv, m);
  writer_barrier(m.units, m.unit_lengths, m.fours, m.four_lengths);
  write_half(m, 0, acc, bits, out);
  write_half(m, 1, acc, bits, out);
  return true;
}

// Two blocks in turn (natural order at a and b: an MCU's Cb and Cr, or two
// Y blocks) in one vector pass when both are short (no coefficient at
// zigzag position 31 or more, no run of 16 zeros): block a's positions 0 to
// 31 in lanes 0 to 31, b's in 32 to 63, each DC lane holding its difference
// (coded with the DC table) and each lane 31 an EOB. Otherwise in halves
// (code_halves) where they fit, else each block its own way.
always_inlined inline void code_pair(const std::int16_t* a, const std::int16_t* b, std::int32_t& last_a,
                                     std::int32_t& last_b, const VectorTables& vt, const DcVectors& dv,
                                     const Component& ca, const Component& cb, std::uint64_t& acc, unsigned& bits,
                                     std::uint8_t*& out) {
  const __m512i ta = load64(a), ba = load64(a + 32), tb = load64(b), bb = load64(b + 32);
  const std::uint64_t nat_a = nonzero_bits(ta, ba), nat_b = nonzero_bits(tb, bb);
  if (((nat_a | nat_b) & late_positions) != 0) {
    if (code_halves(ta, ba, tb, bb, nat_a, nat_b, last_a, last_b, vt, dv, acc, bits, out)) return;
  } else {
    const __m512i za = _mm512_permutex2var_epi16(ta, load64(zigzag_lo.data()), ba);
    const __m512i zb = _mm512_permutex2var_epi16(tb, load64(zigzag_lo.data()), bb);
    constexpr std::uint32_t ends = 0x80000001;  // the DC and EOB lanes
    const std::uint64_t taken = (_mm512_test_epi16_mask(za, za) | ends) |
                                static_cast<std::uint64_t>(_mm512_test_epi16_mask(zb, zb) | ends) << 32;
    const auto count = static_cast<unsigned>(__builtin_popcountll(taken));
    const auto count_a = static_cast<unsigned>(__builtin_popcount(static_cast<std::uint32_t>(taken)));
    const __mmask64 dc_lanes = std::uint64_t{1} | std::uint64_t{1} << count_a;
    const __mmask64 eob_lanes = std::uint64_t{1} << (count_a - 1) | std::uint64_t{1} << (count - 1);
    const __mmask64 ac_lanes = _bzhi_u64(~std::uint64_t{0}, count) & ~dc_lanes;
    const __m512i pos = _mm512_maskz_compress_epi8(taken, load64(byte_index.iota.data()));
    const __m512i before = _mm512_permutexvar_epi8(load64(byte_index.left.data()), pos);
    const __m512i run = _mm512_maskz_sub_epi8(ac_lanes & ~eob_lanes, _mm512_sub_epi8(pos, before), _mm512_set1_epi8(1));
    if (_mm512_cmpge_epu8_mask(run, _mm512_set1_epi8(16)) == 0) {
      const __m512i da = with_difference(za, last_a), db = with_difference(zb, last_b);
      const __m512i s = _mm512_maskz_compress_epi8(taken, sizes_of(da, db));
      Codes c = ac_codes(run, s, ac_lanes, vt);
      with_dc_codes(c, s, dc_lanes, dv);
      write_symbols(c.lo, c.hi, c.len, s, pos, da, db, count, acc, bits, out);
      return;
    }
  }
  code_block(ta, ba, last_a, vt, ca, dense_blocks_from, acc, bits, out);
  code_block(tb, bb, last_b, vt, cb, dense_blocks_from, acc, bits, out);
}

// The Cb and Cr blocks of two MCUs (blk: Cb and Cr of the first, then of
// the second, natural order) in one vector pass, when none has a
// coefficient at zigzag position 15 or more: the first MCU's two in lanes 0
// to 31 and the second's from lane 32, each as a short pair of 16
// positions a block (lane 15 of each its EOB). Their codes are merged into
// m, each MCU's half to be written after its Y blocks. Returns false,
// having changed nothing, otherwise. In the pictures here nearly every pair
// of MCUs qualifies: one pass instead of two.
always_inlined inline bool chroma_of_two(const std::int16_t* const* blk, std::int32_t& last_cb, std::int32_t& last_cr,
                                         const VectorTables& vt, const DcVectors& dv, MergedHalves& m) {
  __m512i z[4];
  std::uint64_t any = 0;
  for (int k = 0; k < 4; ++k) {
    const __m512i top = load64(blk[k]), bottom = load64(blk[k] + 32);
    any |= nonzero_bits(top, bottom);
    z[k] = _mm512_permutex2var_epi16(top, load64(zigzag_lo.data()), bottom);
  }
  if ((any & past_15) != 0) return false;
  // Each MCU's Cb positions 0 to 15 in words 0 to 15, its Cr's in 16 to 31.
  const __m512i z01 = _mm512_inserti64x4(z[0], _mm512_castsi512_si256(z[1]), 1);
  const __m512i z23 = _mm512_inserti64x4(z[2], _mm512_castsi512_si256(z[3]), 1);
  constexpr std::uint32_t ends = 0x80018001;  // each block's DC and position 15
  const std::uint32_t t01 = _mm512_test_epi16_mask(z01, z01) | ends, t23 = _mm512_test_epi16_mask(z23, z23) | ends;
  const auto n0 = static_cast<unsigned>(__builtin_popcount(t01 & 0xFFFF));
  const auto n01 = static_cast<unsigned>(__builtin_popcount(t01));
  const auto n2 = static_cast<unsigned>(__builtin_popcount(t23 & 0xFFFF));
  const auto n23 = static_cast<unsigned>(__builtin_popcount(t23));
  const __m512i iota = load64(byte_index.iota.data());
  const __m512i pos = _mm512_inserti64x4(_mm512_maskz_compress_epi8(t01, iota),
                                         _mm512_castsi512_si256(_mm512_maskz_compress_epi8(t23, iota)), 1);
  const __mmask64 used = _bzhi_u64(~std::uint64_t{0}, n01) | static_cast<std::uint64_t>(_bzhi_u32(~0u, n23)) << 32;
  const __mmask64 dc_lanes = std::uint64_t{1} | std::uint64_t{1} << n0 | std::uint64_t{1} << 32 |
                             std::uint64_t{1} << (32 + n2);
  const __mmask64 eob_lanes = std::uint64_t{1} << (n0 - 1) | std::uint64_t{1} << (n01 - 1) |
                              std::uint64_t{1} << (31 + n2) | std::uint64_t{1} << (31 + n23);
  const __mmask64 ac_lanes = used & ~dc_lanes;
  // Runs are at most 14 here: no ZRL.
  const __m512i before = _mm512_permutexvar_epi8(load64(byte_index.left.data()), pos);
  const __m512i run = _mm512_maskz_sub_epi8(ac_lanes & ~eob_lanes, _mm512_sub_epi8(pos, before), _mm512_set1_epi8(1));
  std::int32_t dc[4];
  for (int k = 0; k < 4; ++k) dc[k] = static_cast<std::int16_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(z[k])));
  auto with_differences = [](__m512i v, std::int32_t cb, std::int32_t cr) {
    v = _mm512_mask_mov_epi16(v, 1, _mm512_set1_epi16(static_cast<std::int16_t>(cb)));
    return _mm512_mask_mov_epi16(v, std::uint32_t{1} << 16, _mm512_set1_epi16(static_cast<std::int16_t>(cr)));
  };
  const __m512i d01 = with_differences(z01, dc[0] - last_cb, dc[1] - last_cr);
  const __m512i d23 = with_differences(z23, dc[2] - dc[0], dc[3] - dc[1]);
  last_cb = dc[2];
  last_cr = dc[3];
  const __m512i v0 = _mm512_permutexvar_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(pos)), d01);
  const __m512i v1 = _mm512_permutexvar_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(pos, 1)), d23);
  merge_halves(v0, v1, run, used, ac_lanes, dc_lanes, n01, n23, vt, dv, m);
  return true;
}

// stuff() for the bytes of a few blocks, without its byte loop: each piece
// of 32 bytes is expanded (vpexpandb) into its place, a 0x00 after each
// 0xFF, the places from a bit deposit and extract: every byte takes two bit
// slots, "1" for itself and, after a 0xFF, "0" for the 0x00; the slots of
// the other bytes' second bit are dropped. Pieces go last first, as each
// moves right by the 0xFF bytes before it. Reads and writes nothing past
// the stuffed bytes.
inline std::uint8_t* stuff_blocks(std::uint8_t* start, std::uint8_t* end) {
  const __m512i ones = _mm512_set1_epi8(-1);
  const auto n = static_cast<std::size_t>(end - start);
  auto first = [](std::size_t count) { return count >= 64 ? ~std::uint64_t{0} : _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(count)); };
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; i += 64) {
    const __mmask64 in = first(n - i);
    total += static_cast<std::size_t>(__builtin_popcountll(_mm512_mask_cmpeq_epi8_mask(in, _mm512_maskz_loadu_epi8(in, start + i), ones)));
  }
  if (total == 0) return end;
  constexpr std::uint64_t even = 0x5555555555555555;
  std::size_t after = 0;  // 0xFF bytes of the pieces done
  for (std::size_t i = (n - 1) & ~std::size_t{31}; i < n; i -= 32) {
    const std::size_t len = n - i < 32 ? n - i : 32;
    const auto in = static_cast<__mmask32>(first(len));
    const __m256i v = _mm256_maskz_loadu_epi8(in, start + i);
    const std::uint32_t ff = _mm256_mask_cmpeq_epi8_mask(in, v, _mm256_set1_epi8(-1));
    const auto count = static_cast<std::size_t>(__builtin_popcount(ff));
    const std::uint64_t places = _pext_u64(even, even | _pdep_u64(ff, even) << 1);
    after += count;
    _mm512_mask_storeu_epi8(start + i + (total - after), first(len + count),
                            _mm512_maskz_expand_epi8(places, _mm512_castsi256_si512(v)));
  }
  return end + total;
}

// The transform on one block, as a DctQuantFn (for the tests and the
// threads' DC seeds).
std::uint64_t dct_quant_avx512(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                               std::int32_t* block, std::uint32_t* codes) {
  __m512i r[8], y[8], top[4], bottom[4];
  const bool doubled = load_reciprocals(q.qu16.data(), r);
  transform_quad(p, stride, 1, r, doubled, y);
  split_blocks(y, top, bottom);
  alignas(64) std::int16_t natural[64];
  _mm512_store_si512(natural, top[0]);
  _mm512_store_si512(natural + 32, bottom[0]);
  std::uint64_t nonzero = 0;
  for (int i = 0; i < 64; ++i) {
    block[i] = natural[i];
    codes[i] = value_code(block[i]);
    nonzero |= static_cast<std::uint64_t>(block[i] != 0) << i;
  }
  return nonzero;
}

void code_blocks_avx512(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride,
                        int count) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc = s.lastDC[c.index];
  const VectorTables vt = load_tables(*c.ac);
  const DcVectors dc = load_dc_tables(*c.dc);
  __m512i q[8];
  const bool doubled = load_reciprocals(c.quant->qu16.data(), q);
  // Each four blocks go through memory (the coder needs the registers), and
  // the next four are transformed before the current ones are coded.
  alignas(64) std::int16_t coef[2][4][64];
  auto transform = [&](int i, std::int16_t (*to)[64]) {
    __m512i y[8], top[4], bottom[4];
    transform_quad(p + 8 * i, stride, count - i < 4 ? count - i : 4, q, doubled, y);
    split_blocks(y, top, bottom);
    for (int b = 0; b < 4; ++b) {
      _mm512_store_si512(to[b], top[b]);
      _mm512_store_si512(to[b] + 32, bottom[b]);
    }
  };
  if (count > 0) transform(0, coef[0]);
  for (int i = 0; i < count; i += 4) {
    const int cur = (i >> 2) & 1;
    if (i + 4 < count) transform(i + 4, coef[cur ^ 1]);
    const int blocks = count - i < 4 ? count - i : 4;
    std::uint8_t* const start = out;
    int b = 0;
    for (; b + 1 < blocks; b += 2) code_pair(coef[cur][b], coef[cur][b + 1], last_dc, last_dc, vt, dc, c, c, acc, bits, out);
    if (b < blocks) {
      code_block(load64(coef[cur][b]), load64(coef[cur][b] + 32), last_dc, vt, c, dense_blocks_from, acc, bits,
                 out);
    }
    out = stuff_blocks(start, out);
  }
  s.lastDC[c.index] = last_dc;
  store_state(s, acc, bits, out);
}

// Blocks of several components in turn (CodeMixedFn): four at a time through
// the transform, each quad with the reciprocals of its blocks' quantizers,
// each block coded with its component's tables and prediction.
void code_mixed_avx512(CoderState& s, const Component* comps, const std::uint8_t* pattern, int period,
                       const std::uint8_t* p, std::size_t stride, int count) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc[3];
  VectorTables vt[3];
  for (int k = 0; k < 3; ++k) {
    last_dc[k] = s.lastDC[comps[k].index];
    vt[k] = load_tables(*comps[k].ac);
  }
  int phase = 0;  // i % period
  for (int i = 0; i < count; i += 4) {
    const int blocks = count - i < 4 ? count - i : 4;
    int which[4];
    for (int b = 0, ph = phase; b < 4; ++b, ph = ph + 1 == period ? 0 : ph + 1) which[b] = pattern[ph];
    __m512i q[8];
    for (int r = 0; r < 8; ++r) {
      auto row = [&](int b) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(comps[which[b]].quant->qu16.data() + 8 * r));
      };
      __m512i v = _mm512_castsi128_si512(row(0));
      v = _mm512_inserti32x4(v, row(1), 1);
      v = _mm512_inserti32x4(v, row(2), 2);
      q[r] = _mm512_inserti32x4(v, row(3), 3);
    }
    __m512i y[8], top[4], bottom[4];
    transform_quad(p + 8 * i, stride, blocks, q, false, y);
    split_blocks(y, top, bottom);
    std::uint8_t* const start = out;
    for (int b = 0; b < blocks; ++b) {
      const int k = which[b];
      code_block(top[b], bottom[b], last_dc[k], vt[k], comps[k], dense_blocks_from, acc, bits, out);
    }
    out = stuff_blocks(start, out);
    phase = (phase + 4) % period;
  }
  for (int k = 0; k < 3; ++k) s.lastDC[comps[k].index] = last_dc[k];
  store_state(s, acc, bits, out);
}

// 4:2:0 MCUs from their planes (Code420Fn), two at a time: the Y blocks of
// each MCU are a quad, the Cb and Cr blocks of both another (Cb, Cb, Cr, Cr
// in the lanes), so each quad has one quantizer and no block is copied.
// The next two MCUs are transformed once the current ones are coded.
int code_420_avx512(CoderState& s, const Component* comps, const std::uint8_t* y, std::size_t y_stride,
                    const std::uint8_t* cb, const std::uint8_t* cr, std::size_t c_stride, int count,
                    const std::uint8_t* limit) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc[3];
  for (int k = 0; k < 3; ++k) last_dc[k] = s.lastDC[comps[k].index];
  const VectorTables luma_vt = load_tables(*comps[0].ac);
  const VectorTables chroma_vt = load_tables(*comps[1].ac);
  const DcVectors chroma_dc = load_dc_tables(*comps[1].dc);
  const DcVectors luma_dc = load_dc_tables(*comps[0].dc);
  __m512i luma_q[8], chroma_q[8];
  const bool luma_doubled = load_reciprocals(comps[0].quant->qu16.data(), luma_q);
  const bool chroma_doubled = load_reciprocals(comps[1].quant->qu16.data(), chroma_q);
  // Blocks of two MCUs: Y of the first (0 to 3), Y of the second (4 to 7),
  // Cb, Cb, Cr, Cr (8 to 11).
  alignas(64) std::int16_t coef[2][12][64];
  auto store = [](const __m512i* yq, std::int16_t (*to)[64]) {
    __m512i top[4], bottom[4];
    split_blocks(yq, top, bottom);
    for (int b = 0; b < 4; ++b) {
      _mm512_store_si512(to[b], top[b]);
      _mm512_store_si512(to[b] + 32, bottom[b]);
    }
  };
  auto transform = [&](int m, std::int16_t (*to)[64]) {
    __m512i a[8], b[8], c[8], t[8];
    const std::uint8_t* p = y + 16 * m;
    if (count - m < 2) {  // the last MCU alone
      columns_of_two_pairs(p, p + 8 * y_stride, y_stride, 2, a);
      finish_transform(a, luma_q, luma_doubled, t);
      store(t, to);
      columns_of_two_pairs(cb + 8 * m, cr + 8 * m, c_stride, 1, c);
      finish_transform(c, chroma_q, chroma_doubled, t);
      store(t, to + 8);
      return;
    }
    // The three quads (Y of each MCU, then Cb and Cr) with their phases
    // interleaved, each transpose beside another quad's pass: 1.10x to
    // 1.12x the whole coder's speed against one quad after another.
    columns_of_two_pairs(p, p + 8 * y_stride, y_stride, 2, a);
    row_pass(a);
    columns_of_two_pairs(p + 16, p + 16 + 8 * y_stride, y_stride, 2, b);
    transpose(a, t);
    row_pass(b);
    columns_of_two_pairs(cb + 8 * m, cr + 8 * m, c_stride, 2, c);
    column_pass(t, luma_q, luma_doubled);
    transpose(b, a);
    store(t, to);
    row_pass(c);
    column_pass(a, luma_q, luma_doubled);
    transpose(c, t);
    store(a, to + 4);
    column_pass(t, chroma_q, chroma_doubled);
    store(t, to + 8);
  };
  if (count > 0) transform(0, coef[0]);
  int m = 0;
  for (; m < count; m += 2) {
    const int cur = (m >> 1) & 1;
    // Both MCUs, or only the first when the room holds only one.
    const std::ptrdiff_t room = limit - out, one = 6 * max_block_bytes;
    if (room < one) break;
    const int mcus = count - m < 2 || room < 2 * one ? 1 : 2;
    std::uint8_t* const start = out;
    MergedHalves chroma;
    const std::int16_t* const chroma_blocks[4] = {coef[cur][8], coef[cur][10], coef[cur][9], coef[cur][11]};
    bool both = false;  // both MCUs' Cb and Cr blocks in chroma
    for (int i = 0; i < mcus; ++i) {
      for (int b = 0; b < 4; b += 2) {
        code_pair(coef[cur][4 * i + b], coef[cur][4 * i + b + 1], last_dc[0], last_dc[0], luma_vt, luma_dc, comps[0],
                  comps[0], acc, bits, out);
      }
      // The pass over both MCUs' Cb and Cr blocks comes once the first MCU's
      // Y blocks are coded: before them it measured 0.96x to 0.98x, after
      // their first pair 0.97x.
      if (i == 0) both = mcus == 2 && chroma_of_two(chroma_blocks, last_dc[1], last_dc[2], chroma_vt, chroma_dc, chroma);
      if (both) {
        write_half(chroma, i, acc, bits, out);
      } else {
        code_pair(coef[cur][8 + i], coef[cur][10 + i], last_dc[1], last_dc[2], chroma_vt, chroma_dc, comps[1],
                  comps[2], acc, bits, out);
      }
    }
    // The next two MCUs are transformed between the coding of these and the
    // 0xFF search over their bytes, which then reads bytes whose stores have
    // left the store buffer: 1.01x to 1.035x against transforming first.
    if (m + 2 < count) transform(m + 2, coef[cur ^ 1]);
    out = stuff_blocks(start, out);
    if (mcus == 1) {
      m += 1;
      break;
    }
  }
  for (int k = 0; k < 3; ++k) s.lastDC[comps[k].index] = last_dc[k];
  store_state(s, acc, bits, out);
  return m < count ? m : count;
}

}  // namespace


void code_block_avx512(CoderState& s, const Component& c, const std::int16_t* coef, unsigned dense_from) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  const VectorTables vt = load_tables(*c.ac);
  alignas(64) std::int16_t natural[64];
  for (int i = 0; i < 64; ++i) natural[i] = coef[i / 8 * 16 + i % 8];
  std::uint8_t* const start = out;
  code_block(load64(natural), load64(natural + 32), s.lastDC[c.index], vt, c, dense_from, acc, bits, out);
  out = stuff_blocks(start, out);
  store_state(s, acc, bits, out);
}

void code_pair_avx512(CoderState& s, const Component& c, const std::int16_t* a, const std::int16_t* b) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  const VectorTables vt = load_tables(*c.ac);
  const DcVectors dv = load_dc_tables(*c.dc);
  std::uint8_t* const start = out;
  std::int32_t last_dc = s.lastDC[c.index];
  code_pair(a, b, last_dc, last_dc, vt, dv, c, c, acc, bits, out);
  s.lastDC[c.index] = last_dc;
  out = stuff_blocks(start, out);
  store_state(s, acc, bits, out);
}

const CodePath avx512_path = {"avx512",
                              cpu_avx2 | cpu_bmi1 | cpu_bmi2 | cpu_avx512f | cpu_avx512bw | cpu_avx512vl |
                                  cpu_avx512vbmi | cpu_avx512vbmi2 | cpu_avx512vnni,
                              true,
                              dct_quant_avx512,
                              code_blocks_avx512,
                              &avx512_colour,
                              code_mixed_avx512,
                              code_420_avx512};

#endif  // BW_HAVE_AVX512
