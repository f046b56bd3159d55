// blockwright: encodes grayscale and colour pictures into baseline JPEG files.
//
// Without arguments it encodes the 1280 x 1024 raster "image.y" in the
// current folder into "testout.jpg" beside it: three header lines, then 1024
// lines of 1280 samples, read and coded one stripe of 8 lines at a time.
// With arguments, `blockwright [OPTIONS] [INPUT]` reads a binary PGM or PPM
// of any size (or raw pixels with --size and --format) and takes the
// quality, the restart interval, the sampling, metadata, the output name and
// the thread count from the options (command_line.cpp).
//
// How the stream reaches the output without ever leaving a partial file is
// output.cpp's part: a regular file is replaced by a complete, synced
// temporary file; standard output, devices and FIFOs are written into once
// the stream is complete.
//
// Success prints nothing and returns 0. A failure prints one line on standard
// error naming the file and the reason, removes the temporary file and
// returns 1; a usage error returns 2. docs/failures.md lists the cases.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blockwright.h"
#include "command_line.hpp"
#include "image_input.hpp"
#include "output.hpp"

namespace {

constexpr const char* default_input = "image.y";

long read_fd(std::uint8_t* buf, std::size_t size, void* ctx) {
  const int fd = *static_cast<int*>(ctx);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buf + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

// A stripe for a frame wider than the default, kept here until the exit.
std::uint8_t* wide_stripe = nullptr;

std::uint8_t* allocate_stripe(std::size_t size) {
  wide_stripe = static_cast<std::uint8_t*>(std::malloc(size));
  return wide_stripe;
}

// The whole frame, read before coding when several threads share it.
std::uint8_t* whole_frame = nullptr;

std::uint8_t* allocate_frame(std::size_t size) {
  whole_frame = static_cast<std::uint8_t*>(std::malloc(size));
  return whole_frame;
}

// The stripe buffer of the default frame, its encoder, the settings and
// the output of this run: static, so that what they hold (an --exif file's
// contents, the stream held for standard output) lives until the exit.
std::uint8_t stripe[stripe_bytes];
bw_encoder encoder;
Settings settings;
Output output;

int fail(const char* file, const char* reason) {
  std::fprintf(stderr, "blockwright: %s: %s\n", file, reason);
  discard_output(output);
  return 1;
}

// Reads an --exif FILE into memory (kept to the exit): nullptr and a
// message printed when it cannot be read or is no EXIF payload.
const std::uint8_t* read_exif(const char* name, std::uint32_t* size) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "blockwright: %s: %s\n", name, std::strerror(errno));
    return nullptr;
  }
  auto* buf = static_cast<std::uint8_t*>(std::malloc(65534));
  int fd_copy = fd;
  const long got = buf != nullptr ? read_fd(buf, 65534, &fd_copy) : -1;
  const int saved = errno;
  close(fd);
  const char* reason = nullptr;
  if (got < 0) {
    reason = std::strerror(buf == nullptr ? ENOMEM : saved);
  } else if (got > 65533) {
    reason = "over 65533 bytes; an APP1 segment holds no more";
  } else if (got < 6 || std::memcmp(buf, "Exif\0\0", 6) != 0) {
    reason = "not an EXIF payload: it must start with Exif and two zero bytes";
  }
  if (reason != nullptr) {
    std::fprintf(stderr, "blockwright: %s: %s\n", name, reason);
    std::free(buf);
    return nullptr;
  }
  *size = static_cast<std::uint32_t>(got);
  return buf;
}

// The system's text for a failure; never "Success".
const char* system_reason(int error) { return std::strerror(error != 0 ? error : EIO); }

const char* display_name(const char* name, const char* std_name) {
  return std::strcmp(name, "-") == 0 ? std_name : name;
}

// Raw pixels in a regular file must fill the frame exactly: a file longer
// than --size (and --format) says is a wrong size, which would give a
// sheared picture. (Shorter ones are found short when read.) Writes the
// reason to refuse.
bool raw_length_refused(int fd, const Settings& s, char* reason, std::size_t size) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  const std::uint64_t left = static_cast<std::uint64_t>(st.st_size - (at > 0 ? at : 0));
  const std::uint64_t frame = raw_frame_bytes(s.config());
  if (left <= frame) return false;
  const bool gray = s.format == BW_INPUT_GRAY;
  std::snprintf(reason, size, "%llu bytes, more than the %llu %s of --size %ux%u%s%s",
                static_cast<unsigned long long>(left), static_cast<unsigned long long>(frame),
                gray ? "samples" : "bytes", static_cast<unsigned>(s.width), static_cast<unsigned>(s.height),
                s.format_given ? " --format " : "", s.format_given ? format_name(s.format) : "");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int parsed = parse_command_line(argc, argv, settings);
  if (parsed >= 0) return parsed;
  install_signal_handlers();
  for (std::uint32_t i = 0; i < settings.segment_count; ++i) {
    if (settings.segment_file[i] == nullptr) continue;
    settings.segments[i].data = read_exif(settings.segment_file[i], &settings.segments[i].size);
    if (settings.segments[i].data == nullptr) return 1;
  }
  if (settings_refused(settings)) return 1;

  const char* input_name = settings.input ? display_name(settings.input, "standard input") : default_input;
  Output& out = output;
  if (const int error = prepare_output(out, settings.output)) return fail(settings.output, system_reason(error));

  int in = 0;
  if (settings.input == nullptr || std::strcmp(settings.input, "-") != 0) {
    in = open(settings.input ? settings.input : default_input, O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail(input_name, system_reason(errno));
  }

  EncodeJob job{settings.config(), &encoder,      write_output, &out, stripe, sizeof stripe,
                allocate_frame,    settings.sampling_given};
  InputOutcome result;
  if (settings.input == nullptr) {
    result = encode_image_y(job, read_fd, &in);
  } else if (settings.raw) {
    if (raw_length_refused(in, settings, result.reason, sizeof result.reason)) {
      return fail(input_name, result.reason);
    }
    result = encode_raw(job, read_fd, &in, allocate_stripe);
  } else {
    result = encode_pgm(job, read_fd, &in, allocate_stripe);
  }
  switch (result.result) {
    case InputResult::encoded: break;
    case InputResult::read_error: return fail(input_name, system_reason(errno));
    case InputResult::write_error: return fail(out.name, system_reason(out.error));
    case InputResult::encoder_error: return fail(out.name, bw_strerror(result.status));
    case InputResult::refused: return fail(input_name, result.reason);
  }
  if (in != 0) close(in);
  if (const int error = complete_output(out)) return fail(out.name, system_reason(error));
  return 0;
}
