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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Stores w with its most significant byte first, whatever the CPU's byte
// order.
inline void store_be32(std::uint8_t* out, std::uint32_t w) {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
  std::memcpy(out, &w, 4);
}

inline void store_be64(std::uint8_t* out, std::uint64_t w) {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  std::memcpy(out, &w, 8);
}

// ---- The branch-free bit writer of the block coders.
//
// acc holds `bits` pending bits at its low end (bits < 8 between codes; the
// bits above them are leftovers of bytes already written). After each code
// the whole 64-bit buffer is stored, most significant pending bit first, at
// out, and out advances by the whole bytes among them: no test, no
// unpredictable branch. The bytes go out unstuffed; stuff() then puts the
// 0x00 after every 0xFF, once for all the bytes of a block. A store writes 8
// bytes from out, and the scan of stuff() reads up to 15 bytes past the
// block's last byte: max_block_bytes has room for both.

// Appends a code of `length` bits (up to 56) without writing.
inline void add_code(std::uint64_t& acc, unsigned& bits, std::uint64_t code, unsigned length) {
  acc = (acc << length) | code;
  bits += length;
}

// Writes the whole bytes of acc (bits <= 63) and keeps the rest pending. The
// bytes stored past the whole ones do not count: later stores overwrite them.
inline void spill(std::uint64_t acc, unsigned& bits, std::uint8_t*& out) {
  store_be64(out, acc << ((0u - bits) & 63));
  out += bits >> 3;
  bits &= 7;
}

inline void put_bits(std::uint64_t& acc, unsigned& bits, std::uint8_t*& out, std::uint64_t code,
                     unsigned length) {
  add_code(acc, bits, code, length);
  spill(acc, bits, out);
}

// Whether one of the n bytes at p (n >= 1) is 0xFF. May read up to 15 bytes
// past them.
inline bool any_ff(const std::uint8_t* p, std::size_t n) {
#if defined(__SSE2__)
  const __m128i ones = _mm_set1_epi8(-1);
  std::size_t i = 0;
  for (; i + 16 < n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)) != 0) return true;
  }
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
  const auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)));
  return (m & (0xFFFFu >> (16 - (n - i)))) != 0;
#else
  std::size_t i = 0;
  std::uint64_t any = 0;
  for (; i + 8 < n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    any |= (~w - 0x0101010101010101u) & w;
  }
  std::uint64_t w;
  std::memcpy(&w, p + i, 8);
  // Only the n - i bytes that belong to the run count, wherever they lie
  // in the word.
  std::uint64_t keep = ~std::uint64_t{0} >> (8 * (8 - (n - i)));
  if constexpr (std::endian::native == std::endian::big) keep = ~std::uint64_t{0} << (8 * (8 - (n - i)));
  w &= keep;
  any |= ((~w - 0x0101010101010101u) & w) & keep;
  return (any & 0x8080808080808080u) != 0;
#endif
}

// Puts a 0x00 after every 0xFF among the bytes from start to end, in place
// (the buffer has room for twice as many), and returns their new end.
inline std::uint8_t* stuff(std::uint8_t* start, std::uint8_t* end) {
  const auto n = static_cast<std::size_t>(end - start);
  if (n == 0 || !any_ff(start, n)) return end;
  std::size_t count = 0;
  for (const std::uint8_t* p = start; p != end; ++p) count += *p == 0xFF;
  std::uint8_t* src = end;
  std::uint8_t* dst = end + count;
  while (dst != src) {  // from the last byte back to the first 0xFF
    const std::uint8_t b = *--src;
    if (b == 0xFF) *--dst = 0x00;
    *--dst = b;
  }
  return end + count;
}

// Takes over the pending bits of emit_code's state: CodeSize of them,
// left-aligned at bit 23.
inline void load_state(const CoderState& s, std::uint64_t& acc, unsigned& bits, std::uint8_t*& out) {
  bits = s.CodeSize;
  acc = (s.CodeVal >> (24 - bits)) & ((1u << bits) - 1u);
  out = s.optr;
}

// Hands the state back, its bytes written and stuffed and fewer than 8 bits
// pending, as between emit_code calls.
inline void store_state(CoderState& s, std::uint64_t acc, unsigned bits, std::uint8_t* out) {
  s.CodeSize = bits;
  s.CodeVal = (acc & ((1u << bits) - 1u)) << (24 - bits);
  s.optr = out;
}

// ---- The word writer, kept by the NEON coder, where the branch-free one
// costs more instructions than it saves. acc holds `bits` pending bits at
// its low end (bits < 32 between calls); whole 32-bit words are written as
// soon as they are complete, four bytes at once unless one of them is 0xFF
// and needs a 0x00 after it.

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

inline void put_bits_word(std::uint64_t& acc, unsigned& bits, std::uint8_t*& out, std::uint32_t code,
                          unsigned length) {
  acc = (acc << length) | code;  // length <= 27, so at most 58 bits are live
  bits += length;
  if (bits >= 32) {
    bits -= 32;
    put_word(out, static_cast<std::uint32_t>(acc >> bits));
  }
}

// Writes the whole bytes of the word writer, so that fewer than 8 bits stay
// pending as between emit_code calls, and hands the state back.
inline void store_state_word(CoderState& s, std::uint64_t acc, unsigned bits, std::uint8_t* out) {
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
