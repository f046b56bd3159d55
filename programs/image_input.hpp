// Reading frames for the encoder: "image.y" (three header lines, then 1024
// lines of 1280 samples), binary PGM files of any size, and raw samples of
// a given size. The rules live here so that the program (reading files) and
// the tests and fuzz targets (reading memory) run the same code. Everything
// goes through the library's public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blockwright.h"

inline constexpr std::size_t frame_samples = 1280 * 1024;
inline constexpr std::size_t stripe_bytes = 1280 * 8;

// A header line of image.y is consumed by one read of at most this many
// characters, up to and including a line feed; a longer line counts as more
// than one.
inline constexpr std::size_t header_line_limit = 79;
// The three header lines never take more than this many bytes.
inline constexpr std::size_t header_limit = 3 * header_line_limit;
// find_sample_start's answer when the input ends within the header lines.
inline constexpr std::size_t no_sample_start = SIZE_MAX;

// Given the first min(header_limit, input size) bytes of an image.y,
// returns the offset at which the samples start: after three line reads,
// each ending after a line feed, after 79 bytes, or at the end of the input.
// Returns no_sample_start when the input ends before the third read gets a
// byte. (A last line without a line feed still counts as a line.)
std::size_t find_sample_start(const std::uint8_t* head, std::size_t size);

// When the header lines head[0, size) hold a complete Netpbm header that
// states anything other than P5 1280 1024 255, writes the reason to refuse
// the picture to reason and returns true. Other header text is not
// interpreted.
bool image_y_mislabelled(const std::uint8_t* head, std::size_t size, char* reason,
                         std::size_t reason_size);

// Fills buf with up to size bytes of input; returns the count (less than
// size only where the input ends), or -1 on a read error with errno set.
using Source = long (*)(std::uint8_t* buf, std::size_t size, void* ctx);

enum class InputResult {
  encoded,      // the whole stream went to the write callback
  read_error,   // the source failed; errno tells why
  refused,      // the input is not a frame that can be encoded: see reason
  write_error,  // the write callback stopped the encoding
  encoder_error,  // the encoder failed otherwise (no memory or threads): see status
};

struct InputOutcome {
  InputResult result = InputResult::encoded;
  std::uint64_t samples_read = 0;  // all of them on success
  int status = BW_OK;              // the encoder's, for encoder_error
  char reason[160] = {};           // one line, for refused
};

// The settings and buffers of one encoding.
// Gives a buffer of size bytes for the samples (nullptr: none to be had).
using StripeAlloc = std::uint8_t* (*)(std::size_t size);

struct EncodeJob {
  bw_config config;       // quality, restart interval, threads; the reader sets the size
  bw_encoder* encoder;    // where the encoding lives
  bw_write_fn write;      // gets the stream
  void* write_user;
  std::uint8_t* stripe;   // 8 lines of the frame's width, or more
  std::size_t stripe_size;
  // With more than one thread the whole frame is read before it is coded,
  // in one call that the encoder splits among its threads: a buffer that
  // large comes from here (nullptr, or none given: coded group by group on
  // the caller's thread instead, with the same bytes). So does the buffer of
  // a planar raw frame, which cannot do without it.
  StripeAlloc get_frame = nullptr;
  // --sampling was given: a grayscale PGM is refused.
  bool sampling_given = false;
};

// Bytes of one line of an interleaved input (gray, RGB and the like,
// packed 4:2:2) of the config's kind and width.
std::uint64_t input_line_bytes(const bw_config& cfg);

// Lines the encoder takes a call: 16 for colour at 4:2:0, else 8.
std::uint32_t input_group_lines(const bw_config& cfg);

// Bytes of a whole raw frame of the config's kind and size, planes and all.
std::uint64_t raw_frame_bytes(const bw_config& cfg);

// Reads an image.y from source and encodes it, stripe by stripe, through
// job.stripe (at least stripe_bytes). Bytes after the last sample are not
// read. The input is refused, before anything is written, when its header
// lines state another picture; and refused, possibly after the stream's
// first bytes were written, when it is too short: a caller writing a file
// must discard them.
InputOutcome encode_image_y(EncodeJob& job, Source source, void* ctx);

// Reads a binary PGM (P5, maxval 255) or PPM (P6, maxval 255: colour, RGB)
// of any size from source and encodes it. When a group of lines needs more
// than job.stripe_size bytes, get_stripe is asked for a buffer of that size
// (nullptr: refused).

InputOutcome encode_pgm(EncodeJob& job, Source source, void* ctx, StripeAlloc get_stripe);

// Reads job.config.width x job.config.height raw pixels of the input kind
// job.config.input from source and encodes them; planar kinds (plane after
// plane) are read whole into a buffer from job.get_frame.
InputOutcome encode_raw(EncodeJob& job, Source source, void* ctx, StripeAlloc get_stripe);
