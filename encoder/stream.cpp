#include "stream.hpp"

#include <algorithm>

#include "coder.hpp"
#include "paths.hpp"
#include "tables.hpp"

namespace {

// Sends the bytes coded so far and empties outbuffer.
bool flush(Sink sink, void* ctx) {
  const auto n = static_cast<std::size_t>(optr - outbuffer);
  optr = outbuffer;
  return n == 0 || sink(outbuffer, n, ctx);
}

}  // namespace

bool start_stream(Sink sink, void* ctx) {
  reset_coder();
  return sink(headerbuf.data(), headerbuf.size(), ctx);
}

// An empty buffer always takes a run, so coding always moves on.
static_assert(outbuffer_size / max_block_bytes / 2 * 2 >= 16);

bool code_stripe(const std::uint8_t* stripe, Sink sink, void* ctx) {
  for (int x = 0; x < frame_width;) {
    // Code as many blocks at once as outbuffer surely has room for, and send
    // the bytes only when it cannot take another block: a few large writes
    // instead of one a stripe, and no stripe, however noisy, overruns it.
    // Runs of blocks are long and even (the fastest path codes two at a
    // time, and a stripe is an even number of blocks): the buffer is sent
    // once it has no room for a run of 16.
    const auto room = static_cast<std::size_t>(outbuffer + outbuffer_size - optr) / max_block_bytes / 2 * 2;
    if (room < 16) {
      if (!flush(sink, ctx)) return false;
      continue;
    }
    const int count = static_cast<int>(std::min<std::size_t>(room, static_cast<std::size_t>(frame_width - x) / 8));
    run_blocks(stripe + x, count);
    x += 8 * count;
  }
  return true;
}

bool finish_stream(Sink sink, void* ctx) {
  // Seven 1-bits complete a partial last byte; with nothing pending they stay
  // pending and are never sent.
  emit_code(7, 0x7F);
  static constexpr std::uint8_t eoi[2] = {0xFF, 0xD9};
  return flush(sink, ctx) && sink(eoi, sizeof eoi, ctx);
}

bool encode_frame(const std::uint8_t* samples, Sink sink, void* ctx) {
  if (!start_stream(sink, ctx)) return false;
  for (std::size_t s = 0; s < frame_samples; s += stripe_bytes) {
    if (!code_stripe(samples + s, sink, ctx)) return false;
  }
  return finish_stream(sink, ctx);
}
