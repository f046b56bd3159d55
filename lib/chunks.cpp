#include "chunks.hpp"

#include <algorithm>

#include "encoder.hpp"

static_assert(max_chunk * max_block_marker_bytes < (std::uint32_t{1} << 31));

std::uint32_t blocks_per_mcu(const Encoder& e) {
  return e.colour && e.col.components == 3 ? e.col.hy * e.col.vy + 2 : 1;
}

std::uint32_t mcu_lines(const Encoder& e) { return e.colour ? 8 * e.col.vy : 8; }

std::uint32_t threads_used(const Encoder& e) {
  const std::uint32_t min_mcus = min_chunk / blocks_per_mcu(e);
  return std::min(e.threads, std::max<std::uint32_t>(1, e.blocks_total / min_mcus));
}

std::uint32_t chunk_blocks(const Encoder& e, std::uint32_t threads) {
  const std::uint32_t per = chunks_per_thread * threads, bpm = blocks_per_mcu(e);
  std::uint32_t k = std::clamp((e.blocks_total + per - 1) / per, min_chunk / bpm, max_chunk / bpm);
  const std::uint32_t ri = e.restart_interval;
  if (ri != 0 && ri <= max_chunk / bpm) k = std::max<std::uint32_t>(k / ri, 1) * ri;
  return k;
}

std::size_t chunk_capacity(std::uint32_t chunk) {
  return static_cast<std::size_t>(chunk) * max_block_marker_bytes + 16;
}

Bits pending(const CoderState& s) {
  const std::uint32_t n = s.CodeSize;
  return {n, static_cast<std::uint32_t>(s.CodeVal >> (24 - n)) & ((1u << n) - 1u)};
}

Job make_job(const Encoder& e, const std::uint8_t* lines, std::size_t stride, std::uint32_t count,
             std::uint32_t chunk, const ColourCall* colour) {
  const std::uint32_t row = mcu_lines(e);
  Job job{};
  job.lines = lines;
  job.stride = stride;
  job.count = count;
  job.first_stripe = e.lines_done / row;
  job.begin = e.blocks_done;
  job.end = job.begin + (count + row - 1) / row * e.blocks_x;
  job.chunk = chunk;
  job.first_chunk = job.begin / chunk;
  job.width = e.width;
  job.blocks_x = e.blocks_x;
  job.blocks_total = e.blocks_total;
  job.restart_interval = e.restart_interval;
  for (std::size_t i = 0; i < max_components; ++i) job.last_dc[i] = e.coder.lastDC[i];
  job.path = e.path;
  job.component = luma(e);
  job.colour = colour;
  return job;
}

namespace {

// The samples of stripe s of the call, and how many lines it has.
const std::uint8_t* stripe_at(const Job& j, std::uint32_t s, std::uint32_t& rows) {
  const std::uint32_t line = 8 * (s - j.first_stripe);
  rows = std::min<std::uint32_t>(8, j.count - line);
  return j.lines + line * j.stride;
}

// Codes the n blocks from frame block b on, all in one stripe, as
// code_stripe does: whole blocks in place, the others from an edge copy.
void code_range(const Job& j, CoderState& s, std::uint8_t* edge, std::uint32_t b, std::uint32_t n) {
  std::uint32_t rows;
  const std::uint8_t* p = stripe_at(j, b / j.blocks_x, rows);
  std::uint32_t x = b % j.blocks_x;
  const std::uint32_t whole = rows == 8 ? j.width / 8 : 0;
  if (x < whole) {
    const std::uint32_t m = std::min(n, whole - x);
    j.path->code_blocks(s, j.component, p + 8 * static_cast<std::size_t>(x), j.stride, static_cast<int>(m));
    x += m;
    n -= m;
  }
  while (n > 0) {
    const std::uint32_t m = std::min<std::uint32_t>(n, edge_blocks);
    copy_edge(edge, p, j.stride, rows, j.width, x, m);
    j.path->code_blocks(s, j.component, edge, edge_stride, static_cast<int>(m));
    x += m;
    n -= m;
  }
}

// The quantized DC of block b of a grayscale call.
std::int32_t block_dc(const Job& j, std::uint32_t b, std::uint8_t* edge) {
  std::uint32_t rows;
  const std::uint8_t* p = stripe_at(j, b / j.blocks_x, rows);
  const std::uint32_t x = b % j.blocks_x;
  std::size_t stride = j.stride;
  if (rows == 8 && x < j.width / 8) {
    p += 8 * static_cast<std::size_t>(x);
  } else {
    copy_edge(edge, p, j.stride, rows, j.width, x, 1);
    p = edge;
    stride = edge_stride;
  }
  std::int32_t block[64];
  std::uint32_t codes[64];
  j.path->dct_quant(p, stride, *j.component.quant, block, codes);
  return block[0];
}

// The DC predictions a single thread holds before block (or MCU) b of the
// call: what the encoder held before the call, 0 after a restart marker,
// else the quantized DCs of block (or MCU) b - 1, transformed once more.
void seed(const Job& j, std::uint32_t b, std::uint8_t* edge, ColourPlanes& planes, std::int32_t* dc) {
  for (std::size_t i = 0; i < max_components; ++i) dc[i] = b == j.begin ? j.last_dc[i] : 0;
  if (b == j.begin || (j.restart_interval != 0 && b % j.restart_interval == 0)) return;
  if (j.colour != nullptr) {
    colour_dc_after(*j.colour, planes, b - 1, dc);
  } else {
    dc[j.component.index] = block_dc(j, b - 1, edge);
  }
}

}  // namespace

void code_chunk(const Job& j, std::uint32_t c, Slot& slot) {
  alignas(32) std::uint8_t edge[8 * edge_stride];
  const std::uint32_t first = (j.first_chunk + c) * j.chunk;
  const std::uint32_t from = std::max(j.begin, first), to = std::min(j.end, first + j.chunk);
  const std::uint32_t ri = j.restart_interval;
  ColourPlanes planes;  // a colour chunk's; only what is filled is read
  CoderState s{};
  s.optr = slot.buf;
  seed(j, from, edge, planes, s.lastDC);
  slot.marker = false;
  for (std::uint32_t b = from; b < to;) {
    std::uint32_t n = std::min(to - b, j.blocks_x - b % j.blocks_x);
    if (ri != 0) n = std::min(n, ri - b % ri);
    if (j.colour != nullptr) {
      colour_code_range(*j.colour, planes, s, b, n);
    } else {
      code_range(j, s, edge, b, n);
    }
    b += n;
    if (ri != 0 && b % ri == 0 && b < j.blocks_total) {
      // The first marker's padding depends on where the stream stands when
      // the chunk is joined: the join writes it. Later ones are padded here.
      if (!slot.marker) {
        slot.marker = true;
        slot.head_end = static_cast<std::uint32_t>(s.optr - slot.buf);
        slot.head_bits = pending(s);
      } else {
        pad_to_byte(s);
      }
      put_restart_marker(s, b / ri - 1);
    }
  }
  slot.end = static_cast<std::uint32_t>(s.optr - slot.buf);
  slot.tail_bits = pending(s);
  for (std::size_t i = 0; i < max_components; ++i) slot.last_dc[i] = s.lastDC[i];
  if (!slot.marker) {
    slot.head_end = slot.end;
    slot.head_bits = slot.tail_bits;
  }
}
