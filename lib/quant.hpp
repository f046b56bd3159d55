// The quantizer: the base table scaled by a quality, and the reciprocals the
// encoder multiplies by instead of dividing. recipgen prints the same
// reciprocals with the same functions, so the table a build bakes in and the
// tables computed at run time for other qualities cannot disagree.
#pragma once

#include <array>
#include <cstdint>

// DCT scale factor a(r) * a(c) of position (r, c), a(0) = 1 and
// a(k) = cos(k * 0.19634954085) * sqrt(2), multiplied as a(c) * a(r).
double scale_factor(int r, int c);

// The reciprocal 65536 / (8 * q * a(r) * a(c)) truncated towards zero, at 16
// fractional bits: the encoder's multiplier for step q at (r, c).
std::int32_t reciprocal(std::int32_t q, int r, int c);

// The step of base value v at a quality from 1 to 100: with S = 5000 / quality
// below 50, else 200 - 2 * quality, (v * S + 50) / 100 clamped to 1 .. 255.
std::uint8_t scaled_step(std::uint8_t v, int quality);

// Everything the encoder needs of one quantizer table.
struct QuantTables {
  std::array<std::uint8_t, 64> dqt;  // the steps in zigzag order, as DQT stores them
  std::array<std::int32_t, 64> qu;    // reciprocals, natural order
  std::array<std::int16_t, 64> qu16;  // the same on 16 bits (when fits16)
  std::array<std::int16_t, 128> qu16x2;  // qu16 with each row twice, for two blocks side by side
  bool fits16;  // every reciprocal below 2^15, so 16-bit lanes can quantize
};

// The tables for a quality: the build's own (no computation) at the
// built-in quality, else the built-in base table scaled and its reciprocals
// computed.
void make_quant_tables(int quality, QuantTables& t);

// The tables of another base table (natural order) at a quality: its steps
// scaled as the built-in table's are, and their reciprocals.
void make_quant_tables_from(const std::array<std::uint8_t, 64>& base, int quality, QuantTables& t);
