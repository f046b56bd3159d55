#include "coder.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "bitpack.hpp"
#include "dct.hpp"
#include "tables.hpp"

void emit_code(CoderState& s, std::int32_t n, std::int32_t code) {
  const std::uint32_t bits = static_cast<std::uint32_t>(code) & ((1u << n) - 1u);
  s.CodeSize += static_cast<std::uint32_t>(n);
  // New bits land just below the pending ones; completed bytes are taken from
  // bits 16 to 23. Bits above 23 are leftovers of bytes already written.
  std::uint32_t acc = (bits << (24 - s.CodeSize)) | static_cast<std::uint32_t>(s.CodeVal);
  while (s.CodeSize > 7) {
    const std::uint8_t byte = static_cast<std::uint8_t>(acc >> 16);
    *s.optr++ = byte;
    if (byte == 0xFF) *s.optr++ = 0x00;
    acc <<= 8;
    s.CodeSize -= 8;
  }
  s.CodeVal = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(acc)));
}

void pad_to_byte(CoderState& s) {
  emit_code(s, 7, 0x7F);  // completes a partial byte; with none, adds nothing sent
  s.CodeSize = 0;
  s.CodeVal = 0;
}

void put_restart_marker(CoderState& s, std::uint32_t m) {
  s.CodeSize = 0;
  s.CodeVal = 0;
  for (auto& dc : s.lastDC) dc = 0;
  *s.optr++ = 0xFF;
  *s.optr++ = static_cast<std::uint8_t>(0xD0 + (m & 7));
}

void quantize(std::int32_t* block, const std::int32_t* recip) {
  for (int i = 0; i < 64; ++i) block[i] = (block[i] * recip[i] + 32768) >> 16;
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

void code_block_reference(CoderState& s, const Component& c, const std::int32_t* block) {
  // DC: the difference from the previous block's DC, as category and value
  // bits; a negative value is sent as the low bits of d - 1.
  std::int32_t& last_dc = s.lastDC[c.index];
  const std::int32_t d = block[0] - last_dc;
  const std::int32_t n = bit_length(d < 0 ? -d : d);
  emit_code(s, c.dc->size[n], c.dc->code[n]);
  if (n > 0) emit_code(s, n, d < 0 ? d - 1 : d);
  last_dc = block[0];
  const CodeTable& ac = *c.ac;

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
      emit_code(s, ac.size[0xF0], ac.code[0xF0]);
      run16 -= 256;
    }
    const std::int32_t size = bit_length(v < 0 ? -v : v);
    emit_code(s, ac.size[run16 + size], ac.code[run16 + size]);
    emit_code(s, size, v < 0 ? v - 1 : v);
    run16 = 0;
  }
  if (run16 != 0) emit_code(s, ac.size[0], ac.code[0]);
}

namespace {

// Level shift, transform and quantization of the block at p, as MCU defines
// them.
void transform_block(const std::uint8_t* p, std::size_t stride, const std::int32_t* recip,
                     std::int32_t* block) {
  for (std::size_t r = 0; r < 8; ++r) {
    for (std::size_t c = 0; c < 8; ++c) block[8 * r + c] = p[r * stride + c] - 128;
  }
  dct2d(block);
  quantize(block, recip);
}

}  // namespace

void MCU(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride) {
  std::int32_t block[64];
  transform_block(p, stride, c.quant->qu.data(), block);
  code_block_reference(s, c, block);
}

void code_blocks_reference(CoderState& s, const Component& c, const std::uint8_t* p,
                           std::size_t stride, int count) {
  for (int i = 0; i < count; ++i) MCU(s, c, p + 8 * i, stride);
}

std::uint32_t value_code(std::int32_t v) {
  const auto size = static_cast<std::uint32_t>(std::bit_width(static_cast<std::uint32_t>(v < 0 ? -v : v)));
  return size << 16 | (static_cast<std::uint32_t>(v + (v >> 31)) & ((1u << size) - 1u));
}

std::uint64_t dct_quant_scalar(const std::uint8_t* p, std::size_t stride, const QuantTables& q,
                               std::int32_t* block, std::uint32_t* codes) {
  transform_block(p, stride, q.qu.data(), block);
  std::uint64_t nonzero = 0;
  for (int i = 0; i < 64; ++i) {
    nonzero |= static_cast<std::uint64_t>(block[i] != 0) << i;
    codes[i] = value_code(block[i]);
  }
  return nonzero;
}

namespace {

// One block into the accumulator: DC, the nonzero AC coefficients, EOB.
inline void code_into(const Component& c, const std::int32_t* block, const std::uint32_t* codes,
                      std::uint64_t nonzero, std::int32_t& last_dc, std::uint64_t& acc, unsigned& bits,
                      std::uint8_t*& out) {
  const CodeTable& ac = *c.ac;
  std::uint8_t* const start = out;
  const std::int32_t d = block[0] - last_dc;
  last_dc = block[0];
  const std::uint32_t dc = value_code(d);
  const std::uint32_t n = dc >> 16;
  put_bits(acc, bits, out, c.dc->prefix[n] | (dc & 0xFFFF), c.dc->length[n]);

  // Visit the nonzero AC coefficients in zigzag order; the distance between
  // two of them is the zero run.
  std::uint64_t z = to_zigzag(nonzero) & ~std::uint64_t{1};
  unsigned last = 0;
  while (z != 0) {
    const auto k = static_cast<unsigned>(std::countr_zero(z));
    z &= z - 1;
    unsigned run = k - last - 1;
    last = k;
    while (run >= 16) {  // ZRL: sixteen zeros
      put_bits(acc, bits, out, ac.prefix[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    const std::uint32_t v = codes[zz[k]];
    const unsigned i = run * 16 + (v >> 16);
    put_bits(acc, bits, out, ac.prefix[i] | (v & 0xFFFF), ac.length[i]);
  }
  if (last != 63) put_bits(acc, bits, out, ac.prefix[0], ac.length[0]);  // EOB
  out = stuff(start, out);
}

}  // namespace

void code_block(CoderState& s, const Component& c, const std::int32_t* block, const std::uint32_t* codes,
                std::uint64_t nonzero) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  code_into(c, block, codes, nonzero, s.lastDC[c.index], acc, bits, out);
  store_state(s, acc, bits, out);
}

void code_blocks(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride,
                 int count, DctQuantFn kernel) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(s, acc, bits, out);
  std::int32_t last_dc = s.lastDC[c.index];
  // The next block is transformed before the current one is coded, so that
  // the two overlap.
  std::int32_t block[2][64];
  std::uint32_t codes[2][64];
  std::uint64_t nonzero[2];
  if (count > 0) nonzero[0] = kernel(p, stride, *c.quant, block[0], codes[0]);
  for (int i = 0; i < count; ++i) {
    const int cur = i & 1;
    if (i + 1 < count) nonzero[cur ^ 1] = kernel(p + 8 * (i + 1), stride, *c.quant, block[cur ^ 1], codes[cur ^ 1]);
    code_into(c, block[cur], codes[cur], nonzero[cur], last_dc, acc, bits, out);
  }
  s.lastDC[c.index] = last_dc;
  store_state(s, acc, bits, out);
}

void code_blocks_scalar(CoderState& s, const Component& c, const std::uint8_t* p, std::size_t stride,
                        int count) {
  code_blocks(s, c, p, stride, count, dct_quant_scalar);
}
