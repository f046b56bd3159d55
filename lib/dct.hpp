// Integer forward DCT of one 8 x 8 block (Arai-Agui-Nakajima, 8-bit
// fixed-point constants). The outputs are the DCT coefficients times
// 8 * a(r) * a(c), a(0) = 1, a(k) = sqrt(2) cos(k pi / 16); the quantizer's
// reciprocals divide that scaling out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quant.hpp"

// Transforms 8 consecutive values in place.
void dct1d(std::int32_t* row);
// Transforms 8 values in place that lie 8 elements apart (one block column).
void dct1d_v(std::int32_t* column);
// Transforms a block of 64 values in natural order in place: rows, then columns.
void dct2d(std::int32_t* block);

// Level shift, transform and quantization of one block in a single call: the
// 8 x 8 samples at p (rows stride bytes apart) become the quantized
// coefficients in natural order in block, with the quantizer q (each kernel
// reads the form of the reciprocals it needs), as MCU defines them. codes[i] receives what the block coder sends
// for a nonzero block[i]: its size (bit length of the magnitude) in bits 16
// and up, and its value bits (the value, or the value - 1 when negative, in
// the low size bits) in bits 0 to 15; unspecified for a zero coefficient.
// Returns the bitmap of nonzero coefficients, bit i set when block[i] != 0.
using DctQuantFn = std::uint64_t (*)(const std::uint8_t* p, std::size_t stride,
                                     const QuantTables& q, std::int32_t* block,
                                     std::uint32_t* codes);
