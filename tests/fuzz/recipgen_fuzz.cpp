// Fuzz target for recipgen's table reader: any bytes give either a table of
// 64 steps in 1..255 or a one-line refusal, never a crash; the result agrees
// with a plain model of the accepted syntax, and does not depend on how the
// input is split into pieces.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "recipgen_table.hpp"

namespace {

bool is_space(std::uint8_t ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int hex_value(std::uint8_t ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// The model: the input is runs of hexadecimal digits between white space;
// each run is one digit or an even number of them, cut into values of two
// digits from its start. It is accepted when nothing else occurs, there
// are exactly 64 values, and none is 0. Values come out in input order.
bool model(const std::uint8_t* data, std::size_t size, std::array<int, 64>& values) {
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < size) {
    if (is_space(data[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < size && hex_value(data[end]) >= 0) ++end;
    if (end == i) return false;  // neither white space nor a digit
    if (end - i > 1 && (end - i) % 2 == 1) return false;  // a value of three digits or more
    for (std::size_t p = i; p < end; p += 2) {
      int v = hex_value(data[p]);
      if (p + 1 < end) v = v * 16 + hex_value(data[p + 1]);
      if (v == 0 || n == 64) return false;
      values[n++] = v;
    }
    i = end;
  }
  return n == 64;
}

// Natural index of each zigzag position, walked along the anti-diagonals.
std::array<int, 64> zigzag() {
  std::array<int, 64> order{};
  std::size_t k = 0;
  for (int s = 0; s < 15; ++s) {
    const int lo = s > 7 ? s - 7 : 0, hi = s < 7 ? s : 7;
    for (int j = 0; j <= hi - lo; ++j) {
      const int r = (s % 2 == 0) ? hi - j : lo + j;
      order[k++] = 8 * r + (s - r);
    }
  }
  return order;
}

bool read_all(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  table_reader_start();
  for (std::size_t i = 0; i < size; i += piece) {
    const std::size_t n = size - i < piece ? size - i : piece;
    if (!table_reader_feed(data + i, n)) return false;
  }
  return table_reader_end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::array<int, 64> zz = zigzag();
  const bool ok = read_all(data, size, size == 0 ? 1 : size);
  const std::array<std::int32_t, 64> steps = table_steps;
  char why[refusal_size];
  std::memcpy(why, table_refusal, sizeof why);

  if (ok) {
    for (const std::int32_t q : steps) {
      if (q < 1 || q > 255) std::abort();
    }
  } else {
    // One line naming the position.
    const std::size_t len = strnlen(why, sizeof why);
    if (len == 0 || len == sizeof why || std::memchr(why, '\n', len) != nullptr) std::abort();
    if (std::strncmp(why, "value ", 6) != 0 && std::strncmp(why, "after value 64", 14) != 0) std::abort();
  }

  std::array<int, 64> values{};
  if (model(data, size, values) != ok) std::abort();
  if (ok) {
    for (std::size_t k = 0; k < 64; ++k) {
      if (steps[static_cast<std::size_t>(zz[k])] != values[k]) std::abort();
    }
  }

  // Split into pieces of a size taken from the input: the same outcome.
  const std::size_t piece = size == 0 ? 1 : 1 + data[0] % 8;
  if (read_all(data, size, piece) != ok) std::abort();
  if (table_steps != steps || std::strcmp(table_refusal, why) != 0) std::abort();
  return 0;
}
