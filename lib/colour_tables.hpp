// The tables of colour frames: the chrominance quantizer base and code
// tables, and the three-component stream header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "tables.hpp"

// Chrominance quantizer base table, natural order (scaled by the quality as
// the luminance one is).
inline constexpr std::array<std::uint8_t, 64> chroma_base_table = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Chrominance DC and AC codes: counts by length, then the symbols.
inline constexpr std::array<std::uint8_t, 16> chroma_dc_counts = {0, 3, 1, 1, 1, 1, 1, 1,
                                                                 1, 1, 1, 0, 0, 0, 0, 0};
inline constexpr std::array<std::uint8_t, 12> chroma_dc_symbols = {0, 1, 2, 3, 4,  5,
                                                                  6, 7, 8, 9, 10, 11};
inline constexpr std::array<std::uint8_t, 16> chroma_ac_counts = {0, 2, 1, 2, 4, 4, 3, 4,
                                                                 7, 5, 4, 4, 0, 1, 2, 0x77};
inline constexpr std::array<std::uint8_t, 162> chroma_ac_symbols = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33,
    0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18,
    0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4,
    0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA,
    0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
    0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};

constexpr std::size_t count_sum(const std::array<std::uint8_t, 16>& counts) {
  std::size_t n = 0;
  for (auto c : counts) n += c;
  return n;
}
static_assert(count_sum(chroma_dc_counts) == chroma_dc_symbols.size());
static_assert(count_sum(chroma_ac_counts) == chroma_ac_symbols.size());
static_assert(count_sum(dc_counts) == dc_symbols.size() && count_sum(ac_counts) == ac_symbols.size());

// The chrominance components' code tables, as the block coders read them.
inline constexpr CodeTable chroma_dc = make_code_table(chroma_dc_counts, chroma_dc_symbols);
inline constexpr CodeTable chroma_ac = make_code_table(chroma_ac_counts, chroma_ac_symbols);

static_assert(chroma_dc.code[0] == 0 && chroma_dc.size[0] == 2);
static_assert(chroma_dc.code[11] == 0x7FE && chroma_dc.size[11] == 11);
static_assert(chroma_ac.prefix[0x00] == 0 && chroma_ac.length[0x00] == 2, "EOB");
static_assert(chroma_ac.prefix[0x01] == 0b01 << 1 && chroma_ac.length[0x01] == 3);
static_assert(chroma_ac.prefix[0xF0] == 0x3FA && chroma_ac.length[0xF0] == 10, "ZRL");
static_assert(chroma_ac.prefix[0xFA] == 0xFFFEu << 10 && chroma_ac.length[0xFA] == 26);

// The header of a colour frame: SOI, JFIF APP0, DQT for tables 0 and 1
// (steps in zigzag order), SOF0 with Y (sampling hy x vy), Cb and Cr, the
// four DHT segments, DRI when there are restarts, and SOS. Returns its
// size: colour_header_size, or 6 more with DRI.
inline constexpr std::size_t colour_header_size = 623;

constexpr std::size_t make_colour_header(std::uint8_t* h, std::uint32_t width, std::uint32_t height,
                                         const std::array<std::uint8_t, 64>& q0,
                                         const std::array<std::uint8_t, 64>& q1, std::uint32_t hy,
                                         std::uint32_t vy, std::uint32_t restart) {
  std::size_t n = 0;
  auto put = [&](std::initializer_list<std::uint32_t> bytes) {
    for (std::uint32_t b : bytes) h[n++] = static_cast<std::uint8_t>(b);
  };
  auto put_table = [&](const auto& t) {
    for (auto v : t) h[n++] = v;
  };
  put({0xFF, 0xD8});                                                  // SOI
  put({0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01,  // APP0
       0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  put({0xFF, 0xDB, 0x00, 0x43, 0x00});  // DQT, table 0
  put_table(q0);
  put({0xFF, 0xDB, 0x00, 0x43, 0x01});  // DQT, table 1
  put_table(q1);
  put({0xFF, 0xC0, 0x00, 0x11, 0x08, height >> 8, height & 0xFF, width >> 8, width & 0xFF,  // SOF0
       0x03, 0x01, hy << 4 | vy, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
  put({0xFF, 0xC4, 0x00, 0x1F, 0x00});  // DHT, DC table 0
  put_table(dc_counts);
  put_table(dc_symbols);
  put({0xFF, 0xC4, 0x00, 0xB5, 0x10});  // DHT, AC table 0
  put_table(ac_counts);
  put_table(ac_symbols);
  put({0xFF, 0xC4, 0x00, 0x1F, 0x01});  // DHT, DC table 1
  put_table(chroma_dc_counts);
  put_table(chroma_dc_symbols);
  put({0xFF, 0xC4, 0x00, 0xB5, 0x11});  // DHT, AC table 1
  put_table(chroma_ac_counts);
  put_table(chroma_ac_symbols);
  if (restart != 0) put({0xFF, 0xDD, 0x00, 0x04, restart >> 8, restart & 0xFF});  // DRI
  put({0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});  // SOS
  return n;
}

static_assert([] {
  std::array<std::uint8_t, colour_header_size + 6> h{};
  return make_colour_header(h.data(), 1, 1, dqt, dqt, 2, 2, 0) == colour_header_size &&
         make_colour_header(h.data(), 1, 1, dqt, dqt, 2, 2, 9) == colour_header_size + 6;
}());
