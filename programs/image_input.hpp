// Reading "image.y": three header text lines, then 1024 lines of 1280
// samples. The rules live here so that the program (reading a file) and the
// tests and fuzz targets (reading memory) run the same code.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t frame_samples = 1280 * 1024;
inline constexpr std::size_t stripe_bytes = 1280 * 8;

// Takes size bytes of the stream; returns false to stop the encoding.
using Sink = bool (*)(const std::uint8_t* data, std::size_t size, void* ctx);

// A header line is consumed by one read of at most this many characters, up
// to and including a line feed; a longer line counts as more than one.
inline constexpr std::size_t header_line_limit = 79;
// The three header lines never take more than this many bytes.
inline constexpr std::size_t header_limit = 3 * header_line_limit;
// find_sample_start's answer when the input ends within the header lines.
inline constexpr std::size_t no_sample_start = SIZE_MAX;

// Given the first min(header_limit, input size) bytes of the input, returns
// the offset at which the samples start: after three line reads, each
// ending after a line feed, after 79 bytes, or at the end of the input.
// Returns no_sample_start when the input ends before the third read gets a
// byte. (A last line without a line feed still counts as a line.)
std::size_t find_sample_start(const std::uint8_t* head, std::size_t size);

// Fills buf with up to size bytes of input; returns the count (less than
// size only where the input ends), or -1 on a read error with errno set.
using Source = long (*)(std::uint8_t* buf, std::size_t size, void* ctx);

enum class InputResult {
  encoded,        // the whole stream went to the sink
  read_error,     // the source failed; errno tells why
  short_header,   // the input ends within its three header lines
  short_samples,  // fewer than 1310720 samples follow the header lines
  write_error,    // the sink refused bytes
};

// Reads an image.y from source and encodes it to sink, stripe by stripe,
// through one static stripe buffer. Bytes after the last sample are not read.
// *samples_read gets the number of samples read (all of them on success).
// On short_header or short_samples the sink may already have had the
// stream's first bytes: a caller writing a file must discard them.
InputResult encode_input(Source source, void* source_ctx, Sink sink, void* sink_ctx,
                         std::size_t* samples_read);

// The one-line reason for a refused input, e.g. "read 7 of 1310720 samples".
void describe_short_input(InputResult result, std::size_t samples_read, char* buf,
                          std::size_t size);
