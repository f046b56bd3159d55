#include "image_input.hpp"

#include "blockwright.h"

#include <cstdio>
#include <cstring>

namespace {

// The stripe buffer: 8 lines of 1280 samples. The header lines are read into
// it first; the samples that follow them in the same read are moved down.
std::uint8_t img[stripe_bytes];

// The encoder of the default frame.
bw_encoder encoder;

struct SinkCall {
  Sink sink;
  void* ctx;
};

int write_to_sink(void* user, const std::uint8_t* data, std::size_t size) {
  const auto* call = static_cast<const SinkCall*>(user);
  return call->sink(data, size, call->ctx) ? 0 : 1;
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

InputResult encode_input(Source source, void* source_ctx, Sink sink, void* sink_ctx,
                         std::size_t* samples_read) {
  static_assert(header_limit <= stripe_bytes);
  *samples_read = 0;

  long got = source(img, header_limit, source_ctx);
  if (got < 0) return InputResult::read_error;
  const std::size_t start = find_sample_start(img, static_cast<std::size_t>(got));
  if (start == no_sample_start) return InputResult::short_header;
  std::size_t filled = static_cast<std::size_t>(got) - start;
  std::memmove(img, img + start, filled);

  SinkCall call{sink, sink_ctx};
  bw_config cfg;
  bw_default_config(&cfg);
  if (bw_encoder_init(&encoder, &cfg, write_to_sink, &call) != BW_OK) return InputResult::write_error;
  for (int stripe = 0; stripe < 1024 / 8; ++stripe) {
    if (filled < stripe_bytes) {
      got = source(img + filled, stripe_bytes - filled, source_ctx);
      if (got < 0) return InputResult::read_error;
      filled += static_cast<std::size_t>(got);
      if (filled < stripe_bytes) {
        *samples_read += filled;
        return InputResult::short_samples;
      }
    }
    *samples_read += stripe_bytes;
    if (bw_encoder_write_lines(&encoder, img, 1280, 8) != BW_OK) return InputResult::write_error;
    filled = 0;
  }
  if (bw_encoder_finish(&encoder) != BW_OK) return InputResult::write_error;
  return InputResult::encoded;
}

void describe_short_input(InputResult result, std::size_t samples_read, char* buf,
                          std::size_t size) {
  std::snprintf(buf, size, "read %zu of %zu samples%s", samples_read, frame_samples,
                result == InputResult::short_header ? ", the input ends within its three header lines"
                                                    : "");
}
