// Block coder and bit writer: quantization, DC prediction, run/size Huffman
// coding of one 8 x 8 block, and packing of the codes into bytes with a 0x00
// stuffed after every 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dct.hpp"

// The coded-byte buffer: the stream writer sends its contents whenever fewer
// than max_block_bytes are free, so no block can overrun it, however noisy
// the picture (a stripe of noise codes to about 4.5 KiB, a frame of the
// sample pictures to 100 to 180 KiB, written in a dozen or so writes).
inline constexpr std::size_t outbuffer_size = 16384;

// The most bytes one block can add to outbuffer: 7 pending bits, a DC code of
// at most 9 + 11 bits, 63 AC codes of at most 16 + 10 bits each, every byte
// possibly followed by a stuffed 0x00; and 3 more, as the fast coder may store
// a whole 32-bit word when fewer of its bytes are complete.
inline constexpr std::size_t max_block_bytes = 2 * ((7 + 9 + 11 + 63 * (16 + 10)) / 8 + 1) + 3;
static_assert(max_block_bytes < outbuffer_size / 4);

// Coder state; runs on from block to block and stripe to stripe.
extern std::int32_t lastDC;       // quantized DC of the previous block
extern std::uint64_t CodeVal;     // pending bits, left-aligned from bit 23 down
extern std::uint32_t CodeSize;    // number of pending bits, 0 to 7 between calls
extern std::uint8_t outbuffer[outbuffer_size];
extern std::uint8_t* optr;        // next free byte of outbuffer

// Appends the low n bits of code (1 <= n <= 16), most significant first.
void emit_code(std::int32_t n, std::int32_t code);

// Codes the 8 x 8 block whose top-left sample is p; rows are 1280 bytes apart.
// Runs the selected code path (paths.hpp); all paths write the same bytes.
void MCU(const std::uint8_t* p);

// The plain definition of MCU: dct2d, quantize, and one emit_code call for
// every code and every value.
void MCU_reference(const std::uint8_t* p);

// Codes one quantized block (natural order) with emit_code, as MCU_reference.
void code_block_reference(const std::int32_t* block);

// What the coder sends for a nonzero coefficient v: its size (bit length of
// |v|) << 16 | its value bits (v, or v - 1 when negative, in the low size
// bits). See DctQuantFn in dct.hpp.
std::uint32_t value_code(std::int32_t v);

// Codes one quantized block (natural order) whose nonzero coefficients are
// the set bits of nonzero (bit i for block[i]), with codes[i] =
// value_code(block[i]) for those: visits only them, and packs the codes
// through a 64-bit accumulator. Leaves lastDC, CodeVal, CodeSize and optr as
// code_block_reference does.
void code_block(const std::int32_t* block, const std::uint32_t* codes, std::uint64_t nonzero);

// Codes `count` blocks side by side, the first at p, each 8 samples right of
// the one before, through a transform kernel and code_block's coder, with
// the same bytes and end state as count MCU calls. The bits stay in the
// accumulator from block to block; outbuffer must have room for count *
// max_block_bytes.
void code_blocks(const std::uint8_t* p, int count, DctQuantFn kernel);

// Codes `count` blocks side by side like code_blocks, two at a time through
// the 16-bit AVX2 kernel (dct_quant_pair_avx2); only where that path runs.
void code_blocks_pair(const std::uint8_t* p, int count);

// Codes one quantized block laid out as the 16-bit kernels leave it
// (coefficient (r, c) at coef[16 r + c]) with nonzero bitmap `nonzero`, with
// the same bytes and end state as code_block.
void code_block16(const std::int16_t* coef, std::uint64_t nonzero);

// Quantizes a transformed block in place: (v * qu + 32768) >> 16.
void quantize(std::int32_t* block);

// Puts the coder back in its start state: predictor 0, no pending bits,
// outbuffer empty.
void reset_coder();
