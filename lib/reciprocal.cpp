// The reciprocal of a quantizer step. Shared by recipgen, which prints the
// table the build bakes in, and the encoder, which computes the tables of
// other qualities at run time.
#include "quant.hpp"

namespace {

// a(k) = cos(k * 0.19634954085) * 1.4142135623730951, k = 0 .. 7, as the
// platform's cosine gives them in double precision, written out so that
// every CPU and mathematics library computes the same reciprocals. A test
// checks them against the cosine.
constexpr double dct_scale[8] = {
    0x1p+0,                 0x1.63150b15e821dp+0, 0x1.4e7ae9144e4d6p+0, 0x1.2d062ef88c8a6p+0,
    0x1.fffffffffa639p-1,   0x1.92469c0dc6f38p-1, 0x1.1517a7bda88ap-1,  0x1.1a855debebddcp-2};

}  // namespace

// Each product and quotient is stored to a volatile double, so that it is
// rounded to double precision at each step even where the FPU computes in
// extended precision (x87), as it is on every other CPU.
double scale_factor(int r, int c) {
  volatile double s = 1.0;
  if (r != 0) s = dct_scale[r] * s;
  if (c != 0) s = dct_scale[c] * s;
  return s;
}

std::int32_t reciprocal(std::int32_t q, int r, int c) {
  const double s = scale_factor(r, c);
  volatile double product = static_cast<double>(q * 8) * s;
  volatile double quotient = 65536.0 / product;
  return static_cast<std::int32_t>(quotient);
}

