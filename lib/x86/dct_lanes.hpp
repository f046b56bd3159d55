// The 1-D transform of dct.cpp on whole vectors: x[0] ... x[7] are the eight
// inputs of one pass, and every lane is a separate row or column. The
// arithmetic is that of the scalar pass lane by lane, so the results are
// identical bit for bit. Included by the vector kernels only, each compiled
// for its own instruction set.
#pragma once

#include <cstdint>

namespace {

// A vector of c in every lane, whose value the compiler may not look into:
// multiplications by it stay single vector multiplies instead of being
// expanded into chains of shifts and adds (more instructions, no faster on
// CPUs whose 32-bit multiply is a single short operation).
template <class V>
inline V opaque(std::int32_t c) {
  V v = V{} + c;
  asm("" : "+x"(v));
  return v;
}

template <class V>
inline void pass_lanes(V* x) {
  const V c181 = opaque<V>(181), c98 = opaque<V>(98), c139 = opaque<V>(139), c334 = opaque<V>(334);
  const V t0 = x[0] + x[7], t7 = x[0] - x[7];
  const V t1 = x[1] + x[6], t6 = x[1] - x[6];
  const V t2 = x[2] + x[5], t5 = x[2] - x[5];
  const V t3 = x[3] + x[4], t4 = x[3] - x[4];

  const V e10 = t0 + t3, e13 = t0 - t3;
  const V e11 = t1 + t2, e12 = t1 - t2;
  x[0] = e10 + e11;
  x[4] = e10 - e11;
  const V z1 = (e12 + e13) * c181;
  const V e13r = (e13 << 8) + 128;
  x[2] = (e13r + z1) >> 8;
  x[6] = (e13r - z1) >> 8;

  const V o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
  const V z5 = (o10 - o12) * c98;
  const V z2 = z5 + o10 * c139;
  const V z4 = z5 + o12 * c334;
  const V z3 = o11 * c181;
  const V t7r = (t7 << 8) + 128;
  const V z11 = t7r + z3;
  const V z13 = t7r - z3;
  x[5] = (z13 + z2) >> 8;
  x[3] = (z13 - z2) >> 8;
  x[1] = (z11 + z4) >> 8;
  x[7] = (z11 - z4) >> 8;
}

}  // namespace
