// The stream of one frame: the header, the blocks stripe by stripe (with
// copies of the edge blocks that lack samples), restart markers, the final
// pad and EOI. Coded bytes collect in the encoder's buffer and go to the
// write callback whenever it cannot take another run of blocks.
#include <algorithm>
#include <cstring>

#include "encoder.hpp"

namespace {

// The finest chroma sampling an input holds: 444, 422 or 420 (gray: none).
std::uint32_t input_sampling(std::uint32_t input) {
  switch (input) {
    case BW_INPUT_YUYV:
    case BW_INPUT_UYVY:
    case BW_INPUT_I422: return 422;
    case BW_INPUT_I420:
    case BW_INPUT_NV12: return 420;
    default: return 444;
  }
}

// Whether chroma sampled as `from` can be reduced to `to` (never enlarged).
bool reducible(std::uint32_t from, std::uint32_t to) {
  return from == 444 || from == to || (from == 422 && to == 420);
}

}  // namespace

bool input_planar(std::uint32_t input) { return input >= BW_INPUT_I444 && input <= BW_INPUT_NV12; }

int check_config(const bw_config& cfg) {
  if (cfg.width < 1 || cfg.width > 65535 || cfg.height < 1 || cfg.height > 65535) return BW_E_SIZE;
  if (cfg.quality < 1 || cfg.quality > 100) return BW_E_QUALITY;
  if (cfg.restart_interval > 65535) return BW_E_RESTART;
  if (cfg.threads < 1 || cfg.threads > BW_MAX_THREADS) return BW_E_THREADS;
  if (cfg.input > BW_INPUT_NV12) return BW_E_INPUT;
  if (cfg.sampling != 444 && cfg.sampling != 422 && cfg.sampling != 420) return BW_E_SAMPLING;
  if (cfg.input != BW_INPUT_GRAY && cfg.grayscale == 0 &&
      !reducible(input_sampling(cfg.input), cfg.sampling))
    return BW_E_SAMPLING;
  if (cfg.segment_count != 0 && cfg.segments == nullptr) return BW_E_SEGMENT;
  for (std::uint32_t i = 0; i < cfg.segment_count; ++i) {
    const bw_segment& g = cfg.segments[i];
    const bool app = g.marker >= 0xE1 && g.marker <= 0xEF;
    if ((!app && g.marker != 0xFE) || g.size > 65533 || (g.size != 0 && g.data == nullptr))
      return BW_E_SEGMENT;
  }
  return BW_OK;
}

namespace {

// Sends the header up to the end of JFIF APP0 (in outbuffer), then each
// metadata segment, and leaves the rest of the header in outbuffer.
int write_segments(Encoder& e, const bw_config& cfg) {
  constexpr std::size_t app0_end = 20;
  if (e.write(e.user, e.outbuffer, app0_end) != 0) return BW_E_CALLBACK;
  for (std::uint32_t i = 0; i < cfg.segment_count; ++i) {
    const bw_segment& g = cfg.segments[i];
    const std::uint32_t length = g.size + 2;
    const std::uint8_t head[4] = {0xFF, static_cast<std::uint8_t>(g.marker),
                                  static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length & 0xFF)};
    if (e.write(e.user, head, 4) != 0) return BW_E_CALLBACK;
    if (g.size != 0 && e.write(e.user, static_cast<const std::uint8_t*>(g.data), g.size) != 0)
      return BW_E_CALLBACK;
  }
  e.out_used -= static_cast<std::uint32_t>(app0_end);
  std::memmove(e.outbuffer, e.outbuffer + app0_end, e.out_used);
  return BW_OK;
}

}  // namespace

int encoder_init(Encoder& e, const bw_config& cfg, bw_write_fn write, void* user) {
  e.width = cfg.width;
  e.height = cfg.height;
  e.restart_interval = cfg.restart_interval;
  e.blocks_x = (cfg.width + 7) / 8;
  e.blocks_total = e.blocks_x * ((cfg.height + 7) / 8);
  e.lines_done = 0;
  e.blocks_done = 0;
  e.restart_left = cfg.restart_interval;
  e.next_rst = 0;
  e.threads = cfg.threads;
  e.parallel = nullptr;
  e.write = write;
  e.user = user;
  e.coder = CoderState{};
  make_quant_tables(static_cast<int>(cfg.quality), e.tables);
  e.path = &best_path(e.tables);
  e.colour = cfg.input != BW_INPUT_GRAY;
  if (e.colour) {
    e.out_used = static_cast<std::uint32_t>(colour_init(e, cfg));
  } else {
    e.out_used = static_cast<std::uint32_t>(
        make_header(e.outbuffer, cfg.width, cfg.height, e.tables.dqt, cfg.restart_interval));
  }
  if (cfg.segment_count != 0) {
    if (const int status = write_segments(e, cfg)) return status;
  }
  e.magic = encoder_ready;
  return BW_OK;
}

namespace {

// Ends a restart interval: pads the pending bits with 1-bits to a byte,
// writes RSTm and starts the DC prediction anew.
void restart(Encoder& e) {
  pad_to_byte(e.coder);
  put_restart_marker(e.coder, e.next_rst);
  e.next_rst = (e.next_rst + 1) & 7;
}

// Codes `count` blocks side by side, the first at p, in runs as long as the
// buffer surely has room for (and no longer than to the next restart
// marker), sending the buffer when it has no room for a run of 16.
int code_run(Encoder& e, const std::uint8_t* p, std::size_t stride, std::uint32_t count) {
  const Component y = luma(e);
  while (count > 0) {
    auto room = static_cast<std::uint32_t>(
        static_cast<std::size_t>(e.outbuffer + outbuffer_size - e.coder.optr) / max_block_marker_bytes);
    if (room < std::min<std::uint32_t>(count, 16)) {
      if (const int status = encoder_flush(e)) return status;
      continue;
    }
    // Runs are even where they can be: the fastest paths code two at a time.
    std::uint32_t n = count <= room ? count : room & ~1u;
    if (e.restart_interval != 0) n = std::min(n, e.restart_left);
    e.path->code_blocks(e.coder, y, p, stride, static_cast<int>(n));
    p += 8 * static_cast<std::size_t>(n);
    count -= n;
    e.blocks_done += n;
    if (e.restart_interval != 0) {
      e.restart_left -= n;
      if (e.restart_left == 0) {
        e.restart_left = e.restart_interval;
        if (e.blocks_done < e.blocks_total) restart(e);
      }
    }
  }
  return BW_OK;
}

// Codes one stripe: rows lines (8, or fewer at the bottom of the frame).
int code_stripe(Encoder& e, const std::uint8_t* p, std::size_t stride, std::uint32_t rows) {
  if (rows == 8) {
    const std::uint32_t whole = e.width / 8;
    if (const int status = code_run(e, p, stride, whole)) return status;
    if (whole == e.blocks_x) return BW_OK;
    copy_edge(e.edge, p, stride, rows, e.width, whole, 1);
    return code_run(e, e.edge, edge_stride, 1);
  }
  for (std::uint32_t b = 0; b < e.blocks_x; b += edge_blocks) {
    const std::uint32_t n = std::min<std::uint32_t>(edge_blocks, e.blocks_x - b);
    copy_edge(e.edge, p, stride, rows, e.width, b, n);
    if (const int status = code_run(e, e.edge, edge_stride, n)) return status;
  }
  return BW_OK;
}

// Marks the encoder unusable after a failure, so that no later call can
// add to a stream that is already broken, and lets its threads go.
int fail(Encoder& e, int status) {
  e.magic = 0;
  parallel_release(e);
  return status;
}

}  // namespace

int encoder_write_planes(Encoder& e, const Planes& in, std::uint32_t count) {
  if (e.magic != encoder_ready) return BW_E_STATE;
  if (!e.colour) return encoder_write_lines(e, in.p[0], in.stride[0], count);
  const bool y_only = e.col.components == 1;
  if (in.p[0] == nullptr) return BW_E_ARGUMENT;
  if (input_planar(e.col.input) && !y_only &&
      (in.p[1] == nullptr || (e.col.input != BW_INPUT_NV12 && in.p[2] == nullptr)))
    return BW_E_ARGUMENT;
  const std::uint32_t left = e.height - e.lines_done;
  const std::uint32_t group = 8 * e.col.vy;
  if (count == 0 || count > left || (count % group != 0 && count != left)) return BW_E_LINES;
  e.coder.optr = e.outbuffer + e.out_used;
  if (parallel_takes(e, count)) {
    if (const int status = parallel_write_planes(e, in, count)) return fail(e, status);
  } else if (const int status = colour_write_lines(e, in, count)) {
    return fail(e, status);
  }
  e.lines_done += count;
  e.out_used = static_cast<std::uint32_t>(e.coder.optr - e.outbuffer);
  return BW_OK;
}

int encoder_write_lines(Encoder& e, const std::uint8_t* lines, std::size_t stride,
                        std::uint32_t count) {
  if (e.magic != encoder_ready) return BW_E_STATE;
  if (lines == nullptr) return BW_E_ARGUMENT;
  if (e.colour) {
    if (input_planar(e.col.input)) return BW_E_INPUT;
    return encoder_write_planes(e, Planes{{lines, nullptr, nullptr}, {stride, 0, 0}}, count);
  }
  const std::uint32_t left = e.height - e.lines_done;
  if (count == 0 || count > left || (count % 8 != 0 && count != left)) return BW_E_LINES;
  e.coder.optr = e.outbuffer + e.out_used;
  if (parallel_takes(e, count)) {
    if (const int status = parallel_write_lines(e, lines, stride, count)) return fail(e, status);
    e.lines_done += count;
    e.out_used = static_cast<std::uint32_t>(e.coder.optr - e.outbuffer);
    return BW_OK;
  }
  for (std::uint32_t i = 0; i < count; i += 8) {
    const std::uint32_t rows = std::min<std::uint32_t>(8, count - i);
    if (const int status = code_stripe(e, lines + i * stride, stride, rows)) return fail(e, status);
  }
  e.lines_done += count;
  e.out_used = static_cast<std::uint32_t>(e.coder.optr - e.outbuffer);
  return BW_OK;
}

int encoder_finish(Encoder& e) {
  if (e.magic != encoder_ready) return BW_E_STATE;
  if (e.lines_done != e.height) {
    // Refused: the encoder goes on as it was, but holds no threads or memory
    // (the next call that wants threads starts them again).
    parallel_release(e);
    return BW_E_LINES;
  }
  e.coder.optr = e.outbuffer + e.out_used;
  if (outbuffer_size - e.out_used < 8) {
    if (const int status = encoder_flush(e)) return fail(e, status);
  }
  // Seven 1-bits complete a partial last byte; with nothing pending they stay
  // pending and are never sent.
  emit_code(e.coder, 7, 0x7F);
  *e.coder.optr++ = 0xFF;
  *e.coder.optr++ = 0xD9;
  const int status = encoder_flush(e);
  e.out_used = 0;
  return fail(e, status);  // finished either way
}
