// Encodes one picture in the image.y format with a chosen code path, as the
// blockwright program does with the best one: for counting the instructions
// of each path under qemu (bench/arm_counts.sh).
//
//   bw_path_run PATH INPUT OUTPUT      PATH: reference, scalar, neon, ...
//
// Reads the picture stripe by stripe like the program, so that the count of
// the whole process compares with the program's and a peer's.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "blockwright.h"
#include "paths.hpp"
#include "encoder.hpp"

namespace {

int write_out(void* user, const std::uint8_t* data, std::size_t size) {
  return std::fwrite(data, 1, size, static_cast<std::FILE*>(user)) == size ? 0 : 1;
}

bool read_all(int fd, std::uint8_t* buf, std::size_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, buf, size);
    if (n <= 0) return false;
    buf += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bw_encoder encoder;
std::uint8_t stripe[1280 * 8];

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bw_path_run PATH INPUT OUTPUT\n");
    return 2;
  }
  const CodePath* path = find_path(argv[1]);
  bw_config cfg;
  bw_default_config(&cfg);
  const int in = open(argv[2], O_RDONLY);
  std::FILE* out = std::fopen(argv[3], "wb");
  if (in < 0 || out == nullptr) {
    std::fprintf(stderr, "bw_path_run: cannot open %s\n", in < 0 ? argv[2] : argv[3]);
    return 1;
  }
  if (bw_encoder_init(&encoder, &cfg, write_out, out) != BW_OK) return 1;
  Encoder& e = encoder_of(&encoder);
  if (path == nullptr || !path->serves(e.tables)) {
    std::fprintf(stderr, "bw_path_run: %s: no such path here\n", argv[1]);
    return 2;
  }
  e.path = path;
  // The three header lines: the samples are the last 1280 x 1024 bytes.
  if (lseek(in, -1280 * 1024, SEEK_END) < 0) return 1;
  for (int y = 0; y < 1024; y += 8) {
    if (!read_all(in, stripe, sizeof stripe)) return 1;
    if (bw_encoder_write_lines(&encoder, stripe, 1280, 8) != BW_OK) return 1;
  }
  if (bw_encoder_finish(&encoder) != BW_OK || std::fclose(out) != 0) return 1;
  return 0;
}
