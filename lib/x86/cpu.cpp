// CPU feature checks for the x86 paths, built for the baseline CPU. The
// compiler's runtime reads the CPU once, before main; reading its answers is
// safe from any thread.
#include "x86/kernels.hpp"

std::uint32_t cpu_features() {
  std::uint32_t f = 0;
  if (__builtin_cpu_supports("sse4.1")) f |= cpu_sse41;
  if (__builtin_cpu_supports("avx2")) f |= cpu_avx2;
  if (__builtin_cpu_supports("bmi")) f |= cpu_bmi1;
  if (__builtin_cpu_supports("bmi2")) f |= cpu_bmi2;
  if (__builtin_cpu_supports("avx512f")) f |= cpu_avx512f;
  if (__builtin_cpu_supports("avx512bw")) f |= cpu_avx512bw;
  if (__builtin_cpu_supports("avx512vl")) f |= cpu_avx512vl;
  if (__builtin_cpu_supports("avx512dq")) f |= cpu_avx512dq;
  if (__builtin_cpu_supports("avx512cd")) f |= cpu_avx512cd;
  if (__builtin_cpu_supports("avx512vbmi")) f |= cpu_avx512vbmi;
  if (__builtin_cpu_supports("avx512vbmi2")) f |= cpu_avx512vbmi2;
  if (__builtin_cpu_supports("avx512bitalg")) f |= cpu_avx512bitalg;
  if (__builtin_cpu_supports("avx512vpopcntdq")) f |= cpu_avx512vpopcntdq;
  if (__builtin_cpu_supports("avx512vnni")) f |= cpu_avx512vnni;
  return f;
}
