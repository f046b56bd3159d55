// The block coders' bit packing, shared by the portable coder and the
// coders compiled for other instruction sets. The tables are constant data,
// one copy in the program; the functions have internal linkage, so each
// translation unit keeps its own copy built with its own instruction set and
// no copy built for a newer CPU can stand in for the portable one.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "coder.hpp"
#include "tables.hpp"

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
inline constexpr auto zigzag_bits = make_zigzag_bits();
static_assert(zigzag_bits[0][0x03] == 0x3, "(0,0) and (0,1) are zigzag 0 and 1");
static_assert(zigzag_bits[1][0x01] == 0x4, "(1,0) is zigzag 2");
static_assert(zigzag_bits[7][0x80] == std::uint64_t{1} << 63, "(7,7) is zigzag 63");


// Size (bit length of |v|) of every value the 16-bit coders meet, DC
// differences included (|v| < 2048 at any quality), indexed by v + 2048:
// one load instead of a sign, a magnitude and a bit scan. Indices are masked
// to 12 bits and no entry exceeds 11 (-2048, never met, gets 11), so that
// not even a value out of that range could read outside this table or the
// code tables.
constexpr std::array<std::uint8_t, 4096> make_size_by_value() {
  std::array<std::uint8_t, 4096> t{};
  for (int i = 0; i < 4096; ++i) {
    unsigned m = static_cast<unsigned>(i < 2048 ? 2048 - i : i - 2048);
    std::uint8_t size = 0;
    for (; m != 0; m >>= 1) ++size;
    t[static_cast<std::size_t>(i)] = size > 11 ? 11 : size;
  }
  return t;
}
inline constexpr auto size_by_value = make_size_by_value();
static_assert(size_by_value[2048] == 0 && size_by_value[2047] == 1 && size_by_value[2049] == 1 &&
              size_by_value[1] == 11 && size_by_value[4095] == 11 && size_by_value[0] == 11);

namespace {

inline std::uint64_t to_zigzag(std::uint64_t nonzero) {
  std::uint64_t z = 0;
  for (std::size_t r = 0; r < 8; ++r) z |= zigzag_bits[r][(nonzero >> (8 * r)) & 0xFF];
  return z;
}

// The bit writer of code_block. acc holds `bits` pending bits at its low
// end (bits < 32 between calls); whole 32-bit words are written as soon as
// they are complete, four bytes at once unless one of them is 0xFF and needs
// a 0x00 after it.
// Stores w with its most significant byte first, whatever the CPU's byte
// order.
inline void store_be32(std::uint8_t* out, std::uint32_t w) {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
  std::memcpy(out, &w, 4);
}

inline void put_word(std::uint8_t*& out, std::uint32_t w) {
  if (((~w - 0x01010101u) & w & 0x80808080u) == 0) {  // no byte of w is 0xFF
    store_be32(out, w);
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

// Takes over the pending bits of emit_code's state: CodeSize of them,
// left-aligned at bit 23.
inline void load_state(const CoderState& s, std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  bits = s.CodeSize;
  acc = (s.CodeVal >> (24 - bits)) & ((1u << bits) - 1u);
  out = s.optr;
}

// Writes the whole bytes, so that fewer than 8 bits stay pending as between
// emit_code calls, and hands the state back.
inline void store_state(CoderState& s, std::uint64_t acc, unsigned bits, std::uint8_t* out) {
  // They go out as one 32-bit store, of which only the whole bytes count,
  // unless one of those is 0xFF.
  const unsigned whole = bits / 8;
  if (whole != 0) {
    const auto w = static_cast<std::uint32_t>(acc << (32 - bits));
    const std::uint32_t used = ~0u << (32 - 8 * whole);
    if (((~w - 0x01010101u) & w & 0x80808080u & used) == 0) {
      store_be32(out, w);
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
  s.CodeSize = bits;
  s.CodeVal = (acc & ((1u << bits) - 1u)) << (24 - bits);
  s.optr = out;
}

}  // namespace
