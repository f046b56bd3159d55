#include "coder.hpp"

#include "dct.hpp"
#include "tables.hpp"

std::int32_t lastDC = 0;
std::uint64_t CodeVal = 0;
std::uint32_t CodeSize = 0;
std::uint8_t outbuffer[outbuffer_size];
std::uint8_t* optr = outbuffer;

void reset_coder() {
  lastDC = 0;
  CodeVal = 0;
  CodeSize = 0;
  optr = outbuffer;
}

void emit_code(std::int32_t n, std::int32_t code) {
  const std::uint32_t bits = static_cast<std::uint32_t>(code) & ((1u << n) - 1u);
  CodeSize += static_cast<std::uint32_t>(n);
  // New bits land just below the pending ones; completed bytes are taken from
  // bits 16 to 23. Bits above 23 are leftovers of bytes already written.
  std::uint32_t acc = (bits << (24 - CodeSize)) | static_cast<std::uint32_t>(CodeVal);
  while (CodeSize > 7) {
    const std::uint8_t byte = static_cast<std::uint8_t>(acc >> 16);
    *optr++ = byte;
    if (byte == 0xFF) *optr++ = 0x00;
    acc <<= 8;
    CodeSize -= 8;
  }
  CodeVal = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(acc)));
}

void quantize(std::int32_t* block) {
  for (int i = 0; i < 64; ++i) block[i] = (block[i] * qu[i] + 32768) >> 16;
}

namespace {

// Number of right shifts by one that bring m (>= 0) to 0.
inline std::int32_t bit_length(std::int32_t m) {
  std::int32_t n = 0;
  while (m != 0) {
    m >>= 1;
    ++n;
  }
  return n;
}

}  // namespace

void MCU(const std::uint8_t* p) {
  std::int32_t block[64];
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) block[8 * r + c] = p[r * 1280 + c] - 128;
  }
  dct2d(block);
  quantize(block);

  // DC: the difference from the previous block's DC, as category and value
  // bits; a negative value is sent as the low bits of d - 1.
  const std::int32_t d = block[0] - lastDC;
  const std::int32_t n = bit_length(d < 0 ? -d : d);
  emit_code(huffsizeDC[n], huffcodeDC[n]);
  if (n > 0) emit_code(n, d < 0 ? d - 1 : d);
  lastDC = block[0];

  // AC in zigzag order; the zero run is kept premultiplied by 16 so that
  // run16 + size indexes the code table directly.
  std::int32_t run16 = 0;
  for (int k = 1; k < 64; ++k) {
    const std::int32_t v = block[zz[k]];
    if (v == 0) {
      run16 += 16;
      continue;
    }
    while (run16 > 240) {
      emit_code(huffsizeAC[0xF0], huffcodeAC[0xF0]);
      run16 -= 256;
    }
    const std::int32_t size = bit_length(v < 0 ? -v : v);
    emit_code(huffsizeAC[run16 + size], huffcodeAC[run16 + size]);
    emit_code(size, v < 0 ? v - 1 : v);
    run16 = 0;
  }
  if (run16 != 0) emit_code(huffsizeAC[0], huffcodeAC[0]);
}
