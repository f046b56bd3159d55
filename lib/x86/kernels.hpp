// The x86 code paths: kernels built for SSE4.1, AVX2 and BMI2, each file
// with its instruction set's compiler flags (lib/CMakeLists.txt), and the
// CPU checks, built for the baseline CPU, that say which of them may run.
// Nothing in a kernel's file runs before its check (paths.cpp).
//
// A file built with such flags keeps every function to itself (anonymous
// namespace) but its kernels, and calls no inline function or template of a
// shared header whose code could depend on the instruction set (indexing a
// std::array is as far as they go): such a function can be emitted out of
// line, and the linker could keep that copy for the portable code too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "dct.hpp"
#include "paths.hpp"

// The paths, slowest first, each defined in its own file: sse41_path
// (dct_sse41.cpp) and avx2_path (dct_avx2.cpp), transform and quantization
// on 4 and 8 x 32-bit lanes, then the portable bitmap coder; avx2_pair_path
// (pair_avx2.cpp), two blocks at once on 16 x 16-bit lanes and a BMI2 coder;
// on x86-64, avx512_path (coder_avx512.cpp), the pair path's transform on
// vectors twice as wide, four blocks at once, and a coder that codes pairs
// of short blocks, and dense blocks, in 512-bit vectors.
#if defined(__x86_64__)
#define BW_HAVE_AVX512 1
#define BW_ARCH_PATHS(X) X(sse41_path) X(avx2_path) X(avx2_pair_path) X(avx512_path)
#else
#define BW_ARCH_PATHS(X) X(sse41_path) X(avx2_path) X(avx2_pair_path)
#endif
BW_ARCH_PATHS(BW_DECLARE_PATH)

// The colour kernels of sse4.1 (colour_sse41.cpp) and of both AVX2 paths
// (colour_avx2.cpp), declared one by one in colour_kernels.hpp.
extern const ColourKernels sse41_colour;
extern const ColourKernels avx2_colour;
extern const ColourKernels avx512_colour;  // x86-64: colour_avx512.cpp

// The transform kernels of sse4.1 and avx2 (DctQuantFn).
std::uint64_t dct_quant_sse41(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                              std::int32_t* block, std::uint32_t* codes);
std::uint64_t dct_quant_avx2(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
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

// Codes one quantized block laid out as the 16-bit kernels leave it
// (coefficient (r, c) at coef[16 r + c]) with nonzero bitmap `nonzero`, with
// the same bytes and end state as code_block: for the tests.
void code_block16(CoderState& s, const Component& c, const std::int16_t* coef, std::uint64_t nonzero);

#if BW_HAVE_AVX512
// The AVX-512 path's block coder on one block laid out as code_block16 takes
// it, coding in vectors when it has at least dense_from nonzero AC
// coefficients and no run of 16 zeros or more: the same bytes and end state
// as code_block16, for the tests.
void code_block_avx512(CoderState& s, const Component& c, const std::int16_t* coef, unsigned dense_from);
// Its coder of two blocks in turn (each 64 coefficients in natural order):
// the same bytes and end state as code_block16 on a, then on b.
void code_pair_avx512(CoderState& s, const Component& c, const std::int16_t* a, const std::int16_t* b);
#endif
