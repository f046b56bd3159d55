// Colour conversion, chroma downsampling and packed 4:2:2 unpacking of one
// line on NEON, with the interface and the bytes of the portable functions
// in colour.hpp. On 32-bit ARM nothing here may run before the CPU check
// (cpu_features).
#pragma once

#include <cstdint>

void rgb_to_ycc_line_neon(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                          std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void rgb_to_420_line_neon(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off, int g_off,
                          int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb,
                          std::uint8_t* cr);
void down_h2_line_neon(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);
void down_h2v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
void down_v2_line_neon(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
void unpack_422_line_neon(const std::uint8_t* src, bool y_first, std::uint32_t n,
                          std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
