// CPU feature checks for the x86 paths, built for the baseline CPU. The
// compiler's runtime reads the CPU once, before main; reading its answers is
// safe from any thread.
#include "x86/kernels.hpp"

bool cpu_has_sse41() { return __builtin_cpu_supports("sse4.1"); }

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

bool cpu_has_avx2_bmi2() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

bool serves_sse41(const QuantTables&) { return cpu_has_sse41(); }

bool serves_avx2(const QuantTables&) { return cpu_has_avx2(); }

bool serves_avx2_pair(const QuantTables& q) { return q.fits16 && cpu_has_avx2_bmi2(); }

bool serves_avx512(const QuantTables& q) {
  return q.fits16 && cpu_has_avx2_bmi2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
}
