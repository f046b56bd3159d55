// Test support: decoding with the libjpeg API, PSNR, SHA-256, and the
// sample pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image_input.hpp"  // frame_samples, stripe_bytes: the default frame

struct Decoded {
  bool ok = false;         // decoded to the end without an error
  std::string error;       // the decoder's message when !ok
  int warnings = 0;        // warnings the decoder raised (corrupt data and the like)
  int width = 0, height = 0, components = 0;
  std::vector<std::uint8_t> pixels;
};

// Decodes a JPEG stream with libjpeg's default settings (integer inverse DCT).
Decoded decode_jpeg(const std::vector<std::uint8_t>& jpeg);

// Peak signal-to-noise ratio in dB of b against a (same size, 8-bit).
double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256_hex(const std::vector<std::uint8_t>& data);

std::vector<std::uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& data);

// Folder of the shared sample pictures (each a valid image.y).
std::string images_dir();

// An image.y: the three header lines of the sample pictures, then samples.
std::vector<std::uint8_t> make_input(const std::vector<std::uint8_t>& samples);

// The 1310720 samples of an image.y whose header is the usual three lines.
std::vector<std::uint8_t> samples_of(const std::vector<std::uint8_t>& input);

// Encodes a frame of 1280 x 1024 samples in memory with the encoder's core.
std::vector<std::uint8_t> encode_in_memory(const std::uint8_t* samples);
