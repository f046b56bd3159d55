// Constant tables of the encoder: the quantizer table and its reciprocals,
// the zigzag order, the standard luminance code tables, and the stream header
// that carries them. Everything here is computed at compile time, and the
// code tables are derived from the very bytes the header stores, so the two
// cannot disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

// The 64 quantizer steps in zigzag order, as the DQT segment stores them.
// Generated at configure time from lib/quant_table.txt and the quality.
inline constexpr std::array<std::uint8_t, 64> dqt = {
#include "dqt.inc"
};

// The quality the build scaled dqt by, and the base table it scaled (natural
// order): other qualities are derived from the same base at run time.
inline constexpr int builtin_quality = BLOCKWRIGHT_BUILTIN_QUALITY;
inline constexpr std::array<std::uint8_t, 64> base_table = {
#include "base.inc"
};

// Reciprocal quantizers in natural order at 16 fractional bits, with the
// DCT's output scaling folded in. This is recipgen's output for dqt,
// generated at build time.
inline constexpr std::array<std::int32_t, 64> qu = {
#include "qu.inc"
};

// zz[k] is the natural index (8 * row + column) of the k-th coefficient in
// zigzag order.
inline constexpr std::array<std::uint8_t, 64> zz = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Luminance DC code: code counts for lengths 1 to 16, then the categories.
inline constexpr std::array<std::uint8_t, 16> dc_counts = {0, 1, 5, 1, 1, 1, 1, 1,
                                                          1, 0, 0, 0, 0, 0, 0, 0};
inline constexpr std::array<std::uint8_t, 12> dc_symbols = {0, 1, 2, 3, 4,  5,
                                                           6, 7, 8, 9, 10, 11};

// Luminance AC code: code counts, then the run/size symbols by code length
// and, within a length, by code.
inline constexpr std::array<std::uint8_t, 16> ac_counts = {0, 2, 1, 3, 3, 2, 4, 3,
                                                          5, 5, 4, 4, 0, 0, 1, 0x7D};
inline constexpr std::array<std::uint8_t, 162> ac_symbols = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52,
    0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6,
    0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3,
    0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8,
    0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};

// Code lengths by symbol: the i-th symbol of a DHT segment gets the i-th
// length when the lengths are listed count by count, shortest first. Symbols
// the code does not define keep length 0.
template <std::size_t N, std::size_t S>
constexpr std::array<std::uint8_t, N> derive_sizes(const std::array<std::uint8_t, 16>& counts,
                                                   const std::array<std::uint8_t, S>& symbols) {
  std::array<std::uint8_t, N> size{};
  std::size_t i = 0;
  for (std::size_t len = 1; len <= 16; ++len) {
    for (std::size_t j = 0; j < counts[len - 1]; ++j) size[symbols[i++]] = static_cast<std::uint8_t>(len);
  }
  return size;
}

// Codes by symbol: canonical codes, counting up within a length and shifting
// left as the length grows. Undefined symbols keep code 0.
template <std::size_t N, std::size_t S>
constexpr std::array<std::uint16_t, N> derive_codes(const std::array<std::uint8_t, 16>& counts,
                                                    const std::array<std::uint8_t, S>& symbols) {
  std::array<std::uint16_t, N> code{};
  std::size_t i = 0;
  unsigned next = 0;
  for (std::size_t len = 1; len <= 16; ++len) {
    for (std::size_t j = 0; j < counts[len - 1]; ++j) code[symbols[i++]] = static_cast<std::uint16_t>(next++);
    next <<= 1;
  }
  return code;
}

inline constexpr auto huffsizeDC = derive_sizes<12>(dc_counts, dc_symbols);
inline constexpr auto huffcodeDC = derive_codes<12>(dc_counts, dc_symbols);
inline constexpr auto huffsizeAC = derive_sizes<256>(ac_counts, ac_symbols);
inline constexpr auto huffcodeAC = derive_codes<256>(ac_counts, ac_symbols);

static_assert(huffsizeDC[0] == 2 && huffcodeDC[0] == 0);
static_assert(huffsizeDC[11] == 9 && huffcodeDC[11] == 510);
static_assert(huffsizeAC[0x00] == 4 && huffcodeAC[0x00] == 0b1010, "EOB");
static_assert(huffsizeAC[0xF0] == 11 && huffcodeAC[0xF0] == 0b11111111001, "ZRL");
static_assert(huffsizeAC[0x01] == 2 && huffcodeAC[0x01] == 0);
static_assert(huffsizeAC[0xFA] == 16 && huffcodeAC[0xFA] == 0xFFFE);

// One code table as the block coders read it, indexed by symbol: for AC the
// run * 16 + size byte, for DC the size. prefix and length already make
// room for the value bits that follow a code (size bits: the low four bits
// of the symbol), so that a coefficient is one table read and one OR; EOB
// (0x00) and ZRL (0xF0) have no value bits, so their prefix is their code.
struct CodeTable {
  std::array<std::uint16_t, 256> code;   // the code; 0 for a symbol the table lacks
  std::array<std::uint8_t, 256> size;    // its length; 0 for a symbol the table lacks
  std::array<std::uint32_t, 256> prefix;  // code << (symbol & 15)
  std::array<std::uint8_t, 256> length;   // size + (symbol & 15)
  // The code's low and high bytes, for the vector coders' byte lookups.
  std::array<std::uint8_t, 256> code_low, code_high;
};

template <std::size_t S>
constexpr CodeTable make_code_table(const std::array<std::uint8_t, 16>& counts,
                                    const std::array<std::uint8_t, S>& symbols) {
  CodeTable t{};
  t.code = derive_codes<256>(counts, symbols);
  t.size = derive_sizes<256>(counts, symbols);
  for (std::size_t i = 0; i < 256; ++i) {
    t.prefix[i] = static_cast<std::uint32_t>(t.code[i]) << (i & 15);
    t.length[i] = static_cast<std::uint8_t>(t.size[i] + (i & 15));
    t.code_low[i] = static_cast<std::uint8_t>(t.code[i]);
    t.code_high[i] = static_cast<std::uint8_t>(t.code[i] >> 8);
  }
  return t;
}

// The tables of the one component a frame has today.
inline constexpr CodeTable luma_dc = make_code_table(dc_counts, dc_symbols);
inline constexpr CodeTable luma_ac = make_code_table(ac_counts, ac_symbols);
static_assert(luma_dc.size[11] == 9 && luma_dc.prefix[11] == 510u << 11 && luma_dc.length[11] == 20);
static_assert(luma_ac.prefix[0x00] == 0b1010 && luma_ac.length[0xF0] == 11, "EOB, ZRL");
static_assert(luma_ac.prefix[0xFA] == 0xFFFEu << 10 && luma_ac.length[0xFA] == 26);

// The stream header for a frame of width x height samples with quantizer
// steps q (zigzag order) and a restart interval (0: none): SOI, JFIF APP0,
// DQT, SOF0 (one component), the DC and AC DHT segments, DRI when there are
// restarts, and SOS. Returns its size: header_size, or header_size + 6 with
// DRI.
inline constexpr std::size_t header_size = 328;
inline constexpr std::size_t max_header_size = header_size + 6;

constexpr std::size_t make_header(std::uint8_t* h, std::uint32_t width, std::uint32_t height,
                                  const std::array<std::uint8_t, 64>& q, std::uint32_t restart) {
  std::size_t n = 0;
  auto put = [&](std::initializer_list<std::uint32_t> bytes) {
    for (std::uint32_t b : bytes) h[n++] = static_cast<std::uint8_t>(b);
  };
  put({0xFF, 0xD8});                                                  // SOI
  put({0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01,  // APP0
       0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  put({0xFF, 0xDB, 0x00, 0x43, 0x00});                                // DQT
  for (auto v : q) h[n++] = v;
  put({0xFF, 0xC0, 0x00, 0x0B, 0x08, height >> 8, height & 0xFF,  // SOF0
       width >> 8, width & 0xFF, 0x01, 0x01, 0x11, 0x00});
  put({0xFF, 0xC4, 0x00, 0x1F, 0x00});  // DHT, DC table 0
  for (auto v : dc_counts) h[n++] = v;
  for (auto v : dc_symbols) h[n++] = v;
  put({0xFF, 0xC4, 0x00, 0xB5, 0x10});  // DHT, AC table 0
  for (auto v : ac_counts) h[n++] = v;
  for (auto v : ac_symbols) h[n++] = v;
  if (restart != 0) put({0xFF, 0xDD, 0x00, 0x04, restart >> 8, restart & 0xFF});  // DRI
  put({0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});  // SOS
  return n;
}

constexpr std::array<std::uint8_t, header_size> make_default_header() {
  std::array<std::uint8_t, header_size> h{};
  make_header(h.data(), 1280, 1024, dqt, 0);  // a longer header fails the build
  return h;
}
static_assert([] {
  std::array<std::uint8_t, max_header_size> h{};
  return make_header(h.data(), 1280, 1024, dqt, 0) == header_size &&
         make_header(h.data(), 1280, 1024, dqt, 1) == max_header_size;
}());

// The header of the default frame: 1280 x 1024, the built-in quality, no
// restarts.
inline constexpr std::array<std::uint8_t, header_size> headerbuf = make_default_header();

static_assert(headerbuf[20] == 0xFF && headerbuf[21] == 0xDB && headerbuf[89] == 0xFF &&
              headerbuf[94] == 0x04 && headerbuf[96] == 0x05 && headerbuf[102] == 0xFF &&
              headerbuf[135] == 0xFF && headerbuf[318] == 0xFF && headerbuf[319] == 0xDA);

// Every step must be usable: 0 has no reciprocal.
constexpr bool steps_in_range() {
  for (auto v : dqt)
    if (v == 0) return false;
  return true;
}
static_assert(steps_in_range());

