// Differential fuzz target for the code paths. The first 64 bytes are an
// 8 x 8 block of samples: every path's transform and quantization kernel
// must give the reference coefficients (dct2d, quantize), bitmap and codes.
// With at least 131 bytes, bytes 64 to 191 (zero-padded) are also read as 64
// quantized coefficients (16-bit, folded into -1023 ... 1023) and bytes
// 192 ... (or the last three) as a coder state: the bitmap coder must write
// the bytes emit_code writes and leave the same state, and so must the 16-bit
// coders of the pair, AVX-512 and NEON paths.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "coder.hpp"
#include "dct.hpp"
#include "paths.hpp"
#include "quant.hpp"
#include "tables.hpp"
#if defined(__x86_64__) || defined(__i386__)
#include "x86/kernels.hpp"
#endif
#if defined(BW_HAVE_NEON)
#include "arm/kernels.hpp"
#endif

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

constexpr std::size_t stride = 1280;
std::uint8_t stripe[8 * stride];

const QuantTables& tables() {
  static const QuantTables t = [] {
    QuantTables q{};
    make_quant_tables(builtin_quality, q);
    return q;
  }();
  return t;
}

void check_kernels(const std::uint8_t* samples) {
  for (int r = 0; r < 8; ++r) std::memcpy(stripe + 1280 * r, samples + 8 * r, 8);
  std::int32_t want[64];
  for (int i = 0; i < 64; ++i) want[i] = samples[i] - 128;
  dct2d(want);
  quantize(want, qu.data());
  for (const CodePath* path : all_paths()) {
    if (!path->serves(tables())) continue;
    std::int32_t got[64];
    std::uint32_t codes[64];
    const std::uint64_t nonzero = path->dct_quant(stripe, stride, tables(), got, codes);
    for (int i = 0; i < 64; ++i) {
      check(got[i] == want[i]);
      check((nonzero >> i & 1) == (want[i] != 0));
      if (want[i] != 0) check(codes[i] == value_code(want[i]));
    }
  }
}

struct Snapshot {
  std::uint8_t bytes[2 * 1024];
  std::size_t count;
  std::uint32_t size, pending;
  std::int32_t last_dc;
};

std::uint8_t outbuffer[2 * 1024];
CoderState coder;

void start(std::uint32_t size, std::uint32_t pending, std::int32_t last_dc) {
  coder = CoderState{};
  coder.optr = outbuffer;
  coder.CodeSize = size;
  coder.CodeVal = static_cast<std::uint64_t>(pending) << (24 - size);
  coder.lastDC[0] = last_dc;
}

void snap(Snapshot& s) {
  s.count = static_cast<std::size_t>(coder.optr - outbuffer);
  std::memcpy(s.bytes, outbuffer, s.count);
  s.size = coder.CodeSize;
  s.pending = static_cast<std::uint32_t>(coder.CodeVal >> (24 - coder.CodeSize)) & ((1u << coder.CodeSize) - 1u);
  s.last_dc = coder.lastDC[0];
}

void check_coder(const std::uint8_t* data, std::size_t size) {
  std::uint8_t raw[128 + 3] = {};
  std::memcpy(raw, data + 64, std::min<std::size_t>(size - 64, sizeof raw));
  std::int32_t block[64];
  std::uint32_t codes[64];
  std::uint64_t nonzero = 0;
  for (int i = 0; i < 64; ++i) {
    const auto v = static_cast<std::int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    block[i] = v % 1024;
    nonzero |= static_cast<std::uint64_t>(block[i] != 0) << i;
    codes[i] = value_code(block[i]);
  }
  const std::uint32_t bits = raw[128] % 8;
  const std::uint32_t pending = raw[129] & ((1u << bits) - 1u);
  const std::int32_t last_dc = static_cast<std::int32_t>(raw[130] * 8) - 1024;

  static Snapshot want, got;
  const Component luma{&tables(), &luma_dc, &luma_ac, 0};
  start(bits, pending, last_dc);
  code_block_reference(coder, luma, block);
  snap(want);
  start(bits, pending, last_dc);
  code_block(coder, luma, block, codes, nonzero);
  snap(got);
  check(want.count == got.count && std::memcmp(want.bytes, got.bytes, want.count) == 0);
  check(want.size == got.size && want.pending == got.pending && want.last_dc == got.last_dc);
#if defined(__x86_64__) || defined(__i386__)
  if (avx2_pair_path.serves(tables())) {
    std::int16_t coef[128] = {};
    for (int i = 0; i < 64; ++i) coef[i / 8 * 16 + i % 8] = static_cast<std::int16_t>(block[i]);
    start(bits, pending, last_dc);
    code_block16(coder, luma, coef, nonzero);
    snap(got);
    check(want.count == got.count && std::memcmp(want.bytes, got.bytes, want.count) == 0);
    check(want.size == got.size && want.pending == got.pending && want.last_dc == got.last_dc);
#if BW_HAVE_AVX512
    // The AVX-512 coder, in vectors (unless there is a ZRL) and the scalar way.
    for (const unsigned dense_from : {0u, 64u}) {
      if (!avx512_path.serves(tables())) break;
      start(bits, pending, last_dc);
      code_block_avx512(coder, luma, coef, dense_from);
      snap(got);
      check(want.count == got.count && std::memcmp(want.bytes, got.bytes, want.count) == 0);
      check(want.size == got.size && want.pending == got.pending && want.last_dc == got.last_dc);
    }
#endif
  }
#endif
#if defined(BW_HAVE_NEON)
  if (neon_path.serves(tables())) {
    std::int16_t coef[64];
    for (int i = 0; i < 64; ++i) coef[i] = static_cast<std::int16_t>(block[i]);
    start(bits, pending, last_dc);
    code_block_neon(coder, luma, coef);
    snap(got);
    check(want.count == got.count && std::memcmp(want.bytes, got.bytes, want.count) == 0);
    check(want.size == got.size && want.pending == got.pending && want.last_dc == got.last_dc);
  }
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t samples[64] = {};
  std::memcpy(samples, data, std::min<std::size_t>(size, 64));
  check_kernels(samples);
  if (size >= 131) check_coder(data, size);
  return 0;
}
