// The ARM code path: transform, quantization and the coder's sizes on
// NEON's 8 x 16-bit lanes, and the CPU check that says whether it may run.
// aarch64 always has NEON; on 32-bit ARM only the kernels' own file is
// built for it (lib/CMakeLists.txt), and nothing there runs before the
// check (paths.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "paths.hpp"

// Whether the CPU has NEON (Advanced SIMD); the path's `serves`, which also
// needs QuantTables::fits16 (cpu.cpp).
bool cpu_has_neon();
bool serves_neon(const QuantTables& q);

// Blocks one at a time on 16-bit lanes, and a coder that visits only the
// nonzero coefficients (neon.cpp).
extern const CodePath neon_path;
inline constexpr const CodePath* arm_paths[] = {&neon_path};

// Codes one quantized block (natural order, |v| < 1024) with the NEON
// path's coder and bitmap, with the same bytes and end state as
// code_block_reference: for the tests.
void code_block_neon(CoderState& s, const Component& c, const std::int16_t* coef);
