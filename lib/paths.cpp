#include "paths.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include "x86/kernels.hpp"
#define BW_ARCH_PATHS x86_paths
#elif defined(BW_HAVE_NEON)
#include "arm/kernels.hpp"
#define BW_ARCH_PATHS arm_paths
#endif

namespace {

bool always(const QuantTables&) { return true; }

#if defined(BW_ARCH_PATHS)
constexpr std::size_t arch_count = std::size(BW_ARCH_PATHS);
#else
constexpr std::size_t arch_count = 0;
#endif

constexpr auto table = [] {
  std::array<const CodePath*, 2 + arch_count> t{&reference_path, &scalar_path};
#if defined(BW_ARCH_PATHS)
  for (std::size_t i = 0; i < arch_count; ++i) t[2 + i] = BW_ARCH_PATHS[i];
#endif
  return t;
}();

}  // namespace

const CodePath reference_path = {"reference", always, dct_quant_scalar, code_blocks_reference};
const CodePath scalar_path = {"scalar", always, dct_quant_scalar, code_blocks_scalar};

std::span<const CodePath* const> all_paths() { return table; }

const CodePath* find_path(const char* name) {
  for (const CodePath* p : table) {
    if (std::strcmp(p->name, name) == 0) return p;
  }
  return nullptr;
}

const CodePath& best_path(const QuantTables& q) {
  for (std::size_t i = table.size(); i-- > 2;) {
    if (table[i]->serves(q)) return *table[i];
  }
  return scalar_path;
}
