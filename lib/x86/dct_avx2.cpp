// Transform and quantization of one block on 8 x 32-bit lanes (AVX2). This
// file is compiled with -mavx2 and its kernel is called only once the CPU has
// been checked; it includes nothing that could emit shared inline code.
#include <immintrin.h>

#include "dct_lanes.hpp"
#include "x86/kernels.hpp"

namespace {

using v8 = std::int32_t __attribute__((vector_size(32)));

inline __m256i m(v8 v) { return reinterpret_cast<__m256i>(v); }
inline v8 v(__m256i x) { return reinterpret_cast<v8>(x); }

// Size and value bits of eight coefficients (see DctQuantFn). The size is
// the exponent of the magnitude converted to float, exact below 2^24; for a
// zero coefficient it comes out negative, which no one reads.
inline __m256i value_codes(__m256i q) {
  const __m256i a = _mm256_abs_epi32(q);
  const __m256i exponent = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(a)), 23);
  const __m256i size = _mm256_sub_epi32(exponent, _mm256_set1_epi32(126));  // unused for 0
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i mask = _mm256_sub_epi32(_mm256_sllv_epi32(one, size), one);
  const __m256i bits = _mm256_and_si256(_mm256_add_epi32(q, _mm256_srai_epi32(q, 31)), mask);
  return _mm256_or_si256(_mm256_slli_epi32(size, 16), bits);
}

}  // namespace

std::uint64_t dct_quant_avx2(const std::uint8_t* p, std::size_t stride, const QuantTables& quant,
                              std::int32_t* block, std::uint32_t* codes) {
  const std::int32_t* const recip = quant.qu.data();
  // Eight rows of 8 samples.
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride * static_cast<std::size_t>(i)));
  // Transpose the bytes, so that each vector below holds one column with the
  // rows in its lanes: the row pass then works on all eight rows at once.
  // Flipping the top bit turns s into s - 128 as a signed byte, which is
  // the level shift.
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]), a3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i flip = _mm_set1_epi8(-128);
  const __m128i c[4] = {_mm_xor_si128(_mm_unpacklo_epi32(b0, b2), flip), _mm_xor_si128(_mm_unpackhi_epi32(b0, b2), flip),
                        _mm_xor_si128(_mm_unpacklo_epi32(b1, b3), flip), _mm_xor_si128(_mm_unpackhi_epi32(b1, b3), flip)};
  v8 x[8];
  for (int k = 0; k < 4; ++k) {
    x[2 * k] = v(_mm256_cvtepi8_epi32(c[k]));
    x[2 * k + 1] = v(_mm256_cvtepi8_epi32(_mm_unpackhi_epi64(c[k], c[k])));
  }
  pass_lanes(x);

  // Transpose back: y[r] holds row r with the columns in its lanes.
  __m256i t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(m(x[i]), m(x[i + 1]));
    t[i + 1] = _mm256_unpackhi_epi32(m(x[i]), m(x[i + 1]));
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  v8 y[8];
  for (int i = 0; i < 4; ++i) {
    y[i] = v(_mm256_permute2x128_si256(u[i], u[i + 4], 0x20));
    y[i + 4] = v(_mm256_permute2x128_si256(u[i], u[i + 4], 0x31));
  }
  pass_lanes(y);

  // Quantize row by row: (v * qu + 32768) >> 16, the product on 32 bits.
  __m256i q[8];
  for (int i = 0; i < 8; ++i) {
    const v8 rq = v(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(recip + 8 * i)));
    q[i] = m((y[i] * rq + 32768) >> 16);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 8 * i), q[i]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + 8 * i), value_codes(q[i]));
  }

  // Nonzero bitmap: narrow to bytes (saturation keeps nonzero values
  // nonzero), restore row order, compare with zero.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i zero = _mm256_setzero_si256();
  std::uint64_t zeros = 0;
  for (int half = 0; half < 2; ++half) {
    const __m256i* h = q + 4 * half;
    const __m256i b = _mm256_permutevar8x32_epi32(
        _mm256_packs_epi16(_mm256_packs_epi32(h[0], h[1]), _mm256_packs_epi32(h[2], h[3])), order);
    const auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)));
    zeros |= static_cast<std::uint64_t>(bits) << (32 * half);
  }
  return ~zeros;
}

namespace {

void code_blocks_avx2(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride, int count) {
  code_blocks(s, c, p, stride, count, dct_quant_avx2);
}

}  // namespace

const CodePath avx2_path = {"avx2", cpu_avx2, false, dct_quant_avx2, code_blocks_avx2, &avx2_colour, nullptr, nullptr};
