#include "coder.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "dct.hpp"
#include "paths.hpp"
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

void code_block_reference(const std::int32_t* block) {
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

void MCU_reference(const std::uint8_t* p) {
  std::int32_t block[64];
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) block[8 * r + c] = p[r * 1280 + c] - 128;
  }
  dct2d(block);
  quantize(block);
  code_block_reference(block);
}

std::uint32_t value_code(std::int32_t v) {
  const auto size = static_cast<std::uint32_t>(std::bit_width(static_cast<std::uint32_t>(v < 0 ? -v : v)));
  return size << 16 | (static_cast<std::uint32_t>(v + (v >> 31)) & ((1u << size) - 1u));
}

std::uint64_t dct_quant_scalar(const std::uint8_t* p, std::int32_t* block, std::uint32_t* codes) {
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) block[8 * r + c] = p[r * 1280 + c] - 128;
  }
  dct2d(block);
  quantize(block);
  std::uint64_t nonzero = 0;
  for (int i = 0; i < 64; ++i) {
    nonzero |= static_cast<std::uint64_t>(block[i] != 0) << i;
    codes[i] = value_code(block[i]);
  }
  return nonzero;
}

namespace {

// zigzag_bits[r][b]: the bits, in zigzag order, of the coefficients of row r
// whose bits are set in b (bit c for column c). Turns a natural-order bitmap
// into a zigzag-order one with eight lookups.
constexpr std::array<std::array<std::uint64_t, 256>, 8> make_zigzag_bits() {
  std::array<int, 64> pos{};
  for (int k = 0; k < 64; ++k) pos[zz[static_cast<std::size_t>(k)]] = k;
  std::array<std::array<std::uint64_t, 256>, 8> t{};
  for (std::size_t r = 0; r < 8; ++r) {
    for (std::size_t b = 0; b < 256; ++b) {
      for (std::size_t c = 0; c < 8; ++c) {
        if (b >> c & 1) t[r][b] |= std::uint64_t{1} << pos[8 * r + c];
      }
    }
  }
  return t;
}
constexpr auto zigzag_bits = make_zigzag_bits();
static_assert(zigzag_bits[0][0x03] == 0x3, "(0,0) and (0,1) are zigzag 0 and 1");
static_assert(zigzag_bits[1][0x01] == 0x4, "(1,0) is zigzag 2");
static_assert(zigzag_bits[7][0x80] == std::uint64_t{1} << 63, "(7,7) is zigzag 63");

inline std::uint64_t to_zigzag(std::uint64_t nonzero) {
  std::uint64_t z = 0;
  for (std::size_t r = 0; r < 8; ++r) z |= zigzag_bits[r][(nonzero >> (8 * r)) & 0xFF];
  return z;
}

// Code and length of an AC symbol with its value bits appended, indexed by
// run * 16 + size: the Huffman code shifted left by size, and the code
// length plus size. One table read and one OR per coefficient.
constexpr std::array<std::uint32_t, 256> make_ac_prefix() {
  std::array<std::uint32_t, 256> t{};
  for (std::size_t i = 0; i < 256; ++i) t[i] = static_cast<std::uint32_t>(huffcodeAC[i]) << (i & 15);
  return t;
}
constexpr std::array<std::uint8_t, 256> make_ac_length() {
  std::array<std::uint8_t, 256> t{};
  for (std::size_t i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(huffsizeAC[i] + (i & 15));
  return t;
}
constexpr auto ac_prefix = make_ac_prefix();
constexpr auto ac_length = make_ac_length();

// The bit writer of code_block. acc holds `bits` pending bits at its low
// end (bits < 32 between calls); whole 32-bit words are written as soon as
// they are complete, four bytes at once unless one of them is 0xFF and needs
// a 0x00 after it.
inline void put_word(std::uint8_t*& out, std::uint32_t w) {
  if (((~w - 0x01010101u) & w & 0x80808080u) == 0) {  // no byte of w is 0xFF
    const std::uint32_t be = __builtin_bswap32(w);
    std::memcpy(out, &be, 4);
    out += 4;
    return;
  }
  for (int i = 0; i < 4; ++i) {
    const auto b = static_cast<std::uint8_t>(w >> 24);
    *out++ = b;
    if (b == 0xFF) *out++ = 0x00;
    w <<= 8;
  }
}

inline void put_bits(std::uint64_t& acc, unsigned& bits, std::uint8_t*& out, std::uint32_t code,
                     unsigned length) {
  acc = (acc << length) | code;  // length <= 27, so at most 58 bits are live
  bits += length;
  if (bits >= 32) {
    bits -= 32;
    put_word(out, static_cast<std::uint32_t>(acc >> bits));
  }
}

}  // namespace

namespace {

// One block into the accumulator: DC, the nonzero AC coefficients, EOB.
inline void code_into(const std::int32_t* block, const std::uint32_t* codes, std::uint64_t nonzero,
                      std::int32_t& last_dc, std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  const std::int32_t d = block[0] - last_dc;
  last_dc = block[0];
  const std::uint32_t dc = value_code(d);
  const std::uint32_t n = dc >> 16;
  put_bits(acc, bits, out, (static_cast<std::uint32_t>(huffcodeDC[n]) << n) | (dc & 0xFFFF),
           huffsizeDC[n] + n);

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
      put_bits(acc, bits, out, huffcodeAC[0xF0], huffsizeAC[0xF0]);
      run -= 16;
    }
    const std::uint32_t c = codes[zz[k]];
    const unsigned i = run * 16 + (c >> 16);
    put_bits(acc, bits, out, ac_prefix[i] | (c & 0xFFFF), ac_length[i]);
  }
  if (last != 63) put_bits(acc, bits, out, huffcodeAC[0], huffsizeAC[0]);  // EOB
}

// Takes over the pending bits of emit_code's state: CodeSize of them,
// left-aligned at bit 23.
inline void load_state(std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  bits = CodeSize;
  acc = (CodeVal >> (24 - bits)) & ((1u << bits) - 1u);
  out = optr;
}

// Writes the whole bytes, so that fewer than 8 bits stay pending as between
// emit_code calls, and hands the state back.
inline void store_state(std::uint64_t acc, unsigned bits, std::uint8_t* out) {
  // They go out as one 32-bit store, of which only the whole bytes count,
  // unless one of those is 0xFF.
  const unsigned whole = bits / 8;
  if (whole != 0) {
    const auto w = static_cast<std::uint32_t>(acc << (32 - bits));
    const std::uint32_t used = ~0u << (32 - 8 * whole);
    if (((~w - 0x01010101u) & w & 0x80808080u & used) == 0) {
      const std::uint32_t be = __builtin_bswap32(w);
      std::memcpy(out, &be, 4);
      out += whole;
    } else {
      std::uint32_t x = w;
      for (unsigned j = 0; j < whole; ++j) {
        const auto b = static_cast<std::uint8_t>(x >> 24);
        *out++ = b;
        if (b == 0xFF) *out++ = 0x00;
        x <<= 8;
      }
    }
    bits -= 8 * whole;
  }
  CodeSize = bits;
  CodeVal = (acc & ((1u << bits) - 1u)) << (24 - bits);
  optr = out;
}

}  // namespace

void code_block(const std::int32_t* block, const std::uint32_t* codes, std::uint64_t nonzero) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(acc, bits, out);
  code_into(block, codes, nonzero, lastDC, acc, bits, out);
  store_state(acc, bits, out);
}

void code_blocks(const std::uint8_t* p, int count, DctQuantFn kernel) {
  std::uint64_t acc;
  unsigned bits;
  std::uint8_t* out;
  load_state(acc, bits, out);
  std::int32_t last_dc = lastDC;
  for (int i = 0; i < count; ++i) {
    std::int32_t block[64];
    std::uint32_t codes[64];
    const std::uint64_t nonzero = kernel(p + 8 * i, block, codes);
    code_into(block, codes, nonzero, last_dc, acc, bits, out);
  }
  lastDC = last_dc;
  store_state(acc, bits, out);
}

void MCU(const std::uint8_t* p) { mcu_path(p); }
