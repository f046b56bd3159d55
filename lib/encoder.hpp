// The encoder object: every table, buffer and piece of state of one
// encoding, in one plain struct that lives in the caller's bw_encoder. No
// pointer in it points into itself between calls, so the caller may move or
// copy it (a parallel encoder's copy shares its threads: only one of the two
// may be used; see parallel.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "blockwright.h"
#include "coder.hpp"
#include "colour_call.hpp"
#include "parallel.hpp"
#include "paths.hpp"
#include "quant.hpp"
#include "tables.hpp"

// The coded-byte buffer: its contents go to the write callback whenever it
// has no room for a run of blocks, so no block can overrun it, however
// noisy the picture (a stripe of 160 blocks of noise codes to about 4.5 KiB,
// a frame of the sample pictures to 100 to 180 KiB, written in a dozen or so
// calls).
inline constexpr std::size_t outbuffer_size = 16384;
static_assert(outbuffer_size <= 16384, "the write callback is promised pieces of at most 16 KiB");

// The most bytes a block adds with a restart marker after it: the block, a
// padded byte with its stuffed 0x00, and the marker.
inline constexpr std::size_t max_block_marker_bytes = max_block_bytes + 4;
static_assert(max_block_marker_bytes * 32 < outbuffer_size);

// Blocks at the right or bottom edge of the frame that lack samples are
// coded from a copy with the last column and row repeated, this many
// blocks at a time.
inline constexpr std::size_t edge_blocks = 8;
inline constexpr std::size_t edge_stride = 8 * edge_blocks;

// Colour frames, and colour inputs coded as grayscale: the lines of a call
// are converted and reduced colour_chunk pixels at a time into planes of
// whole MCUs, edges padded, and coded from there. The wider the chunk, the
// fewer the calls (each costs the conversion and the coder a few hundred
// instructions); the planes of 256 pixels keep the encoder within
// BW_ENCODER_SIZE with room to spare.
inline constexpr std::uint32_t colour_chunk = 256;

// Paths that code colour MCUs in one call (CodePath::code_mixed) get a
// chunk's blocks copied side by side in stream order, at most mixed_blocks
// of them a call, lines mixed_stride bytes apart.
inline constexpr std::size_t mixed_blocks = 48;  // 8 MCUs at 4:2:0, 12 at 4:2:2, 16 at 4:4:4
inline constexpr std::size_t mixed_stride = 8 * mixed_blocks;

// The planes of one chunk of an MCU row, lines colour_chunk bytes apart;
// each thread that codes colour has its own.
struct ColourPlanes {
  std::uint8_t y[16 * colour_chunk];  // 8 x vy lines
  std::uint8_t cb[8 * colour_chunk];
  std::uint8_t cr[8 * colour_chunk];
  // Filling a chunk and coding it never overlap: the scratch lines of the
  // one and the blocks side by side of the other share their bytes.
  union {
    std::uint8_t tmp[4 * colour_chunk];  // full-width Cb, Cr of two lines
    std::uint8_t mixed[8 * mixed_stride];
  };
};

struct ColourState {
  std::uint32_t input;       // BW_INPUT_*, not BW_INPUT_GRAY
  std::uint32_t components;  // 3, or 1 for Y alone
  std::uint32_t hy, vy;      // Y's sampling factors (1 x 1 for Y alone)
  QuantTables chroma;        // quantizer table 1
  ColourPlanes planes;       // the calling thread's
};

struct Encoder {
  std::uint32_t magic;  // encoder_ready while lines and finish are taken
  std::uint32_t width, height, restart_interval;
  std::uint32_t blocks_x;      // MCUs (grayscale: blocks) per row of MCUs
  std::uint32_t blocks_total;  // MCUs of the frame
  std::uint32_t lines_done;    // lines coded so far
  std::uint32_t blocks_done;   // MCUs coded so far
  std::uint32_t restart_left;  // MCUs until the next restart marker
  std::uint32_t next_rst;      // m of the next RSTm, 0 to 7
  std::uint32_t out_used;      // bytes waiting in outbuffer
  std::uint32_t threads;       // threads asked for, 1 to BW_MAX_THREADS
  Parallel* parallel;          // threads and buffers once a call used them, else null
  const CodePath* path;        // the kernels, chosen once by encoder_init
  bw_write_fn write;
  void* user;
  CoderState coder;  // coder.optr is valid only within a call
  QuantTables tables;
  std::uint8_t edge[8 * edge_stride];
  std::uint8_t outbuffer[outbuffer_size];
  bool colour;      // the input is not BW_INPUT_GRAY: col holds its state
  ColourState col;
};

// What the coders need of the frame's one component, for the length of a
// call (it points into the encoder).
inline Component luma(const Encoder& e) { return {&e.tables, &luma_dc, &luma_ac, 0}; }

inline constexpr std::uint32_t encoder_ready = 0x42577231;  // "BWr1"

static_assert(sizeof(Encoder) <= BW_ENCODER_SIZE, "BW_ENCODER_SIZE must hold the encoder");
static_assert(alignof(Encoder) <= alignof(bw_encoder));

// Copies blocks first .. first + n - 1 (n <= edge_blocks) of the stripe at p,
// rows lines of which exist, in a frame width samples wide, into out (rows
// edge_stride apart), repeating the last line and column.
// (Here, not in stream.cpp, so that the threads' chunk coding in chunks.cpp
// uses it without calling back into the file that calls it.)
inline void copy_edge(std::uint8_t* out, const std::uint8_t* p, std::size_t stride, std::uint32_t rows,
                      std::uint32_t width, std::uint32_t first, std::uint32_t n) {
  const std::uint32_t x0 = 8 * first, last = width - 1;
  for (std::uint32_t r = 0; r < 8; ++r) {
    const std::uint8_t* line = p + std::min(r, rows - 1) * stride;
    std::uint8_t* o = out + r * edge_stride;
    for (std::uint32_t c = 0; c < 8 * n; ++c) o[c] = line[std::min(x0 + c, last)];
  }
}

// Checks the settings: BW_OK or the status that refuses them. cfg must be
// a whole bw_config (check its struct_size first).
int check_config(const bw_config& cfg);

// Sets up an encoder for valid settings: the tables, the best path for them,
// and the header waiting in outbuffer; with metadata segments, the header up
// to them and the segments go to the write callback at once: BW_OK or
// BW_E_CALLBACK.
int encoder_init(Encoder& e, const bw_config& cfg, bw_write_fn write, void* user);

// Codes count lines of a colour input (a whole number of MCU rows, or the
// rest of the frame; checked by the caller), as encoder_write_lines does.
int colour_write_lines(Encoder& e, const Planes& in, std::uint32_t count);

// Sets up e.col for a colour input (e.colour is set) and writes the header
// into outbuffer: its size.
std::size_t colour_init(Encoder& e, const bw_config& cfg);

// Whether an input kind is planar; its chroma planes' sampling factors.
bool input_planar(std::uint32_t input);

// Codes count lines (a multiple of 8, or the rest of the frame) and ends the
// frame; each returns BW_OK or the status that stopped it.
int encoder_write_lines(Encoder& e, const std::uint8_t* lines, std::size_t stride,
                        std::uint32_t count);
int encoder_write_planes(Encoder& e, const Planes& in, std::uint32_t count);
int encoder_finish(Encoder& e);

// Sends the bytes coded so far to the write callback and empties the
// buffer: BW_OK or BW_E_CALLBACK.
inline int encoder_flush(Encoder& e) {
  const auto n = static_cast<std::size_t>(e.coder.optr - e.outbuffer);
  e.coder.optr = e.outbuffer;
  if (n != 0 && e.write(e.user, e.outbuffer, n) != 0) return BW_E_CALLBACK;
  return BW_OK;
}

// The encoder inside a caller's bw_encoder.
inline Encoder& encoder_of(bw_encoder* enc) { return *reinterpret_cast<Encoder*>(enc->opaque_.bytes_); }
