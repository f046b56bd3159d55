// The x86 code paths: kernels built for SSE4.1, AVX2 and BMI2, and the CPU
// checks that say which of them may run. Nothing here is called before the
// check (dispatch.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "dct.hpp"

struct BlockCodeTables;

// The AVX-512 path is built for x86-64 only.
#if defined(__x86_64__)
#define BW_HAVE_AVX512 1
#endif

// Whether the CPU has SSE4.1; AVX2; AVX2 with BMI1 and BMI2.
bool cpu_has_sse41();
bool cpu_has_avx2();
bool cpu_has_avx2_bmi2();
// Whether the CPU has what the AVX-512 path uses: AVX2, BMI1, BMI2 and
// AVX-512 F, BW, VL, VBMI and VBMI2.
bool cpu_has_avx512_coder();

// DctQuantFn kernels on 4 x 32-bit lanes (SSE4.1) and 8 x 32-bit lanes (AVX2).
std::uint64_t dct_quant_sse41(const std::uint8_t* p, std::size_t stride, const std::int32_t* recip,
                              std::int32_t* block, std::uint32_t* codes);
std::uint64_t dct_quant_avx2(const std::uint8_t* p, std::size_t stride, const std::int32_t* recip,
                             std::int32_t* block, std::uint32_t* codes);

// Two horizontally adjacent blocks at once on 16 x 16-bit lanes (AVX2), with
// the reciprocals qu16x2 (each below 2^15; QuantTables::qu16x2 has each row
// of 8 twice over, one for each block). The 8 x 16 samples
// at p (rows stride bytes apart) become the quantized coefficients of both
// blocks in coef, row by row: coef[16 r + c] is row r, column c of the left
// block, coef[16 r + 8 + c] of the right one. nonzero[0] and nonzero[1] get
// the two blocks' bitmaps (bit 8 r + c).
void dct_quant_pair_avx2(const std::uint8_t* p, std::size_t stride, const std::int16_t* qu16x2,
                         std::int16_t* coef, std::uint64_t* nonzero);
// The same for the single block at p (the right half of coef and nonzero[1]
// are then meaningless); reads only the block's own 8 x 8 samples.
void dct_quant_one_avx2(const std::uint8_t* p, std::size_t stride, const std::int16_t* qu16x2,
                        std::int16_t* coef, std::uint64_t* nonzero);

// Codes one quantized block laid out as the 16-bit kernels leave it
// (coefficient (r, c) at coef[16 r + c]) with nonzero bitmap `nonzero`, with
// the same bytes and end state as code_block.
void code_block16(CoderState& s, const std::int16_t* coef, std::uint64_t nonzero);

// Codes `count` blocks side by side like code_blocks, two at a time through
// the 16-bit kernel and a BMI2 coder.
void code_blocks_pair(CoderState& s, const std::int16_t* qu16x2, const std::uint8_t* p,
                      std::size_t stride, int count);

#if BW_HAVE_AVX512
// The AVX-512 path: codes `count` blocks side by side like code_blocks,
// four at a time through a transform on 32 x 16-bit lanes (the pair path's,
// twice as wide) with the reciprocals qu16 (QuantTables::qu16, each below
// 2^15), and with the code tables t; dense blocks are coded in 512-bit
// vectors.
void code_blocks_avx512(CoderState& s, const std::int16_t* qu16, const BlockCodeTables& t,
                        const std::uint8_t* p, std::size_t stride, int count);

// Its transform on one block, as a DctQuantFn (the reciprocals must fit 16
// bits).
std::uint64_t dct_quant_avx512(const std::uint8_t* p, std::size_t stride, const std::int32_t* recip,
                               std::int32_t* block, std::uint32_t* codes);

// Its block coder on one block laid out as code_block16 takes it, coding in
// vectors the blocks with at least dense_from nonzero AC coefficients and no
// run of 16 zeros or more: the same bytes and end state as code_block16 with
// the luminance tables.
void code_block_avx512(CoderState& s, const BlockCodeTables& t, const std::int16_t* coef,
                       unsigned dense_from);
#endif
