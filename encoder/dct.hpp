// Integer forward DCT of one 8 x 8 block (Arai-Agui-Nakajima, 8-bit
// fixed-point constants). The outputs are the DCT coefficients times
// 8 * a(r) * a(c), a(0) = 1, a(k) = sqrt(2) cos(k pi / 16); the quantizer's
// reciprocals divide that scaling out.
#pragma once

#include <cstdint>

// Transforms 8 consecutive values in place.
void dct1d(std::int32_t* row);
// Transforms 8 values in place that lie 8 elements apart (one block column).
void dct1d_v(std::int32_t* column);
// Transforms a block of 64 values in natural order in place: rows, then columns.
void dct2d(std::int32_t* block);

// Level shift, transform and quantization of one block in a single call: the
// 8 x 8 samples at p (rows 1280 bytes apart) become the quantized
// coefficients in natural order in block, as MCU defines them. codes[i]
// receives what the block coder sends for a nonzero block[i]: its size (bit
// length of the magnitude) in bits 16 and up, and its value bits (the value,
// or the value - 1 when negative, in the low size bits) in bits 0 to 15;
// unspecified for a zero coefficient. Returns the bitmap of nonzero coefficients, bit i
// set when block[i] != 0.
using DctQuantFn = std::uint64_t (*)(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes);

// Portable: dct2d and quantize, then the codes and the bitmap.
std::uint64_t dct_quant_scalar(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes);
// The same on 4 x 32-bit lanes; only on a CPU with SSE4.1.
std::uint64_t dct_quant_sse41(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes);
// The same on 8 x 32-bit lanes; only on a CPU with AVX2.
std::uint64_t dct_quant_avx2(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes);

// Two horizontally adjacent blocks at once on 16 x 16-bit lanes; only on a
// CPU with AVX2, and only when every reciprocal fits 16 bits (qu_fits_16).
// The 8 x 16 samples at p (rows 1280 bytes apart) become the quantized
// coefficients of both blocks in coef, row by row: coef[16 r + c] is row r,
// column c of the left block, coef[16 r + 8 + c] of the right one.
// nonzero[0] and nonzero[1] get the two blocks' bitmaps (bit 8 r + c).
void dct_quant_pair_avx2(const std::uint8_t* p, std::int16_t* coef, std::uint64_t* nonzero);
// The same for the single block at p (the right half of coef and nonzero[1]
// are then meaningless); reads only the block's own 8 x 8 samples.
void dct_quant_one_avx2(const std::uint8_t* p, std::int16_t* coef, std::uint64_t* nonzero);
