// Throughput of one frame on several threads against one thread, through
// the public API (bw_encode_to_memory), in one process.
//
//   bw_threads [--rounds N] [--threads T] [FOLDER]
//
// Frames: each sample picture at 1280 x 1024, and a 4000 x 3000 frame tiled
// from all four (every tile a different picture or offset, so no two bands
// code alike), each without restart markers and with a marker every 64
// blocks and every stripe. The encodings with 1 and T threads alternate, N
// rounds; the medians give megapixels per second and their ratio. Every
// output of T threads is checked against one thread's, byte for byte.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "blockwright.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A *.y picture: three header lines, then 1280 x 1024 samples.
Bytes read_picture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (int i = 0; i < 3 && std::getline(in, line);) ++i;
  Bytes samples((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (samples.size() != 1280u * 1024u) {
    std::fprintf(stderr, "bw_threads: %s: not a 1280 x 1024 picture\n", path.c_str());
    std::exit(1);
  }
  return samples;
}

struct Frame {
  std::string name;
  std::uint32_t width, height;
  Bytes samples;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double seconds(const bw_config& cfg, const Bytes& samples, Bytes& out, std::size_t& size) {
  const auto t0 = std::chrono::steady_clock::now();
  const int status = bw_encode_to_memory(&cfg, samples.data(), cfg.width, out.data(), out.size(), &size);
  const auto t1 = std::chrono::steady_clock::now();
  if (status != BW_OK) {
    std::fprintf(stderr, "bw_threads: %s\n", bw_strerror(status));
    std::exit(1);
  }
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 31;
  std::uint32_t threads = 2;
  std::string folder = BW_IMAGES_DIR;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--threads" && i + 1 < argc) {
      threads = static_cast<std::uint32_t>(std::atoi(argv[++i]));
    } else {
      folder = a;
    }
  }
  const char* names[] = {"astronaut", "camera", "coffee", "gravel"};
  std::vector<Bytes> pictures;
  std::vector<Frame> frames;
  for (const char* n : names) {
    pictures.push_back(read_picture(folder + "/" + n + ".y"));
    frames.push_back({n, 1280, 1024, pictures.back()});
  }
  // 4000 x 3000: tiles of 1280 x 1024 from the four pictures in turn, each
  // row of tiles shifted, so the bands of the frame differ.
  Frame big{"tiled 4000x3000", 4000, 3000, Bytes(4000u * 3000u)};
  for (std::uint32_t y = 0; y < big.height; ++y) {
    for (std::uint32_t x = 0; x < big.width; ++x) {
      const std::uint32_t tx = (x + 517 * (y / 1024)) / 1280, ty = y / 1024;
      const Bytes& p = pictures[(tx + ty) % 4];
      big.samples[static_cast<std::size_t>(y) * big.width + x] = p[(y % 1024) * 1280 + (x + 517 * ty) % 1280];
    }
  }
  frames.push_back(big);

  std::printf("%-16s %8s %12s %12s %8s\n", "frame", "restart", "1 thread", "threads", "ratio");
  for (const Frame& f : frames) {
    for (const std::uint32_t restart : {0u, 64u, (f.width + 7) / 8}) {
      bw_config one;
      bw_default_config(&one);
      one.width = f.width;
      one.height = f.height;
      one.restart_interval = restart;
      bw_config many = one;
      many.threads = threads;
      Bytes out1(bw_max_encoded_size(&one)), outn(out1.size());
      std::size_t size1 = 0, sizen = 0;
      std::vector<double> t1, tn;
      for (int r = 0; r < rounds; ++r) {
        t1.push_back(seconds(one, f.samples, out1, size1));
        tn.push_back(seconds(many, f.samples, outn, sizen));
      }
      if (size1 != sizen || std::memcmp(out1.data(), outn.data(), size1) != 0) {
        std::fprintf(stderr, "bw_threads: %s: %u threads give other bytes\n", f.name.c_str(), threads);
        return 1;
      }
      const double mp = static_cast<double>(f.width) * f.height / 1e6;
      const double a = median(t1), b = median(tn);
      std::printf("%-16s %8u %8.0f MP/s %8.0f MP/s %7.2fx\n", f.name.c_str(), restart, mp / a, mp / b, a / b);
    }
  }
  return 0;
}
