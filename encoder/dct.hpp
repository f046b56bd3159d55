// Integer forward DCT of one 8 x 8 block (Arai-Agui-Nakajima, 8-bit
// fixed-point constants). The outputs are the DCT coefficients times
// 8 * a(r) * a(c), a(0) = 1, a(k) = sqrt(2) cos(k pi / 16); the quantizer's
// reciprocals divide that scaling out.
#pragma once

#include <cstdint>

// Transforms 8 consecutive values in place.
void dct1d(std::int32_t* row);
// Transforms 8 values in place that lie 8 elements apart (one block column).
void dct1d_v(std::int32_t* column);
// Transforms a block of 64 values in natural order in place: rows, then columns.
void dct2d(std::int32_t* block);
