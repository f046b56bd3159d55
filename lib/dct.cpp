#include "dct.hpp"

namespace {

// One 1-D pass over x[0], x[s], ... x[7s]. The constants carry 8 fractional
// bits: 181 = cos(4pi/16), 98 = cos(6pi/16), 139 = cos(2pi/16) - cos(6pi/16),
// 334 = cos(2pi/16) + cos(6pi/16). Each scaled output is rounded once, by the
// 128 added before its single shift; y0 and y4 need no scaling at all.
template <int s>
inline void pass(std::int32_t* x) {
  const std::int32_t t0 = x[0] + x[7 * s], t7 = x[0] - x[7 * s];
  const std::int32_t t1 = x[s] + x[6 * s], t6 = x[s] - x[6 * s];
  const std::int32_t t2 = x[2 * s] + x[5 * s], t5 = x[2 * s] - x[5 * s];
  const std::int32_t t3 = x[3 * s] + x[4 * s], t4 = x[3 * s] - x[4 * s];

  const std::int32_t e10 = t0 + t3, e13 = t0 - t3;
  const std::int32_t e11 = t1 + t2, e12 = t1 - t2;
  x[0] = e10 + e11;
  x[4 * s] = e10 - e11;
  const std::int32_t z1 = (e12 + e13) * 181;
  x[2 * s] = (e13 * 256 + 128 + z1) >> 8;
  x[6 * s] = (e13 * 256 + 128 - z1) >> 8;

  const std::int32_t o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
  const std::int32_t z5 = (o10 - o12) * 98;
  const std::int32_t z2 = z5 + o10 * 139;
  const std::int32_t z4 = z5 + o12 * 334;
  const std::int32_t z3 = o11 * 181;
  const std::int32_t z11 = t7 * 256 + 128 + z3;
  const std::int32_t z13 = t7 * 256 + 128 - z3;
  x[5 * s] = (z13 + z2) >> 8;
  x[3 * s] = (z13 - z2) >> 8;
  x[s] = (z11 + z4) >> 8;
  x[7 * s] = (z11 - z4) >> 8;
}

}  // namespace

void dct1d(std::int32_t* row) { pass<1>(row); }

void dct1d_v(std::int32_t* column) { pass<8>(column); }

void dct2d(std::int32_t* block) {
  for (int r = 0; r < 8; ++r) pass<1>(block + 8 * r);
  for (int c = 0; c < 8; ++c) pass<8>(block + c);
}
