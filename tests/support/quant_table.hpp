// Test support: the quantizer table as the build derives it from the base
// table file and the quality, for tests that check the build's result.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using QuantTable = std::array<std::int32_t, 64>;  // natural order

// The base table file, read the way cmake/qtable.cmake reads it: numbers
// separated by white space, '#' starting a comment. Expects 64 values.
QuantTable read_base_table(const std::string& path);

// The table the build stores for a quality: S = 5000 / q below 50, else
// 200 - 2q; each entry (v * S + 50) / 100, clamped to 1..255.
QuantTable scaled_table(const QuantTable& base, int quality);
