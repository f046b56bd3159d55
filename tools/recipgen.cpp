// recipgen: prints the encoder's reciprocal quantizer table.
//
// Reads a quantizer table of 64 hexadecimal values in zigzag order on standard
// input (white space between values is optional: "08 06 06 07 ..." and
// "08060607..." read alike) and prints, row by row in natural order, the
// fixed-point reciprocals 65536 / (8 * q * a(r) * a(c)) that the encoder
// multiplies by instead of dividing. Standard error gets one diagnostic line a
// row: each step, its DCT scale factor and their product.
//
// Input is checked in full before anything is printed; a bad table gets one
// line on standard error naming the value at fault, nothing on standard
// output, and exit status 1.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<std::int32_t, 64> zz = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Quantizer steps in natural order.
std::array<std::int32_t, 64> qu;

bool is_space(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int hex_digit(int ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Describes an unexpected input byte: printable ones quoted, others in hex.
const char* describe(int ch) {
  static char text[16];
  if (ch > ' ' && ch < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", ch);
  } else {
    std::snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned>(ch));
  }
  return text;
}

int refuse(const char* what) {
  std::fprintf(stderr, "recipgen: %s\n", what);
  return 1;
}

// Reads the 64 values into qu. Returns 0, or 1 after reporting the fault.
int read_table() {
  char why[128];
  for (int k = 0; k < 64; ++k) {
    int ch = std::getchar();
    while (is_space(ch)) ch = std::getchar();
    if (ch == EOF) {
      if (std::ferror(stdin)) {
        std::snprintf(why, sizeof why, "standard input: %s", std::strerror(errno));
      } else {
        std::snprintf(why, sizeof why, "value %d of 64: missing, the input ends after %d values",
                      k + 1, k);
      }
      return refuse(why);
    }
    int value = hex_digit(ch);
    if (value < 0) {
      std::snprintf(why, sizeof why,
                    "value %d of 64: %s is neither white space nor a hexadecimal digit", k + 1,
                    describe(ch));
      return refuse(why);
    }
    // A value has at most two digits; a third digit starts the next value.
    ch = std::getchar();
    const int second = hex_digit(ch);
    if (second >= 0) {
      value = value * 16 + second;
    } else if (ch != EOF && !is_space(ch)) {
      std::snprintf(why, sizeof why,
                    "value %d of 64: %s is neither white space nor a hexadecimal digit", k + 1,
                    describe(ch));
      return refuse(why);
    } else {
      std::ungetc(ch, stdin);
    }
    if (value == 0) {
      std::snprintf(why, sizeof why, "value %d of 64: 0 is not a quantizer step (1 to 255)",
                    k + 1);
      return refuse(why);
    }
    qu[zz[k]] = value;
  }
  // Only white space may follow the table: anything else means the input is
  // not the table it was meant to be (a 65th value, a stray character).
  int ch = std::getchar();
  while (is_space(ch)) ch = std::getchar();
  if (ch != EOF) {
    std::snprintf(why, sizeof why, "after value 64: %s, but a table ends after 64 values",
                  describe(ch));
    return refuse(why);
  }
  if (std::ferror(stdin)) {
    std::snprintf(why, sizeof why, "standard input: %s", std::strerror(errno));
    return refuse(why);
  }
  return 0;
}

}  // namespace

int main() {
  if (read_table() != 0) return 1;
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const std::int32_t q = qu[8 * r + c];
      std::fprintf(stderr, "%d", q);
      double s = 1.0;
      if (r != 0) s = std::cos(r * 0.19634954085) * 1.4142135623730951 * s;
      if (c != 0) s = std::cos(c * 0.19634954085) * 1.4142135623730951 * s;
      std::fprintf(stderr, "*%g=%d,", s, static_cast<int>(q * s));
      std::printf("%d,", static_cast<int>(65536.0 / (static_cast<double>(q * 8) * s)));
    }
    std::fputc('\n', stderr);
    std::fputc('\n', stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "recipgen: standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
