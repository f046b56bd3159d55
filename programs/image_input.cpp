#include "image_input.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "netpbm.hpp"

std::uint64_t input_line_bytes(const bw_config& cfg) {
  const std::uint64_t w = cfg.width;
  switch (cfg.input) {
    case BW_INPUT_RGB:
    case BW_INPUT_BGR: return 3 * w;
    case BW_INPUT_RGBX:
    case BW_INPUT_BGRX: return 4 * w;
    case BW_INPUT_YUYV:
    case BW_INPUT_UYVY: return 4 * ((w + 1) / 2);
    default: return w;
  }
}

std::uint32_t input_group_lines(const bw_config& cfg) {
  return cfg.input != BW_INPUT_GRAY && cfg.grayscale == 0 && cfg.sampling == BW_SAMPLING_420 ? 16 : 8;
}

std::uint64_t raw_frame_bytes(const bw_config& cfg) {
  const std::uint64_t w = cfg.width, h = cfg.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  switch (cfg.input) {
    case BW_INPUT_I444: return 3 * w * h;
    case BW_INPUT_I422: return w * h + 2 * cw * h;
    case BW_INPUT_I420:
    case BW_INPUT_NV12: return w * h + 2 * cw * ch;
    default: return input_line_bytes(cfg) * h;
  }
}

namespace {

// Encodes a frame of job.config's size whose lines come from source,
// after the first `filled` bytes of them, which are already at job.stripe.
InputOutcome encode_samples(EncodeJob& job, Source source, void* ctx, std::size_t filled) {
  InputOutcome out;
  const bw_config& cfg = job.config;
  const auto width = static_cast<std::size_t>(input_line_bytes(cfg));  // bytes a line
  const std::uint64_t total = std::uint64_t{width} * cfg.height;
  const char* unit = cfg.input == BW_INPUT_GRAY ? "samples" : "bytes";
  const int init = bw_encoder_init(job.encoder, &cfg, job.write, job.write_user);
  if (init != BW_OK) {
    out.result = InputResult::refused;
    std::snprintf(out.reason, sizeof out.reason, "%s", bw_strerror(init));
    return out;
  }
  // One group of lines a call, or with several threads the whole frame in
  // one. Without the memory to hold the frame, the groups are coded one by
  // one on this thread: the same bytes, only slower.
  std::uint32_t group = input_group_lines(cfg);
  if (cfg.threads > 1 && cfg.height > 8) {
    std::uint8_t* frame = job.stripe;
    if (total > job.stripe_size) {
      frame = job.get_frame != nullptr && total <= SIZE_MAX ? job.get_frame(static_cast<std::size_t>(total))
                                                            : nullptr;
      if (frame != nullptr) {
        std::memcpy(frame, job.stripe, filled);
        job.stripe = frame;
        job.stripe_size = static_cast<std::size_t>(total);
      }
    }
    if (frame != nullptr) group = cfg.height;
  }
  for (std::uint32_t line = 0; line < cfg.height; line += group) {
    const std::uint32_t lines = cfg.height - line < group ? cfg.height - line : group;
    const std::size_t want = lines * width;
    while (filled < want) {
      const long got = source(job.stripe + filled, want - filled, ctx);
      if (got < 0) {
        bw_encoder_release(job.encoder);
        out.result = InputResult::read_error;
        return out;
      }
      if (got == 0) {
        bw_encoder_release(job.encoder);
        out.samples_read += filled;
        out.result = InputResult::refused;
        std::snprintf(out.reason, sizeof out.reason, "read %llu of %llu %s",
                      static_cast<unsigned long long>(out.samples_read),
                      static_cast<unsigned long long>(total), unit);
        return out;
      }
      filled += static_cast<std::size_t>(got);
    }
    out.samples_read += want;
    out.status = bw_encoder_write_lines(job.encoder, job.stripe, width, lines);
    if (out.status != BW_OK) {
      out.result = out.status == BW_E_CALLBACK ? InputResult::write_error : InputResult::encoder_error;
      return out;
    }
    filled = 0;
  }
  out.status = bw_encoder_finish(job.encoder);
  if (out.status != BW_OK) {
    out.result = out.status == BW_E_CALLBACK ? InputResult::write_error : InputResult::encoder_error;
  }
  return out;
}

// Makes room for a group of lines (8, or 16 for colour at 4:2:0).
bool fit_stripe(EncodeJob& job, StripeAlloc get_stripe) {
  const auto need = static_cast<std::size_t>(input_line_bytes(job.config) * input_group_lines(job.config));
  if (need <= job.stripe_size) return true;
  std::uint8_t* buf = get_stripe(need);
  if (buf == nullptr) return false;
  job.stripe = buf;
  job.stripe_size = need;
  return true;
}

InputOutcome refusal(const char* reason) {
  InputOutcome out;
  out.result = InputResult::refused;
  std::snprintf(out.reason, sizeof out.reason, "%s", reason);
  return out;
}

// Header bytes in memory, for parse_netpbm.
struct MemoryBytes {
  const std::uint8_t* data;
  std::size_t size, pos;
};

int next_memory_byte(void* ctx) {
  auto* m = static_cast<MemoryBytes*>(ctx);
  return m->pos < m->size ? m->data[m->pos++] : -1;
}

// A source read one byte at a time through a small buffer, for a PGM
// header; the bytes read past the header go to the stripe.
struct BufferedSource {
  Source source;
  void* ctx;
  std::uint8_t buf[256];
  std::size_t size = 0, pos = 0;
  bool failed = false;
};

// As a Source: what is left in the buffer, then the rest of the input.
long read_buffered(std::uint8_t* buf, std::size_t size, void* ctx) {
  auto* b = static_cast<BufferedSource*>(ctx);
  if (b->pos == b->size) return b->source(buf, size, b->ctx);
  const std::size_t n = size < b->size - b->pos ? size : b->size - b->pos;
  std::memcpy(buf, b->buf + b->pos, n);
  b->pos += n;
  return static_cast<long>(n);
}

int next_buffered_byte(void* ctx) {
  auto* b = static_cast<BufferedSource*>(ctx);
  if (b->pos == b->size) {
    if (b->failed) return -1;
    const long got = b->source(b->buf, sizeof b->buf, b->ctx);
    if (got <= 0) {
      b->failed = got < 0;
      return -1;
    }
    b->size = static_cast<std::size_t>(got);
    b->pos = 0;
  }
  return b->buf[b->pos++];
}

// Writes the reason to refuse a header's stated size, if any.
bool describe_bad_geometry(const NetpbmHeader& h, char* reason, std::size_t size) {
  if (h.width == 0 || h.height == 0 || h.width > 65535 || h.height > 65535) {
    std::snprintf(reason, size, "a %s x %s picture; width and height must be 1 to 65535", h.written[0],
                  h.written[1]);
    return true;
  }
  return false;
}

}  // namespace

std::size_t find_sample_start(const std::uint8_t* head, std::size_t size) {
  std::size_t pos = 0;
  for (int line = 0; line < 3; ++line) {
    if (pos >= size) return no_sample_start;
    const std::size_t end = pos + header_line_limit < size ? pos + header_line_limit : size;
    while (pos < end && head[pos++] != '\n') {
    }
  }
  return pos;
}

bool image_y_mislabelled(const std::uint8_t* head, std::size_t size, char* reason,
                         std::size_t reason_size) {
  MemoryBytes bytes{head, size, 0};
  NetpbmHeader h;
  int bad = 0;
  const char* field = "";
  if (parse_netpbm(next_memory_byte, &bytes, &h, &bad, &field) != NetpbmParse::ok) return false;
  if (h.kind != '5') {
    std::snprintf(reason, reason_size, "%s; image.y must be gray samples (P5)", netpbm_kind_name(h.kind));
  } else if (h.width != 1280 || h.height != 1024) {
    std::snprintf(reason, reason_size, "a %s x %s picture; image.y must be 1280 x 1024", h.written[0],
                  h.written[1]);
  } else if (h.maxval != 255) {
    std::snprintf(reason, reason_size, "maxval %s; image.y must have 8-bit samples (maxval 255)", h.written[2]);
  } else {
    return false;
  }
  return true;
}

InputOutcome encode_image_y(EncodeJob& job, Source source, void* ctx) {
  static_assert(header_limit <= stripe_bytes && frame_samples == 1310720);
  const long got = source(job.stripe, header_limit, ctx);
  if (got < 0) {
    InputOutcome out;
    out.result = InputResult::read_error;
    return out;
  }
  const std::size_t start = find_sample_start(job.stripe, static_cast<std::size_t>(got));
  if (start == no_sample_start) {
    return refusal("read 0 of 1310720 samples, the input ends within its three header lines");
  }
  InputOutcome out;
  if (image_y_mislabelled(job.stripe, start, out.reason, sizeof out.reason)) {
    out.result = InputResult::refused;
    return out;
  }
  const std::size_t filled = static_cast<std::size_t>(got) - start;
  std::memmove(job.stripe, job.stripe + start, filled);
  job.config.width = 1280;
  job.config.height = 1024;
  return encode_samples(job, source, ctx, filled);
}

InputOutcome encode_pgm(EncodeJob& job, Source source, void* ctx, StripeAlloc get_stripe) {
  BufferedSource in;
  in.source = source;
  in.ctx = ctx;
  NetpbmHeader h;
  int bad = 0;
  const char* field = "";
  const NetpbmParse parsed = parse_netpbm(next_buffered_byte, &in, &h, &bad, &field);
  if (in.failed) {
    InputOutcome out;
    out.result = InputResult::read_error;
    return out;
  }
  InputOutcome out;
  out.result = InputResult::refused;
  switch (parsed) {
    case NetpbmParse::ok:
      break;
    case NetpbmParse::not_netpbm:
      std::snprintf(out.reason, sizeof out.reason, "not a PGM or PPM file: it does not start with P5 or P6");
      return out;
    case NetpbmParse::ends_early:
      std::snprintf(out.reason, sizeof out.reason, "the input ends within its PGM header");
      return out;
    case NetpbmParse::malformed:
      if (bad > ' ' && bad < 0x7F) {
        std::snprintf(out.reason, sizeof out.reason, "bad PGM header: '%c' where %s belongs",
                      static_cast<char>(bad), field);
      } else {
        std::snprintf(out.reason, sizeof out.reason, "bad PGM header: byte 0x%02X where %s belongs",
                      static_cast<unsigned>(bad), field);
      }
      return out;
  }
  if (h.kind != '5' && h.kind != '6') {
    std::snprintf(out.reason, sizeof out.reason, "%s; only binary PGM (P5) and PPM (P6) are taken",
                  netpbm_kind_name(h.kind));
    return out;
  }
  if (describe_bad_geometry(h, out.reason, sizeof out.reason)) return out;
  if (h.maxval != 255) {
    std::snprintf(out.reason, sizeof out.reason, "maxval %s; only 8-bit samples (maxval 255) are taken",
                  h.written[2]);
    return out;
  }
  if (h.kind == '5' && job.sampling_given) {
    std::snprintf(out.reason, sizeof out.reason, "a grayscale picture; --sampling is for colour inputs");
    return out;
  }
  job.config.input = h.kind == '6' ? BW_INPUT_RGB : BW_INPUT_GRAY;
  job.config.width = static_cast<std::uint32_t>(h.width);
  job.config.height = static_cast<std::uint32_t>(h.height);
  if (!fit_stripe(job, get_stripe)) {
    std::snprintf(out.reason, sizeof out.reason, "no memory for a group of lines");
    return out;
  }
  // The samples read along with the header come first.
  return encode_samples(job, read_buffered, &in, 0);
}

namespace {

// Planar input: the planes one after the other, read whole, then coded in
// one call.
InputOutcome encode_planar(EncodeJob& job, Source source, void* ctx) {
  const bw_config& cfg = job.config;
  const std::uint64_t w = cfg.width, h = cfg.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::uint64_t chroma_w = cw, chroma_h = ch;  // each chroma plane
  if (cfg.input == BW_INPUT_I444) chroma_w = w, chroma_h = h;
  if (cfg.input == BW_INPUT_I422) chroma_h = h;
  const std::uint64_t y_size = w * h, c_size = chroma_w * chroma_h, total = y_size + 2 * c_size;
  std::uint8_t* frame = job.get_frame != nullptr && total <= SIZE_MAX
                            ? job.get_frame(static_cast<std::size_t>(total))
                            : nullptr;
  if (frame == nullptr) return refusal("no memory to hold the frame");
  InputOutcome out;
  std::size_t filled = 0;
  while (filled < total) {
    const long got = source(frame + filled, static_cast<std::size_t>(total) - filled, ctx);
    if (got < 0) {
      out.result = InputResult::read_error;
      return out;
    }
    if (got == 0) {
      out.samples_read = filled;
      out.result = InputResult::refused;
      std::snprintf(out.reason, sizeof out.reason, "read %llu of %llu bytes",
                    static_cast<unsigned long long>(filled), static_cast<unsigned long long>(total));
      return out;
    }
    filled += static_cast<std::size_t>(got);
  }
  out.samples_read = total;
  const bool nv12 = cfg.input == BW_INPUT_NV12;
  const std::uint8_t* const planes[3] = {frame, frame + y_size, nv12 ? nullptr : frame + y_size + c_size};
  const std::size_t strides[3] = {static_cast<std::size_t>(w),
                                  static_cast<std::size_t>(nv12 ? 2 * cw : chroma_w),
                                  static_cast<std::size_t>(chroma_w)};
  const int init = bw_encoder_init(job.encoder, &cfg, job.write, job.write_user);
  if (init != BW_OK) return refusal(bw_strerror(init));
  out.status = bw_encoder_write_planes(job.encoder, planes, strides, cfg.height);
  if (out.status == BW_OK) out.status = bw_encoder_finish(job.encoder);
  if (out.status != BW_OK) {
    bw_encoder_release(job.encoder);
    out.result = out.status == BW_E_CALLBACK ? InputResult::write_error : InputResult::encoder_error;
  }
  return out;
}

}  // namespace

InputOutcome encode_raw(EncodeJob& job, Source source, void* ctx, StripeAlloc get_stripe) {
  if (job.config.input >= BW_INPUT_I444) return encode_planar(job, source, ctx);
  if (!fit_stripe(job, get_stripe)) return refusal("no memory for a group of lines");
  return encode_samples(job, source, ctx, 0);
}
