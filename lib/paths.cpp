#include "paths.hpp"

#include <cstring>

#include "colour.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include "x86/kernels.hpp"
#elif defined(BW_HAVE_NEON)
#include "arm/kernels.hpp"
#else
#define BW_ARCH_PATHS(X)

std::uint32_t cpu_features() { return 0; }
#endif

namespace {

constexpr const CodePath* table[] = {&reference_path, &scalar_path, BW_ARCH_PATHS(BW_PATH_ADDRESS)};

}  // namespace

const ColourKernels scalar_colour = {rgb_to_ycc_line, down_h2_line, down_h2v2_line, down_v2_line,
                                     unpack_422_line, rgb_to_420_line};

const CodePath reference_path = {"reference", 0, false, dct_quant_scalar, code_blocks_reference, &scalar_colour, nullptr, nullptr};
const CodePath scalar_path = {"scalar", 0, false, dct_quant_scalar, code_blocks_scalar, &scalar_colour, nullptr, nullptr};

std::span<const CodePath* const> all_paths() { return table; }

const CodePath* find_path(const char* name) {
  for (const CodePath* p : table) {
    if (std::strcmp(p->name, name) == 0) return p;
  }
  return nullptr;
}

const CodePath& best_path(const QuantTables& q) {
  for (std::size_t i = std::size(table); i-- > 2;) {
    if (table[i]->serves(q)) return *table[i];
  }
  return scalar_path;
}
