// Code paths of the encoder. Every path writes the same bytes; they differ
// only in speed. The best path the CPU supports is chosen on the first
// block; tests and the benchmark can force any supported one.
#pragma once

#include <cstdint>

enum Path : int {
  path_reference,  // dct2d, quantize, and emit_code for every code: the plain definition
  path_scalar,     // portable transform, block coder with a nonzero bitmap and 64-bit writer
  path_sse41,      // transform and quantization on 4 x 32-bit lanes
  path_avx2,       // transform and quantization on 8 x 32-bit lanes
  path_avx2_pair,  // two blocks at once on 16 x 16-bit lanes (needs every reciprocal < 2^15)
  path_count
};

const char* path_name(Path path);
// Whether this CPU can run the path.
bool path_supported(Path path);
// The fastest supported path.
Path best_path();
// Makes MCU use the path from now on; false (and no change) if unsupported.
bool select_path(Path path);
Path current_path();

#include "dct.hpp"

// The transform and quantization kernel of a path (dct_quant_scalar for
// the reference and scalar paths), for tests that compare them.
DctQuantFn dct_quant_kernel(Path path);

// Codes `count` blocks side by side, the first at p, with the selected path,
// as count MCU calls would; outbuffer must have room for count *
// max_block_bytes.
void run_blocks(const std::uint8_t* p, int count);
