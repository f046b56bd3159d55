#include "quant.hpp"

#include "tables.hpp"

std::uint8_t scaled_step(std::uint8_t v, int quality) {
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  const int q = (v * scale + 50) / 100;
  return static_cast<std::uint8_t>(q < 1 ? 1 : q > 255 ? 255 : q);
}

namespace {

void scale_table(const std::array<std::uint8_t, 64>& base, int quality, QuantTables& t) {
  for (std::size_t k = 0; k < 64; ++k) t.dqt[k] = scaled_step(base[zz[k]], quality);
  for (std::size_t k = 0; k < 64; ++k) {
    const int i = zz[k];
    t.qu[static_cast<std::size_t>(i)] = reciprocal(t.dqt[k], i / 8, i % 8);
  }
}

void make_16bit(QuantTables& t);

}  // namespace

void make_quant_tables_from(const std::array<std::uint8_t, 64>& base, int quality, QuantTables& t) {
  scale_table(base, quality, t);
  make_16bit(t);
}

void make_quant_tables(int quality, QuantTables& t) {
  if (quality == builtin_quality) {
    t.dqt = dqt;
    t.qu = qu;
  } else {
    scale_table(base_table, quality, t);
  }
  make_16bit(t);
}

namespace {

// The 16-bit copies of the reciprocals, and whether they fit.
void make_16bit(QuantTables& t) {
  t.fits16 = true;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::int32_t v = t.qu[i];
    if (v > 32767) t.fits16 = false;
    t.qu16[i] = static_cast<std::int16_t>(v > 32767 ? 32767 : v);
    t.qu16x2[i / 8 * 16 + i % 8] = t.qu16[i];
    t.qu16x2[i / 8 * 16 + 8 + i % 8] = t.qu16[i];
  }
}

}  // namespace
