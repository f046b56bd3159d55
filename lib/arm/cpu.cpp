// Built for the baseline CPU, like the rest of the library: only the
// kernels' file may use NEON.
#include "arm/kernels.hpp"

#if defined(__aarch64__)

std::uint32_t cpu_features() { return cpu_neon; }

#else

#include <asm/hwcap.h>
#include <sys/auxv.h>

std::uint32_t cpu_features() {
  // getauxval only reads the auxiliary vector the kernel handed over, so
  // this is safe from any thread.
  return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0 ? std::uint32_t{cpu_neon} : 0u;
}

#endif
