// Chunk coding: the blocks of a call that the threads share are cut into
// chunks, and each chunk is coded into a buffer of its own from an empty
// coder state and the DC prediction one thread would hold there, so that
// the join (join.hpp) can append it to the stream as if the encoder had
// coded it. docs/threads.md describes the scheme.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "colour_call.hpp"
#include "paths.hpp"

struct Encoder;

// Chunks: at least min_chunk blocks (so the seed transform, the locking and
// the join's bookkeeping stay far below the coding), at most max_chunk (so a
// chunk's buffer stays under a megabyte), and about chunks_per_thread a
// thread for a frame, so that the last chunks, coded while other threads may
// idle, are short.
inline constexpr std::uint32_t min_chunk = 256;
inline constexpr std::uint32_t max_chunk = 2048;
inline constexpr std::uint32_t chunks_per_thread = 16;

// Colour frames count chunks in MCUs (3 to 6 blocks), as many fewer as
// they have blocks: blocks_per_mcu of them (1 for grayscale).
std::uint32_t blocks_per_mcu(const Encoder& e);

// Threads that can share the frame: no more than asked, and no more than
// its blocks make chunks of min_chunk.
std::uint32_t threads_used(const Encoder& e);

// Blocks a chunk for that many threads. With restart markers every few
// blocks, chunks are whole intervals, so that every chunk starts on a byte
// boundary and joins by copying.
std::uint32_t chunk_blocks(const Encoder& e, std::uint32_t threads);

// The bytes a chunk's buffer must hold: chunk blocks at their largest.
std::size_t chunk_capacity(std::uint32_t chunk);

// Up to 7 bits not yet in a whole byte, right-aligned.
struct Bits {
  std::uint32_t count, value;
};

// The bits s holds pending.
Bits pending(const CoderState& s);

// One chunk's coded bytes (stuffed, as in the stream), in two parts when a
// restart marker falls inside it: the head, up to that marker, whose bits go
// wherever the stream has got to; and the rest, from the marker on, which
// starts on a byte boundary and is copied as it is.
struct Slot {
  std::uint8_t* buf;
  std::uint32_t head_end, end;  // bytes of the head; of the whole chunk
  Bits head_bits, tail_bits;    // bits after the head's bytes; after the last byte
  std::int32_t last_dc[max_components];  // the DC predictions after the chunk
  bool marker;                  // a restart marker ends the head
  bool done;                    // coded, ready to join (under the pool's mutex)
};

// One call's work: its lines and where its blocks lie in the frame.
struct Job {
  const std::uint8_t* lines;
  std::size_t stride;
  std::uint32_t count;         // lines of the call
  std::uint32_t first_stripe;  // stripe of the call's first line
  std::uint32_t begin, end;    // blocks of the call, frame-wide indices
  std::uint32_t chunk;         // blocks a chunk; chunk c covers c * chunk onwards
  std::uint32_t first_chunk;   // begin / chunk
  std::uint32_t width, blocks_x, blocks_total, restart_interval;
  std::int32_t last_dc[max_components];  // the DC predictions before begin
  const CodePath* path;
  Component component;
  const ColourCall* colour;  // a colour input's call (its begin and end count MCUs), else null
};

// The job for count lines at lines (rows stride bytes apart), the next of
// the encoder's frame, cut into chunks of `chunk` blocks; with colour, the
// lines are in colour->in and chunks count MCUs.
Job make_job(const Encoder& e, const std::uint8_t* lines, std::size_t stride, std::uint32_t count,
             std::uint32_t chunk, const ColourCall* colour = nullptr);

// Lines of a row of MCUs (8, or 16 for colour at 4:2:0).
std::uint32_t mcu_lines(const Encoder& e);

// Chunks of the job.
inline std::uint32_t job_chunks(const Job& j) { return (j.end - 1) / j.chunk - j.first_chunk + 1; }

// Codes chunk c of the job (counted from its first) into slot.
void code_chunk(const Job& j, std::uint32_t c, Slot& slot);
