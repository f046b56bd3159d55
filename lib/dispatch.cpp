#include "dispatch.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define BW_X86 1
#include "bitpack.hpp"
#include "x86/kernels.hpp"
#endif
#if defined(BW_HAVE_NEON)
#include "arm/kernels.hpp"
#endif

namespace {

#if BW_X86
// The 16-bit kernel with the interface of the others, for comparing them.
// It reads the reciprocals from a 32-bit table, which must fit 16 bits.
std::uint64_t dct_quant_avx2_pair_as_block(const std::uint8_t* p, std::size_t stride,
                                           const std::int32_t* recip, std::int32_t* block,
                                           std::uint32_t* codes) {
  alignas(32) std::int16_t coef[128];
  std::int16_t qu16x2[128];
  for (int i = 0; i < 128; ++i) qu16x2[i] = static_cast<std::int16_t>(recip[i / 16 * 8 + i % 8]);
  std::uint64_t nonzero[2];
  dct_quant_one_avx2(p, stride, qu16x2, coef, nonzero);
  for (int i = 0; i < 64; ++i) {
    block[i] = coef[i / 8 * 16 + i % 8];
    codes[i] = value_code(block[i]);
  }
  return nonzero[0];
}
#endif

}  // namespace

const char* path_name(Path path) {
  switch (path) {
    case path_reference: return "reference";
    case path_scalar: return "scalar";
    case path_sse41: return "sse4.1";
    case path_avx2: return "avx2";
    case path_avx2_pair: return "avx2-pair";
    case path_neon: return "neon";
    case path_avx512: return "avx512";
    case path_count: break;
  }
  return "none";
}

bool path_supported(Path path, const QuantTables& t) {
  switch (path) {
    case path_reference:
    case path_scalar: return true;
#if BW_X86
    case path_sse41: return cpu_has_sse41();
    case path_avx2: return cpu_has_avx2();
    case path_avx2_pair: return t.fits16 && cpu_has_avx2_bmi2();
#if BW_HAVE_AVX512
    case path_avx512: return t.fits16 && cpu_has_avx512_coder();
#endif
#endif
#if defined(BW_HAVE_NEON)
    case path_neon: return t.fits16 && cpu_has_neon();
#endif
    default: break;
  }
  (void)t;
  return false;
}

Path best_path(const QuantTables& t) {
  for (int p = path_count - 1; p > path_scalar; --p) {
    if (path_supported(static_cast<Path>(p), t)) return static_cast<Path>(p);
  }
  return path_scalar;
}

DctQuantFn dct_quant_kernel(Path path) {
  switch (path) {
#if BW_X86
    case path_sse41: return dct_quant_sse41;
    case path_avx2: return dct_quant_avx2;
    case path_avx2_pair: return dct_quant_avx2_pair_as_block;
#if BW_HAVE_AVX512
    case path_avx512: return dct_quant_avx512;
#endif
#endif
#if defined(BW_HAVE_NEON)
    case path_neon: return dct_quant_neon_as_block;
#endif
    default: return dct_quant_scalar;
  }
}

void run_blocks(Path path, CoderState& s, const QuantTables& t, const std::uint8_t* p,
                std::size_t stride, int count) {
  switch (path) {
    case path_reference: code_blocks_reference(s, t.qu.data(), p, stride, count); return;
#if BW_X86
    case path_sse41: code_blocks(s, t.qu.data(), p, stride, count, dct_quant_sse41); return;
    case path_avx2: code_blocks(s, t.qu.data(), p, stride, count, dct_quant_avx2); return;
    case path_avx2_pair: code_blocks_pair(s, t.qu16x2.data(), p, stride, count); return;
#if BW_HAVE_AVX512
    case path_avx512: code_blocks_avx512(s, t.qu16.data(), luminance_codes, p, stride, count); return;
#endif
#endif
#if defined(BW_HAVE_NEON)
    case path_neon: code_blocks_neon(s, t.qu16.data(), p, stride, count); return;
#endif
    default: code_blocks(s, t.qu.data(), p, stride, count, dct_quant_scalar); return;
  }
}
