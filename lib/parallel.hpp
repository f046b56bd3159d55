// One frame on several threads, with the bytes of one thread. docs/threads.md
// describes the scheme; in short: the blocks of one call are cut into chunks
// (chunks.hpp), each coded by whichever thread of the encoder's pool
// (pool.hpp) is free into a buffer of its own from an empty coder state and
// the DC prediction the single thread would hold there; the calling thread
// appends the chunks' bit strings to the stream in order (join.hpp),
// shifting those that do not start on a byte boundary.
#pragma once

#include <cstddef>
#include <cstdint>

struct Encoder;
struct Parallel;

// Whether a call of count lines goes to the threads: the encoder has more
// than one, and the call holds more than one row of MCUs and spans at
// least two chunks. The first such call sets up the pool; when its memory
// cannot be had, the encoder goes on with the calling thread alone
// (threads becomes 1), which writes the same bytes.
bool parallel_takes(Encoder& e, std::uint32_t count);

// Codes count lines as encoder_write_lines does (the caller has checked the
// count and set e.coder.optr), then updates the block and restart counters:
// BW_OK or BW_E_CALLBACK. On a failure nothing of the call's chunks is in use
// any more when it returns.
int parallel_write_lines(Encoder& e, const std::uint8_t* lines, std::size_t stride,
                         std::uint32_t count);

// The same for a colour input (encoder_write_planes).
struct Planes;
int parallel_write_planes(Encoder& e, const Planes& in, std::uint32_t count);

// Stops the threads, waits until each has ended, and frees the pool, if
// any; leaves the encoder with none.
void parallel_release(Encoder& e);
