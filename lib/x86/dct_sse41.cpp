// Transform and quantization of one block on 4 x 32-bit lanes (SSE4.1). This
// file is compiled with -msse4.1 and its kernel is called only once the CPU
// has been checked; it includes nothing that could emit shared inline code.
#include <smmintrin.h>

#include "dct_lanes.hpp"
#include "x86/kernels.hpp"

namespace {

using v4 = std::int32_t __attribute__((vector_size(16)));

inline __m128i m(v4 v) { return reinterpret_cast<__m128i>(v); }
inline v4 v(__m128i x) { return reinterpret_cast<v4>(x); }

// Size and value bits of four coefficients (see DctQuantFn). The size is
// the exponent of the magnitude converted to float, exact below 2^24; the
// mask of the value bits is the magnitude with every bit below its top bit
// set.
inline __m128i value_codes(__m128i q) {
  const __m128i a = _mm_abs_epi32(q);
  const __m128i exponent = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(a)), 23);
  const __m128i size = _mm_max_epi32(_mm_sub_epi32(exponent, _mm_set1_epi32(126)), _mm_setzero_si128());
  __m128i mask = _mm_or_si128(a, _mm_srli_epi32(a, 1));
  mask = _mm_or_si128(mask, _mm_srli_epi32(mask, 2));
  mask = _mm_or_si128(mask, _mm_srli_epi32(mask, 4));
  mask = _mm_or_si128(mask, _mm_srli_epi32(mask, 8));
  mask = _mm_or_si128(mask, _mm_srli_epi32(mask, 16));
  const __m128i bits = _mm_and_si128(_mm_add_epi32(q, _mm_srai_epi32(q, 31)), mask);
  return _mm_or_si128(_mm_slli_epi32(size, 16), bits);
}

// 4 x 4 transpose of 32-bit lanes.
inline void transpose4(const v4* in, v4* out) {
  const __m128i t0 = _mm_unpacklo_epi32(m(in[0]), m(in[1])), t1 = _mm_unpacklo_epi32(m(in[2]), m(in[3]));
  const __m128i t2 = _mm_unpackhi_epi32(m(in[0]), m(in[1])), t3 = _mm_unpackhi_epi32(m(in[2]), m(in[3]));
  out[0] = v(_mm_unpacklo_epi64(t0, t1));
  out[1] = v(_mm_unpackhi_epi64(t0, t1));
  out[2] = v(_mm_unpacklo_epi64(t2, t3));
  out[3] = v(_mm_unpackhi_epi64(t2, t3));
}

}  // namespace

std::uint64_t dct_quant_sse41(const std::uint8_t* p, std::size_t stride, const QuantTables& quant,
                              std::int32_t* block, std::uint32_t* codes) {
  const std::int32_t* const recip = quant.qu.data();
  // Level shift by flipping the top bit, then transpose the bytes so that
  // each 8-byte half below holds one column, rows 0 to 7.
  const __m128i flip = _mm_set1_epi8(-128);
  __m128i r[8];
  for (int i = 0; i < 8; ++i) {
    r[i] = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride * static_cast<std::size_t>(i))), flip);
  }
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]), a3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i c[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),
                        _mm_unpacklo_epi32(b1, b3), _mm_unpackhi_epi32(b1, b3)};
  // top[k], bottom[k]: column k of rows 0 to 3 and of rows 4 to 7.
  v4 top[8], bottom[8];
  for (int k = 0; k < 4; ++k) {
    top[2 * k] = v(_mm_cvtepi8_epi32(c[k]));
    bottom[2 * k] = v(_mm_cvtepi8_epi32(_mm_srli_si128(c[k], 4)));
    top[2 * k + 1] = v(_mm_cvtepi8_epi32(_mm_srli_si128(c[k], 8)));
    bottom[2 * k + 1] = v(_mm_cvtepi8_epi32(_mm_srli_si128(c[k], 12)));
  }
  pass_lanes(top);
  pass_lanes(bottom);

  // Back to rows: left[r] is row r, columns 0 to 3; right[r] columns 4 to 7.
  v4 left[8], right[8];
  transpose4(top, left);
  transpose4(bottom, left + 4);
  transpose4(top + 4, right);
  transpose4(bottom + 4, right + 4);
  pass_lanes(left);
  pass_lanes(right);

  // Quantize, store, and collect the nonzero bitmap two rows at a time.
  const __m128i zero = _mm_setzero_si128();
  std::uint64_t zeros = 0;
  __m128i rows[2];
  for (int i = 0; i < 8; ++i) {
    const v4 ql = v(_mm_loadu_si128(reinterpret_cast<const __m128i*>(recip + 8 * i)));
    const v4 qr = v(_mm_loadu_si128(reinterpret_cast<const __m128i*>(recip + 8 * i + 4)));
    const __m128i l = m((left[i] * ql + 32768) >> 16);
    const __m128i h = m((right[i] * qr + 32768) >> 16);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i), l);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i + 4), h);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + 8 * i), value_codes(l));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + 8 * i + 4), value_codes(h));
    rows[i & 1] = _mm_packs_epi32(l, h);
    if (i & 1) {
      const __m128i b = _mm_packs_epi16(rows[0], rows[1]);
      const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)));
      zeros |= static_cast<std::uint64_t>(bits) << (8 * (i - 1));
    }
  }
  return ~zeros;
}

namespace {

void code_blocks_sse41(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride, int count) {
  code_blocks(s, c, p, stride, count, dct_quant_sse41);
}

}  // namespace

const CodePath sse41_path = {"sse4.1", cpu_sse41, false, dct_quant_sse41, code_blocks_sse41, &sse41_colour, nullptr, nullptr};
