// The ARM code path: transform, quantization and the coder's sizes on
// NEON's 8 x 16-bit lanes, and the CPU check that says whether it may run.
// aarch64 always has NEON; on 32-bit ARM only the kernels' own file is
// built for it, and nothing there is called before the check
// (dispatch.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"

// Whether the CPU has NEON (Advanced SIMD).
bool cpu_has_neon();

// Codes `count` blocks side by side like code_blocks, with the reciprocals
// qu16 (natural order, each below 2^15).
void code_blocks_neon(CoderState& s, const std::int16_t* qu16, const std::uint8_t* p,
                      std::size_t stride, int count);

// The NEON kernel with the interface of the others (DctQuantFn), for
// comparing them; the reciprocals must fit 16 bits.
std::uint64_t dct_quant_neon_as_block(const std::uint8_t* p, std::size_t stride,
                                      const std::int32_t* recip, std::int32_t* block,
                                      std::uint32_t* codes);

// Codes one quantized block (natural order, |v| < 1024) with the NEON
// path's coder and bitmap, with the same bytes and end state as
// code_block_reference: for the tests.
void code_block_neon(CoderState& s, const std::int16_t* coef);
