// Colour conversion and chroma downsampling, one line at a time, exact to
// the integer formulas of the colour encoder. These are the portable
// versions; the vector ones (lib/x86, lib/arm) give the same bytes.
#pragma once

#include <cstdint>

// n pixels of one line; src bytes per pixel 3 or 4; r/g/b byte offsets in a pixel.
void rgb_to_ycc_line(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                     std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
// Two lines a and b into their Y lines and one line of 4:2:0 chroma
// (ceil(n/2) samples): rgb_to_ycc_line on each, then down_h2v2_line. A
// single last line comes as b = a and yb = ya.
void rgb_to_420_line(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off, int g_off,
                     int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb,
                     std::uint8_t* cr);
// out[i] = (in[2i] + in[2i+1] + 1) >> 1, i < ceil(n/2); where n is odd the last sample pairs with itself.
void down_h2_line(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);
// out[i] = (a[2i] + a[2i+1] + b[2i] + b[2i+1] + 2) >> 2, i < ceil(n/2); odd n: last column pairs with itself.
void down_h2v2_line(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
// out[i] = (a[i] + b[i] + 1) >> 1, i < n.
void down_v2_line(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
// packed 4:2:2 line of ceil(n/2) groups: YUYV (y_first = true) or UYVY; y gets n samples, cb/cr ceil(n/2).
void unpack_422_line(const std::uint8_t* src, bool y_first, std::uint32_t n,
                     std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
