// Fuzz target: arbitrary image.y or PGM bytes through the program's input
// reading and coding (encode_image_y, encode_pgm), in memory.
//
// Oracle: the input read the plain way, with stdio line reads of at most 79
// characters (fgets into 80 bytes) for the three header lines and one fread
// for the samples. An input is refused exactly when that reading comes up
// short (with the same sample count), and an accepted input encodes to the
// bytes the library gives for the samples the line reads select, which
// libjpeg decodes without a warning as one 1280 x 1024 component; except
// that header lines holding a complete Netpbm header of another picture are
// refused before anything is written.
//
// A full frame is 1.3 MB, too long for fast fuzzing, so a fuzz input is
// expanded. Byte 0 is the mode:
//   bit 0 clear: the rest of the input is image.y as it is (short inputs,
//                mostly refused within or just after the header);
//   bit 0 set:   bytes 1-2 pick a length near the end of a full frame,
//                1310704 + (value % 512) bytes, so that the refusal and the
//                acceptance side of the last sample are both reached; the
//                rest of the input, tiled to that length, is image.y.
//   bit 1 set:   the sink refuses its ((byte 0 >> 2) & 31)-th call, as a
//                full disk would: the result must be write_error, never a
//                crash.
//   bit 7 set:   the rest of the input is a PGM file: it is refused with a
//                one-line reason, or encoded to a stream that libjpeg
//                decodes without a warning to the size its header states.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "blockwright.h"
#include "decode.hpp"
#include "image_input.hpp"

namespace {

constexpr std::size_t tiled_base = frame_samples - 16;
std::uint8_t file[tiled_base + 512];

struct Memory {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

long memory_source(std::uint8_t* buf, std::size_t size, void* ctx) {
  auto* m = static_cast<Memory*>(ctx);
  const std::size_t n = size < m->size - m->pos ? size : m->size - m->pos;
  std::memcpy(buf, m->data + m->pos, n);
  m->pos += n;
  return static_cast<long>(n);
}

struct Output {
  std::vector<std::uint8_t> bytes;
  int calls = 0;
  int fail_at = -1;
  bool refused = false;
};

int memory_sink(void* ctx, const std::uint8_t* data, std::size_t size) {
  auto* o = static_cast<Output*>(ctx);
  if (o->calls++ == o->fail_at) {
    o->refused = true;
    return 1;
  }
  o->bytes.insert(o->bytes.end(), data, data + size);
  return 0;
}

bw_encoder encoder;
std::uint8_t stripe[stripe_bytes];
std::vector<std::uint8_t> big_stripe;

std::uint8_t* grow_stripe(std::size_t size) {
  big_stripe.resize(size);
  return big_stripe.data();
}

EncodeJob job_for(Output& out) {
  EncodeJob job{};
  bw_default_config(&job.config);
  job.encoder = &encoder;
  job.write = memory_sink;
  job.write_user = &out;
  job.stripe = stripe;
  job.stripe_size = sizeof stripe;
  return job;
}

bool one_line(const char* reason) {
  const std::size_t len = std::strlen(reason);
  return len > 0 && std::strchr(reason, '\n') == nullptr;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "encoder fuzz target: %s\n", what);
    std::abort();
  }
}

// What reading with stdio gives: the result, the samples read and where
// they start.
enum class Expected { encoded, short_header, short_samples };

Expected expected_result(std::size_t size, std::size_t* samples, std::size_t* start) {
  *samples = 0;
  *start = 0;
  if (size == 0) return Expected::short_header;  // fmemopen wants a size
  FILE* f = fmemopen(file, size, "rb");
  check(f != nullptr, "fmemopen failed");
  char line[80];
  for (int i = 0; i < 3; ++i) {
    if (std::fgets(line, sizeof line, f) == nullptr) {
      std::fclose(f);
      return Expected::short_header;
    }
  }
  *start = static_cast<std::size_t>(std::ftell(f));
  static std::uint8_t samples_buf[frame_samples];
  *samples = std::fread(samples_buf, 1, frame_samples, f);
  std::fclose(f);
  return *samples == frame_samples ? Expected::encoded : Expected::short_samples;
}

}  // namespace

// PGM mode (PPM too): a refusal is one line; an encoding decodes to the
// stated size and kind.
void check_pgm(const std::uint8_t* data, std::size_t size) {
  Memory in{data, size, 0};
  Output out;
  EncodeJob job = job_for(out);
  const InputOutcome got = encode_pgm(job, memory_source, &in, grow_stripe);
  if (got.result == InputResult::refused) {
    check(one_line(got.reason), "a refusal without a one-line reason");
    return;
  }
  check(got.result == InputResult::encoded, "a memory source or sink failed");
  check(got.samples_read == input_line_bytes(job.config) * job.config.height, "sample count");
  const Decoded d = decode_jpeg(out.bytes);
  check(d.ok && d.warnings == 0, "libjpeg refused or warned about the stream");
  check(d.width == int(job.config.width) && d.height == int(job.config.height), "wrong geometry");
  check(d.components == (job.config.input == BW_INPUT_GRAY ? 1 : 3), "wrong components");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t mode = size > 0 ? data[0] : 0;
  if ((mode & 0x80) != 0) {
    check_pgm(data + 1, size - 1);
    return 0;
  }
  std::size_t length = 0;
  if ((mode & 1) != 0 && size >= 3) {
    length = tiled_base + ((static_cast<std::size_t>(data[1]) << 8 | data[2]) % 512);
    const std::uint8_t* body = data + 3;
    const std::size_t body_size = size - 3;
    if (body_size == 0) {
      std::memset(file, 0, length);
    } else {
      for (std::size_t i = 0; i < length; i += body_size) {
        std::memcpy(file + i, body, length - i < body_size ? length - i : body_size);
      }
    }
  } else if (size > 0) {
    length = size - 1 < sizeof file ? size - 1 : sizeof file;
    std::memcpy(file, data + 1, length);
  }

  Memory in{file, length, 0};
  Output out;
  if ((mode & 2) != 0) out.fail_at = (mode >> 2) & 31;
  EncodeJob job = job_for(out);
  const InputOutcome got = encode_image_y(job, memory_source, &in);

  std::size_t want_samples = 0;
  std::size_t start = 0;
  const Expected want = expected_result(length, &want_samples, &start);
  if (out.refused) {
    check(got.result == InputResult::write_error, "a refused write was not reported");
    return 0;
  }
  char mislabel[160];
  if (want != Expected::short_header && image_y_mislabelled(file, start, mislabel, sizeof mislabel)) {
    check(got.result == InputResult::refused && std::strcmp(got.reason, mislabel) == 0,
          "a header of another picture was not refused");
    check(out.bytes.empty(), "bytes written before a header was refused");
    return 0;
  }
  check(got.result == (want == Expected::encoded ? InputResult::encoded : InputResult::refused),
        "result differs from reading with stdio");
  check(got.samples_read == want_samples, "sample count differs from reading with stdio");
  check(in.pos <= start + frame_samples, "read past the last sample");
  if (want != Expected::encoded) return 0;

  check(out.bytes == encode_in_memory(file + start), "encoding differs from the library's");
  const Decoded d = decode_jpeg(out.bytes);
  check(d.ok, "libjpeg refused the stream");
  check(d.warnings == 0, "libjpeg warned about the stream");
  check(d.width == 1280 && d.height == 1024 && d.components == 1, "wrong geometry");
  return 0;
}
