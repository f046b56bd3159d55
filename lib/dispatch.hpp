// Code paths of the encoder. Every path writes the same bytes; they differ
// only in speed. Each encoder takes the best path that the CPU and its
// quantizer table allow; tests and the benchmark can force any one that may
// run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "quant.hpp"

enum Path : int {
  path_reference,  // dct2d, quantize, and emit_code for every code: the plain definition
  path_scalar,     // portable transform, block coder with a nonzero bitmap and 64-bit writer
  path_sse41,      // x86: transform and quantization on 4 x 32-bit lanes
  path_avx2,       // x86: transform and quantization on 8 x 32-bit lanes
  path_avx2_pair,  // x86: two blocks at once on 16 x 16-bit lanes (needs QuantTables::fits16)
  path_neon,       // ARM: two blocks at once on 16-bit NEON lanes (needs QuantTables::fits16)
  path_avx512,     // x86: the avx2-pair transform, dense blocks coded on AVX-512 vectors (fits16)
  path_count
};

const char* path_name(Path path);

// Whether this build and CPU can run the path with these tables.
bool path_supported(Path path, const QuantTables& t);

// The fastest path that can run with these tables.
Path best_path(const QuantTables& t);

// The transform and quantization kernel of a path on 32-bit coefficients
// (for the 16-bit paths, a wrapper with that interface), for tests that
// compare them; dct_quant_scalar for the reference and scalar paths.
DctQuantFn dct_quant_kernel(Path path);

// Codes `count` blocks side by side with a path, the first at p (rows stride
// bytes apart), as count MCU calls would; the buffer behind s.optr must have
// room for count * max_block_bytes.
void run_blocks(Path path, CoderState& s, const QuantTables& t, const std::uint8_t* p,
                std::size_t stride, int count);
