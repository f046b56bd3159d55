// Colour frames: the lines of a call become Y, Cb and Cr planes of whole
// MCUs, colour_chunk pixels at a time (converted from RGB, unpacked from
// 4:2:2 pairs or copied from planes, chroma reduced to the frame's
// sampling, edges padded by repeating the last column and line), and each
// MCU is coded as its Y blocks in raster order, then Cb, then Cr, each
// component with its own DC prediction and code tables.
#include <algorithm>
#include <cstring>

#include "colour_tables.hpp"
#include "encoder.hpp"

namespace {

constexpr std::size_t cs = colour_chunk;  // line stride of the chunk planes

struct RgbLayout {
  int bytes, r, g, b;
};

RgbLayout rgb_layout(std::uint32_t input) {
  switch (input) {
    case BW_INPUT_BGR: return {3, 2, 1, 0};
    case BW_INPUT_RGBX: return {4, 0, 1, 2};
    case BW_INPUT_BGRX: return {4, 2, 1, 0};
    default: return {3, 0, 1, 2};
  }
}

bool is_rgb(std::uint32_t input) { return input >= BW_INPUT_RGB && input <= BW_INPUT_BGRX; }
bool is_packed(std::uint32_t input) { return input == BW_INPUT_YUYV || input == BW_INPUT_UYVY; }

// Horizontal and vertical chroma factors of a planar input.
std::uint32_t input_hs(std::uint32_t input) { return input == BW_INPUT_I444 ? 1 : 2; }
std::uint32_t input_vs(std::uint32_t input) {
  return input == BW_INPUT_I420 || input == BW_INPUT_NV12 ? 2 : 1;
}

const std::uint8_t* line_of(const Planes& in, int plane, std::uint32_t r) {
  return in.p[plane] + r * in.stride[plane];
}

// Repeats the last of n columns up to width, and the last of rows lines up
// to height, in a plane of stride cs. A pad of an MCU's width or less (all
// a chunk at the frame's right edge has) is two 8-byte stores a line where
// the line has room for them: the bytes past width are read by no block.
void pad_plane(std::uint8_t* p, std::uint32_t n, std::uint32_t width, std::uint32_t rows,
               std::uint32_t height) {
  if (n < width && width - n <= 16 && n + 16 <= cs) {
    for (std::uint32_t r = 0; r < rows; ++r) {
      std::uint8_t* const line = p + r * cs;
      const std::uint64_t v = line[n - 1] * std::uint64_t{0x0101010101010101};
      std::memcpy(line + n, &v, 8);
      std::memcpy(line + n + 8, &v, 8);
    }
  } else if (n < width) {
    for (std::uint32_t r = 0; r < rows; ++r) std::memset(p + r * cs + n, p[r * cs + n - 1], width - n);
  }
  for (std::uint32_t r = rows; r < height; ++r) std::memcpy(p + r * cs, p + (rows - 1) * cs, width);
}

// Y alone: n pixels from column x0 of rows lines.
void fill_y_only(const ColourKernels& kern, const ColourState& c, ColourPlanes& b, const Planes& in, std::uint32_t rows, std::uint32_t x0, std::uint32_t n) {
  std::uint8_t* t = b.tmp;
  for (std::uint32_t r = 0; r < rows; ++r) {
    const std::uint8_t* src = line_of(in, 0, r);
    std::uint8_t* y = b.y + r * cs;
    if (is_rgb(c.input)) {
      const RgbLayout l = rgb_layout(c.input);
      kern.rgb_to_ycc(src + x0 * static_cast<std::uint32_t>(l.bytes), l.bytes, l.r, l.g, l.b, n, y, t,
                      t + cs);
    } else if (is_packed(c.input)) {
      kern.unpack_422(src + 2 * x0, c.input == BW_INPUT_YUYV, n, y, t, t + cs);
    } else {
      std::memcpy(y, src + x0, n);
    }
  }
}

// RGB: Y of every line, chroma reduced to hy x vy.
void fill_rgb(const ColourKernels& kern, const ColourState& c, ColourPlanes& b, const Planes& in, std::uint32_t rows, std::uint32_t x0, std::uint32_t n) {
  const RgbLayout l = rgb_layout(c.input);
  const std::uint32_t offset = x0 * static_cast<std::uint32_t>(l.bytes);
  auto convert = [&](std::uint32_t r, std::uint8_t* cb, std::uint8_t* cr) {
    kern.rgb_to_ycc(line_of(in, 0, r) + offset, l.bytes, l.r, l.g, l.b, n, b.y + r * cs, cb, cr);
  };
  if (c.vy == 1) {
    std::uint8_t* const cb0 = b.tmp;
    std::uint8_t* const cr0 = b.tmp + cs;
    for (std::uint32_t r = 0; r < rows; ++r) {
      if (c.hy == 1) {
        convert(r, b.cb + r * cs, b.cr + r * cs);
      } else {
        convert(r, cb0, cr0);
        kern.down_h2(cb0, n, b.cb + r * cs);
        kern.down_h2(cr0, n, b.cr + r * cs);
      }
    }
    return;
  }
  // 4:2:0: pairs of lines in one pass; a single last line with itself.
  for (std::uint32_t k = 0; 2 * k < rows; ++k) {
    const std::uint32_t second = 2 * k + 1 < rows ? 2 * k + 1 : 2 * k;
    kern.rgb_to_420(line_of(in, 0, 2 * k) + offset, line_of(in, 0, second) + offset, l.bytes, l.r, l.g, l.b, n,
                    b.y + 2 * k * cs, b.y + second * cs, b.cb + k * cs, b.cr + k * cs);
  }
}

// Packed 4:2:2: as it is, or vertical pairs of chroma averaged for 4:2:0.
void fill_packed(const ColourKernels& kern, const ColourState& c, ColourPlanes& b, const Planes& in, std::uint32_t rows, std::uint32_t x0, std::uint32_t n) {
  const bool y_first = c.input == BW_INPUT_YUYV;
  auto unpack = [&](std::uint32_t r, std::uint8_t* cb, std::uint8_t* cr) {
    kern.unpack_422(line_of(in, 0, r) + 2 * x0, y_first, n, b.y + r * cs, cb, cr);
  };
  if (c.vy == 1) {
    for (std::uint32_t r = 0; r < rows; ++r) unpack(r, b.cb + r * cs, b.cr + r * cs);
    return;
  }
  const std::uint32_t cn = (n + 1) / 2;
  std::uint8_t* const cb0 = b.tmp;
  std::uint8_t* const cr0 = b.tmp + cs;
  std::uint8_t* const cb1 = b.tmp + 2 * cs;
  std::uint8_t* const cr1 = b.tmp + 3 * cs;
  for (std::uint32_t k = 0; 2 * k < rows; ++k) {
    unpack(2 * k, cb0, cr0);
    const bool pair = 2 * k + 1 < rows;
    if (pair) unpack(2 * k + 1, cb1, cr1);
    kern.down_v2(cb0, pair ? cb1 : cb0, cn, b.cb + k * cs);
    kern.down_v2(cr0, pair ? cr1 : cr0, cn, b.cr + k * cs);
  }
}

// Planes: Y copied; chroma copied, or reduced where the frame's sampling is
// coarser than the input's.
void fill_planar(const ColourKernels& kern, const ColourState& c, ColourPlanes& b, const Planes& in, std::uint32_t rows, std::uint32_t x0, std::uint32_t n) {
  for (std::uint32_t r = 0; r < rows; ++r) std::memcpy(b.y + r * cs, line_of(in, 0, r) + x0, n);
  const std::uint32_t ihs = input_hs(c.input), ivs = input_vs(c.input);
  const std::uint32_t in_x = x0 / ihs, in_n = (n + ihs - 1) / ihs;
  const std::uint32_t in_rows = (rows + ivs - 1) / ivs;
  const bool nv12 = c.input == BW_INPUT_NV12;
  if (ivs == c.vy) {
    // One input line a chroma line.
    for (std::uint32_t k = 0; k < in_rows; ++k) {
      std::uint8_t* cb = b.cb + k * cs;
      std::uint8_t* cr = b.cr + k * cs;
      if (nv12) {
        const std::uint8_t* p = line_of(in, 1, k) + 2 * in_x;
        for (std::uint32_t i = 0; i < in_n; ++i) {
          cb[i] = p[2 * i];
          cr[i] = p[2 * i + 1];
        }
      } else if (ihs == c.hy) {
        std::memcpy(cb, line_of(in, 1, k) + in_x, in_n);
        std::memcpy(cr, line_of(in, 2, k) + in_x, in_n);
      } else {  // 4:4:4 to 4:2:2
        kern.down_h2(line_of(in, 1, k) + in_x, in_n, cb);
        kern.down_h2(line_of(in, 2, k) + in_x, in_n, cr);
      }
    }
    return;
  }
  // 4:4:4 or 4:2:2 to 4:2:0: vertical pairs of input lines.
  for (std::uint32_t k = 0; 2 * k < in_rows; ++k) {
    const std::uint32_t r0 = 2 * k, r1 = std::min(2 * k + 1, in_rows - 1);
    for (int p = 1; p <= 2; ++p) {
      const std::uint8_t* upper = line_of(in, p, r0) + in_x;
      const std::uint8_t* lower = line_of(in, p, r1) + in_x;
      std::uint8_t* out = (p == 1 ? b.cb : b.cr) + k * cs;
      if (ihs == 1) {
        kern.down_h2v2(upper, lower, in_n, out);
      } else {
        kern.down_v2(upper, lower, in_n, out);
      }
    }
  }
}

// The fastest path that serves both quantizers.
const CodePath& best_path_for(const QuantTables& a, const QuantTables& b) {
  const auto paths = all_paths();
  for (std::size_t i = paths.size(); i-- > 0;) {
    if (paths[i] != &reference_path && paths[i]->serves(a) && paths[i]->serves(b)) return *paths[i];
  }
  return scalar_path;
}

// The lines of MCU row `row` of a call (its lines at `in`, count of them),
// and how many of them there are.
Planes group_at(const ColourState& c, const Planes& in, std::uint32_t count, std::uint32_t row,
                std::uint32_t& rows) {
  const std::uint32_t line = 8 * c.vy * row;
  rows = std::min(8 * c.vy, count - line);
  Planes g = in;
  g.p[0] += line * in.stride[0];
  if (input_planar(c.input) && c.components == 3) {
    const std::uint32_t ivs = input_vs(c.input);
    g.p[1] += line / ivs * in.stride[1];
    if (c.input != BW_INPUT_NV12) g.p[2] += line / ivs * in.stride[2];
  }
  return g;
}

// Fills b with n pixels from column x0 (a multiple of the MCU width) of the
// MCU row whose rows lines are at g, padded to whole MCUs: their number.
// Conversion through the path's colour kernels.
std::uint32_t fill_chunk(const CodePath& path, const ColourState& c, ColourPlanes& b, const Planes& g,
                         std::uint32_t rows, std::uint32_t x0, std::uint32_t n) {
  const ColourKernels& kern = *path.colour;
  const std::uint32_t mcu_w = 8 * c.hy, mcus = (n + mcu_w - 1) / mcu_w;
  if (c.components == 1) {
    fill_y_only(kern, c, b, g, rows, x0, n);
  } else if (is_rgb(c.input)) {
    fill_rgb(kern, c, b, g, rows, x0, n);
  } else if (is_packed(c.input)) {
    fill_packed(kern, c, b, g, rows, x0, n);
  } else {
    fill_planar(kern, c, b, g, rows, x0, n);
  }
  if (n == mcus * mcu_w && rows == 8 * c.vy) return mcus;  // nothing to pad: most chunks
  pad_plane(b.y, n, mcus * mcu_w, rows, 8 * c.vy);
  if (c.components == 3) {
    const std::uint32_t cn = (n + c.hy - 1) / c.hy, crows = (rows + c.vy - 1) / c.vy;
    pad_plane(b.cb, cn, 8 * mcus, crows, 8);
    pad_plane(b.cr, cn, 8 * mcus, crows, 8);
  }
  return mcus;
}

// Y, Cb, Cr.
struct Components {
  Component k[3];
};

Components components_of(const ColourState& c, const QuantTables& luma_q) {
  return {{{&luma_q, &luma_dc, &luma_ac, 0},
           {&c.chroma, &chroma_dc, &chroma_ac, 1},
           {&c.chroma, &chroma_dc, &chroma_ac, 2}}};
}

// The components of an MCU's blocks in stream order: hy x vy Y blocks
// (0), Cb (1), Cr (2).
constexpr std::uint8_t mcu_pattern[6] = {0, 0, 0, 0, 1, 2};

// Whether the path codes this frame's MCUs straight from the planes, as
// many as the buffer has room for (CodePath::code_420).
bool codes_420(const CodePath& path, const ColourState& c) {
  return path.code_420 != nullptr && c.components == 3 && c.hy == 2 && c.vy == 2;
}

// Where a 4:2:0 coder reads the MCUs: I420 lines of the caller that need no
// padding, as they are.
struct Source {
  const std::uint8_t *y, *cb, *cr;
  std::size_t y_stride, c_stride;
};

// Codes MCUs m0 .. m0 + n - 1 of the planes (or of direct) into s, or with
// codes_420 as many of them as fit before limit: how many it coded. Y alone is a run of
// blocks; 4:2:0 goes straight from the planes where the path can; a path
// with a mixed coder gets the MCUs' blocks copied side by side in stream
// order and codes them in one call; the others code each MCU's Y blocks as
// runs of hy side by side (the 16-bit paths code such pairs at once), then
// Cb and Cr.
std::uint32_t code_mcu_run(const CodePath& path, const ColourState& c, const Components& comps,
                           ColourPlanes& b, CoderState& s, std::uint32_t m0, std::uint32_t n,
                           const std::uint8_t* limit, const Source* direct = nullptr) {
  const Component* k = comps.k;
  if (c.components == 1) {
    path.code_blocks(s, k[0], b.y + 8 * m0, cs, static_cast<int>(n));
    return n;
  }
  const std::uint32_t ys = c.hy * c.vy, bpm = ys + 2;
  if (codes_420(path, c)) {
    const Source v = direct != nullptr ? *direct : Source{b.y, b.cb, b.cr, cs, cs};
    return static_cast<std::uint32_t>(path.code_420(s, k, v.y + 16 * m0, v.y_stride, v.cb + 8 * m0, v.cr + 8 * m0,
                                                    v.c_stride, static_cast<int>(n), limit));
  }
  if (path.code_mixed != nullptr) {
    // The pattern of this sampling: its Y blocks, then Cb and Cr.
    std::uint8_t pattern[6];
    for (std::uint32_t j = 0; j < bpm; ++j) pattern[j] = j < ys ? 0 : mcu_pattern[4 + j - ys];
    const std::uint32_t per_call = static_cast<std::uint32_t>(mixed_blocks) / std::clamp(bpm, 3u, 6u);  // 3, 4 or 6
    for (std::uint32_t first = m0; first < m0 + n; first += per_call) {
      const std::uint32_t last = std::min(first + per_call, m0 + n);
      std::uint8_t* to = b.mixed;
      for (std::uint32_t m = first; m < last; ++m) {
        const std::uint8_t* from[6];
        for (std::uint32_t v = 0; v < c.vy; ++v) {
          for (std::uint32_t h = 0; h < c.hy; ++h) from[v * c.hy + h] = b.y + 8 * (v * cs + m * c.hy + h);
        }
        from[ys] = b.cb + 8 * m;
        from[ys + 1] = b.cr + 8 * m;
        for (std::uint32_t j = 0; j < bpm; ++j, to += 8) {
          for (std::size_t r = 0; r < 8; ++r) std::memcpy(to + r * mixed_stride, from[j] + r * cs, 8);
        }
      }
      path.code_mixed(s, k, pattern, static_cast<int>(bpm), b.mixed, mixed_stride,
                      static_cast<int>((last - first) * bpm));
    }
    return n;
  }
  for (std::uint32_t m = m0; m < m0 + n; ++m) {
    for (std::uint32_t v = 0; v < c.vy; ++v)
      path.code_blocks(s, k[0], b.y + 8 * (v * cs + m * c.hy), cs, static_cast<int>(c.hy));
    path.code_blocks(s, k[1], b.cb + 8 * m, cs, 1);
    path.code_blocks(s, k[2], b.cr + 8 * m, cs, 1);
  }
  return n;
}

// Codes the mcus MCUs of the planes, sending the buffer when it may not
// hold the next, with restart markers where their interval ends.
int code_mcus(Encoder& e, std::uint32_t mcus, const Source* direct = nullptr) {
  ColourState& c = e.col;
  const Components k = components_of(c, e.tables);
  const std::uint32_t blocks = c.components == 1 ? 1 : c.hy * c.vy + 2;
  const std::size_t need = blocks * max_block_marker_bytes;
  for (std::uint32_t m = 0; m < mcus;) {
    // As many MCUs as the buffer surely has room for, up to the next marker;
    // a path that watches the room itself gets them all once the room holds
    // two (it codes pairs), the last 4 bytes kept for a restart marker.
    std::uint32_t n = static_cast<std::uint32_t>(
        static_cast<std::size_t>(e.outbuffer + outbuffer_size - e.coder.optr) / need);
    std::uint32_t want = mcus - m;
    if (e.restart_interval != 0) want = std::min(want, e.restart_left);
    const bool watches = codes_420(*e.path, c);
    if (n < (watches ? std::min(want, 2u) : 1u)) {
      if (const int status = encoder_flush(e)) return status;
      continue;
    }
    n = watches ? want : std::min(n, want);
    n = code_mcu_run(*e.path, c, k, c.planes, e.coder, m, n, e.outbuffer + outbuffer_size - 4, direct);
    m += n;
    e.blocks_done += n;
    if (e.restart_interval != 0 && (e.restart_left -= n) == 0) {
      e.restart_left = e.restart_interval;
      if (e.blocks_done < e.blocks_total) {
        pad_to_byte(e.coder);
        put_restart_marker(e.coder, e.next_rst);
        e.next_rst = (e.next_rst + 1) & 7;
      }
    }
  }
  return BW_OK;
}

}  // namespace

std::size_t colour_init(Encoder& e, const bw_config& cfg) {
  ColourState& c = e.col;
  c.input = cfg.input;
  c.components = cfg.grayscale != 0 ? 1 : 3;
  c.hy = c.components == 1 || cfg.sampling == 444 ? 1 : 2;
  c.vy = c.components == 1 || cfg.sampling != 420 ? 1 : 2;
  e.blocks_x = (cfg.width + 8 * c.hy - 1) / (8 * c.hy);
  e.blocks_total = e.blocks_x * ((cfg.height + 8 * c.vy - 1) / (8 * c.vy));
  if (c.components == 1) {
    return make_header(e.outbuffer, cfg.width, cfg.height, e.tables.dqt, cfg.restart_interval);
  }
  make_quant_tables_from(chroma_base_table, static_cast<int>(cfg.quality), c.chroma);
  // The path must serve both quantizers (the 16-bit ones need each to fit).
  if (!e.path->serves(c.chroma)) e.path = &best_path_for(e.tables, c.chroma);
  return make_colour_header(e.outbuffer, cfg.width, cfg.height, e.tables.dqt, c.chroma.dqt, c.hy, c.vy,
                            cfg.restart_interval);
}

int colour_write_lines(Encoder& e, const Planes& in, std::uint32_t count) {
  ColourState& c = e.col;
  const std::uint32_t group = 8 * c.vy;
  for (std::uint32_t row = 0; row * group < count; ++row) {
    std::uint32_t rows;
    const Planes g = group_at(c, in, count, row, rows);
    for (std::uint32_t x0 = 0; x0 < e.width; x0 += colour_chunk) {
      const std::uint32_t n = std::min(colour_chunk, e.width - x0);
      // I420 chunks of whole MCUs go to a 4:2:0 coder as they are.
      if (c.input == BW_INPUT_I420 && codes_420(*e.path, c) && rows == 16 && n % 16 == 0 &&
          g.stride[1] == g.stride[2]) {
        const Source direct{g.p[0] + x0, g.p[1] + x0 / 2, g.p[2] + x0 / 2, g.stride[0], g.stride[1]};
        if (const int status = code_mcus(e, n / 16, &direct)) return status;
        continue;
      }
      const std::uint32_t mcus = fill_chunk(*e.path, c, c.planes, g, rows, x0, n);
      if (const int status = code_mcus(e, mcus)) return status;
    }
  }
  return BW_OK;
}

// s is coded into through code_mcu_run, which cppcheck does not follow.
// cppcheck-suppress constParameter
void colour_code_range(const ColourCall& j, ColourPlanes& b, CoderState& s, std::uint32_t mcu,
                       std::uint32_t n) {
  const ColourState& c = *j.col;
  const Components k = components_of(c, *j.luma);
  const std::uint32_t mcu_w = 8 * c.hy;
  std::uint32_t rows;
  const Planes g = group_at(c, j.in, j.count, mcu / j.mcus_x - j.first_row, rows);
  std::uint32_t x0 = mcu % j.mcus_x * mcu_w;
  while (n > 0) {
    const std::uint32_t px = std::min({colour_chunk, j.width - x0, n * mcu_w});
    const std::uint32_t mcus = fill_chunk(*j.path, c, b, g, rows, x0, px);
    // The caller has seen to room for them all.
    code_mcu_run(*j.path, c, k, b, s, 0, mcus, s.optr + std::size_t{6} * max_block_bytes * mcus);
    x0 += mcus * mcu_w;
    n -= mcus;
  }
}

void colour_dc_after(const ColourCall& j, ColourPlanes& b, std::uint32_t mcu, std::int32_t* dc) {
  const ColourState& c = *j.col;
  const std::uint32_t mcu_w = 8 * c.hy;
  std::uint32_t rows;
  const Planes g = group_at(c, j.in, j.count, mcu / j.mcus_x - j.first_row, rows);
  const std::uint32_t x0 = mcu % j.mcus_x * mcu_w;
  fill_chunk(*j.path, c, b, g, rows, x0, std::min(mcu_w, j.width - x0));
  std::int32_t block[64];
  std::uint32_t codes[64];
  j.path->dct_quant(b.y + 8 * ((c.vy - 1) * cs + c.hy - 1), cs, *j.luma, block, codes);
  dc[0] = block[0];
  if (c.components == 3) {
    j.path->dct_quant(b.cb, cs, c.chroma, block, codes);
    dc[1] = block[0];
    j.path->dct_quant(b.cr, cs, c.chroma, block, codes);
    dc[2] = block[0];
  }
}
