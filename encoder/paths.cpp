#include "paths.hpp"

#include "coder.hpp"
#include "tables.hpp"

namespace {

// The 16-bit kernel with the interface of the others, for comparing them.
std::uint64_t dct_quant_avx2_pair_as_block(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes) {
  alignas(32) std::int16_t coef[128];
  std::uint64_t nonzero[2];
  dct_quant_one_avx2(p, coef, nonzero);
  for (int i = 0; i < 64; ++i) {
    block[i] = coef[i / 8 * 16 + i % 8];
    codes[i] = value_code(block[i]);
  }
  return nonzero[0];
}

Path active = path_count;  // none chosen yet
DctQuantFn kernel = nullptr;  // the active path's kernel; none for the reference

}  // namespace

const char* path_name(Path path) {
  switch (path) {
    case path_reference: return "reference";
    case path_scalar: return "scalar";
    case path_sse41: return "sse4.1";
    case path_avx2: return "avx2";
    case path_avx2_pair: return "avx2-pair";
    case path_count: break;
  }
  return "none";
}

bool path_supported(Path path) {
  __builtin_cpu_init();
  switch (path) {
    case path_reference:
    case path_scalar: return true;
    case path_sse41: return __builtin_cpu_supports("sse4.1");
    case path_avx2: return __builtin_cpu_supports("avx2");
    case path_avx2_pair:
      return qu_fits_16 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("bmi2");
    case path_count: break;
  }
  return false;
}

Path best_path() {
  for (int p = path_count - 1; p > path_scalar; --p) {
    if (path_supported(static_cast<Path>(p))) return static_cast<Path>(p);
  }
  return path_scalar;
}

DctQuantFn dct_quant_kernel(Path path) {
  switch (path) {
    case path_sse41: return dct_quant_sse41;
    case path_avx2: return dct_quant_avx2;
    case path_avx2_pair: return dct_quant_avx2_pair_as_block;
    default: return dct_quant_scalar;
  }
}

bool select_path(Path path) {
  if (!path_supported(path)) return false;
  active = path;
  kernel = path == path_reference ? nullptr : dct_quant_kernel(path);
  return true;
}

Path current_path() {
  if (active == path_count) select_path(best_path());
  return active;
}

void run_blocks(const std::uint8_t* p, int count) {
  if (active == path_count) select_path(best_path());
  if (active == path_avx2_pair) {
    code_blocks_pair(p, count);
    return;
  }
  if (kernel == nullptr) {
    for (int i = 0; i < count; ++i) MCU_reference(p + 8 * i);
    return;
  }
  code_blocks(p, count, kernel);
}
