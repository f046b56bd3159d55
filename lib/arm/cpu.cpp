// Built for the baseline CPU, like the rest of the library: only the
// kernels' file may use NEON.
#include "arm/kernels.hpp"

#if defined(__aarch64__)

bool cpu_has_neon() { return true; }

#else

#include <asm/hwcap.h>
#include <sys/auxv.h>

bool cpu_has_neon() {
  // getauxval only reads the auxiliary vector the kernel handed over, so
  // this is safe from any thread.
  return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
}

#endif

bool serves_neon(const QuantTables& q) { return q.fits16 && cpu_has_neon(); }
