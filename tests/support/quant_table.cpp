#include "quant_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

QuantTable read_base_table(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot read " << path;
  QuantTable base{};
  std::size_t n = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    int v = 0;
    while (words >> v) {
      if (n < 64) base[n] = v;
      ++n;
    }
  }
  EXPECT_EQ(n, 64u) << path;
  return base;
}

QuantTable scaled_table(const QuantTable& base, int quality) {
  const int s = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  QuantTable t{};
  for (std::size_t i = 0; i < 64; ++i) t[i] = std::clamp((base[i] * s + 50) / 100, 1, 255);
  return t;
}
