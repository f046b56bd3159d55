// Colour conversion and chroma downsampling, portable versions.
#include "colour.hpp"

#include <initializer_list>

namespace {

// Y, Cb and Cr of one pixel at 16 fractional bits. The offsets put Cb and
// Cr at 128 with the rounding folded in (8421375 = 128.5 * 65536 - 1), and
// every sum lands in 0 .. 255 * 65536 + 65535, so the shift needs no clamp.
constexpr std::int32_t y_of(std::int32_t r, std::int32_t g, std::int32_t b) {
  return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
}
constexpr std::int32_t cb_of(std::int32_t r, std::int32_t g, std::int32_t b) {
  return (-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16;
}
constexpr std::int32_t cr_of(std::int32_t r, std::int32_t g, std::int32_t b) {
  return (32768 * r - 27439 * g - 5329 * b + 8421375) >> 16;
}

static_assert(y_of(0, 0, 0) == 0 && y_of(255, 255, 255) == 255);
static_assert(cb_of(255, 255, 0) == 0 && cb_of(0, 0, 255) == 255 && cb_of(128, 128, 128) == 128);
static_assert(cr_of(0, 255, 255) == 0 && cr_of(255, 0, 0) == 255 && cr_of(0, 0, 0) == 128);

}  // namespace

void rgb_to_ycc_line(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                     std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  for (std::uint32_t i = 0; i < n; ++i, src += bytes_per_pixel) {
    const std::int32_t r = src[r_off], g = src[g_off], b = src[b_off];
    y[i] = static_cast<std::uint8_t>(y_of(r, g, b));
    cb[i] = static_cast<std::uint8_t>(cb_of(r, g, b));
    cr[i] = static_cast<std::uint8_t>(cr_of(r, g, b));
  }
}

void rgb_to_420_line(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off, int g_off,
                     int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb,
                     std::uint8_t* cr) {
  // A pixel pair at a time: the four samples' chroma summed as it goes.
  for (std::uint32_t i = 0; i < n; i += 2) {
    const std::uint32_t j = i + 1 < n ? i + 1 : i;  // an odd last column pairs with itself
    std::int32_t sum_cb = 2, sum_cr = 2;
    for (const std::uint8_t* line : {a, b}) {
      for (const std::uint32_t x : {i, j}) {
        const std::uint8_t* p = line + x * static_cast<std::uint32_t>(bytes_per_pixel);
        const std::int32_t r = p[r_off], g = p[g_off], bl = p[b_off];
        (line == a ? ya : yb)[x] = static_cast<std::uint8_t>(y_of(r, g, bl));
        sum_cb += cb_of(r, g, bl);
        sum_cr += cr_of(r, g, bl);
      }
    }
    cb[i / 2] = static_cast<std::uint8_t>(sum_cb >> 2);
    cr[i / 2] = static_cast<std::uint8_t>(sum_cr >> 2);
  }
}

void down_h2_line(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  const std::uint32_t pairs = n / 2;
  for (std::uint32_t i = 0; i < pairs; ++i)
    out[i] = static_cast<std::uint8_t>((in[2 * i] + in[2 * i + 1] + 1) >> 1);
  if (n % 2 != 0) out[pairs] = in[n - 1];
}

void down_h2v2_line(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  const std::uint32_t pairs = n / 2;
  for (std::uint32_t i = 0; i < pairs; ++i)
    out[i] = static_cast<std::uint8_t>((a[2 * i] + a[2 * i + 1] + b[2 * i] + b[2 * i + 1] + 2) >> 2);
  if (n % 2 != 0) out[pairs] = static_cast<std::uint8_t>((2 * a[n - 1] + 2 * b[n - 1] + 2) >> 2);
}

void down_v2_line(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((a[i] + b[i] + 1) >> 1);
}

void unpack_422_line(const std::uint8_t* src, bool y_first, std::uint32_t n,
                     std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  // A group is Y0 Cb Y1 Cr (YUYV) or Cb Y0 Cr Y1 (UYVY).
  const int y0 = y_first ? 0 : 1, c0 = y_first ? 1 : 0;
  const std::uint32_t groups = (n + 1) / 2;
  for (std::uint32_t i = 0; i < groups; ++i, src += 4) {
    y[2 * i] = src[y0];
    if (2 * i + 1 < n) y[2 * i + 1] = src[y0 + 2];
    cb[i] = src[c0];
    cr[i] = src[c0 + 2];
  }
}
