// recipgen: prints the encoder's reciprocal quantizer table.
//
// Reads a quantizer table of 64 hexadecimal values in zigzag order on standard
// input ("08 06 06 07 ..." and "08060607..." read alike; see
// recipgen_table.hpp for what is accepted) and prints, row by row in natural
// order, the fixed-point reciprocals 65536 / (8 * q * a(r) * a(c)) that the
// encoder multiplies by instead of dividing, each followed by a comma, 8 to a
// line. Standard error gets one line a row for checking by eye: each step,
// its DCT scale factor and their product.
//
// The whole input is checked before anything is printed. A bad table gets
// one line on standard error naming the value at fault, nothing on standard
// output, and exit status 1; so does a failure to read the input or to write
// the output, a closed pipe (SIGPIPE) and a file size limit (SIGXFSZ)
// included: those signals are ignored, so that the write fails and is
// reported instead of killing the process without a word.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "recipgen_table.hpp"

namespace {

std::uint8_t inbuf[4096];

int fail(const char* what, const char* why) {
  std::fprintf(stderr, "recipgen: %s: %s\n", what, why);
  return 1;
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  table_reader_start();
  bool ok = true;
  for (;;) {
    const std::size_t n = std::fread(inbuf, 1, sizeof inbuf, stdin);
    if (!table_reader_feed(inbuf, n)) {
      ok = false;
      break;
    }
    if (n < sizeof inbuf) break;
  }
  if (ok && std::ferror(stdin)) return fail("standard input", std::strerror(errno));
  if (ok) ok = table_reader_end();
  if (!ok) return fail("standard input", table_refusal);

  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const std::int32_t q = table_steps[static_cast<std::size_t>(r) * 8 + static_cast<std::size_t>(c)];
      const double s = scale_factor(r, c);
      std::fprintf(stderr, "%d*%g=%d,", q, s, static_cast<int>(q * s));
      std::printf("%d,", reciprocal(q, r, c));
    }
    std::fputc('\n', stderr);
    std::fputc('\n', stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail("standard output", std::strerror(errno));
  }
  return 0;
}
