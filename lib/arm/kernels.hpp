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

// The paths, slowest first, each defined in its own file: neon_path
// (neon.cpp), blocks one at a time on 16-bit lanes, and a coder that visits
// only the nonzero coefficients. cpu.cpp says whether the CPU has NEON.
#define BW_ARCH_PATHS(X) X(neon_path)
BW_ARCH_PATHS(BW_DECLARE_PATH)

// The path's colour kernels (colour_neon.cpp), declared one by one in
// colour_kernels.hpp.
extern const ColourKernels neon_colour;

// Codes one quantized block (natural order, |v| < 1024) with the NEON
// path's coder and bitmap, with the same bytes and end state as
// code_block_reference: for the tests.
void code_block_neon(CoderState& s, const Component& c, const std::int16_t* coef);
