// The whole stream of one frame: header, the coded stripes, the final pad and
// EOI. Coded bytes go to a sink as they are completed, so the same code
// serves the file writer of the program and encoding into memory.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int frame_width = 1280;
inline constexpr int frame_height = 1024;
inline constexpr std::size_t frame_samples = 1280 * 1024;
inline constexpr std::size_t stripe_bytes = 1280 * 8;

// Takes size bytes of the stream; returns false to stop the encoding.
using Sink = bool (*)(const std::uint8_t* data, std::size_t size, void* ctx);

// Resets the coder and sends the 328-byte header.
bool start_stream(Sink sink, void* ctx);
// Codes the 160 blocks of one stripe: 8 lines of 1280 samples, line after
// line. The coded bytes go to the sink whenever outbuffer fills, the rest
// with finish_stream.
bool code_stripe(const std::uint8_t* stripe, Sink sink, void* ctx);
// Completes the pending bits with 1-bits, sends what is left and EOI.
bool finish_stream(Sink sink, void* ctx);

// Encodes a whole frame of 1024 lines of 1280 samples.
bool encode_frame(const std::uint8_t* samples, Sink sink, void* ctx);
