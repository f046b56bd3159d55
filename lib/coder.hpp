// Block coder and bit writer: quantization, DC prediction, run/size Huffman
// coding of one 8 x 8 block, and packing of the codes into bytes with a 0x00
// stuffed after every 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dct.hpp"
#include "quant.hpp"

struct CodeTable;  // tables.hpp

// The most bytes one block can add to the coded-byte buffer: 7 pending bits,
// a DC code of at most 9 + 11 bits, 63 AC codes of at most 16 + 10 bits
// each, every byte possibly followed by a stuffed 0x00; and 16 more, as the
// fast coders store 8 bytes at a time past the last whole one, and look for
// 0xFF bytes 16 at a time.
inline constexpr std::size_t max_block_bytes = 2 * ((7 + 9 + 11 + 63 * (16 + 10)) / 8 + 1) + 16;

// Most components a frame can have; the DC prediction is per component.
inline constexpr std::size_t max_components = 3;

// The coder's state: it runs on from block to block and stripe to stripe,
// and only a restart marker resets it.
struct CoderState {
  std::int32_t lastDC[max_components] = {};  // quantized DC of each component's previous block
  std::uint64_t CodeVal = 0;   // pending bits, left-aligned from bit 23 down
  std::uint32_t CodeSize = 0;  // number of pending bits, 0 to 7 between calls
  std::uint8_t* optr = nullptr;  // next free byte of the coded-byte buffer
};

// What the block coders need of one component: its quantizer, its DC and AC
// code tables, and which DC prediction of the coder state is its own. Made
// for the length of a call: the quantizer lives in the encoder, which may
// move between calls.
struct Component {
  const QuantTables* quant;
  const CodeTable* dc;
  const CodeTable* ac;
  std::uint32_t index;  // its prediction is CoderState::lastDC[index]
};

// Appends the low n bits of code (1 <= n <= 16), most significant first.
void emit_code(CoderState& s, std::int32_t n, std::int32_t code);

// Completes a partial byte with 1-bits and drops the bits left pending, so
// that the stream stands on a byte boundary, as before a restart marker.
void pad_to_byte(CoderState& s);

// Writes the marker RSTm (m = 0 .. 7) on a byte boundary and starts the DC
// prediction of every component anew.
void put_restart_marker(CoderState& s, std::uint32_t m);

// Quantizes a transformed block in place: (v * qu + 32768) >> 16.
void quantize(std::int32_t* block, const std::int32_t* recip);

// Codes the 8 x 8 block whose top-left sample is p (rows stride bytes apart)
// by the plain definition: level shift, dct2d, quantize, and one emit_code
// call for every code and every value.
void MCU(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride);

// Codes one quantized block (natural order) with emit_code, as MCU does.
void code_block_reference(CoderState& s, const Component& c, const std::int32_t* block);

// What the coder sends for a nonzero coefficient v: its size (bit length of
// |v|) << 16 | its value bits (v, or v - 1 when negative, in the low size
// bits). See DctQuantFn in dct.hpp.
std::uint32_t value_code(std::int32_t v);

// Codes one quantized block (natural order) whose nonzero coefficients are
// the set bits of nonzero (bit i for block[i]), with codes[i] =
// value_code(block[i]) for those: visits only them, and packs the codes
// through a 64-bit accumulator. Leaves the state as code_block_reference does.
void code_block(CoderState& s, const Component& c, const std::int32_t* block,
                const std::uint32_t* codes, std::uint64_t nonzero);

// Codes `count` blocks of one component side by side, the first at p, each
// 8 samples right of the one before, through a transform kernel and
// code_block's coder, with the same bytes and end state as count MCU calls.
// The bits stay in the accumulator from block to block; the buffer must have
// room for count * max_block_bytes.
void code_blocks(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride,
                 int count, DctQuantFn kernel);

// Codes `count` blocks with MCU.
void code_blocks_reference(CoderState& s, const Component& c, const std::uint8_t* p,
                           std::size_t stride, int count);

// code_blocks with the portable kernel.
void code_blocks_scalar(CoderState& s, const Component& c, const std::uint8_t* p,
                        std::size_t stride, int count);

// Level shift, dct2d and quantize, then the codes and the bitmap: the
// portable kernel (see DctQuantFn).
std::uint64_t dct_quant_scalar(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                               std::int32_t* block, std::uint32_t* codes);
