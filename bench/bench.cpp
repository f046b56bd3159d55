// Throughput of Blockwright's encoder core against libjpeg-turbo through the
// libjpeg API, on the same frames, in memory (no file I/O on either side).
//
//   bw_bench [--rounds N] [--path best|all|NAME[,NAME...]] [--no-noise] [FOLDER-OR-FILE.y ...]
//
// Each picture (a *.y file: three header lines, then 1280 x 1024 samples),
// and a frame of uniform random samples unless --no-noise, is encoded N
// times by each chosen path and by libjpeg-turbo, all of them in every
// round so that they see the same machine load; the median thread time of
// each gives megapixels per second, and the ratio says how many times
// faster Blockwright is. libjpeg-turbo is set up for the same job: one
// component, quality 75, the fast integer DCT, no Huffman optimisation.
// --path picks Blockwright's code paths (default: the best this CPU runs);
// --path all runs every path the CPU supports.
#include <algorithm>
#include <bit>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "blockwright.h"
#include "coder.hpp"
#include "paths.hpp"
#include "encoder.hpp"

namespace {

struct Picture {
  std::string name;
  std::vector<std::uint8_t> samples;
};

std::vector<std::uint8_t> out_bw;      // Blockwright's stream
std::vector<std::uint8_t> out_ljt;     // libjpeg-turbo's stream, fixed buffer
unsigned long out_ljt_size = 0;

constexpr int frame_width = 1280;
constexpr int frame_height = 1024;
constexpr std::size_t frame_samples = std::size_t{frame_width} * frame_height;

// The time this thread has run: on a machine shared with other work, the
// time it waits for a core does not count against either encoder.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

int append(void*, const std::uint8_t* data, std::size_t size) {
  out_bw.insert(out_bw.end(), data, data + size);
  return 0;
}

// The whole frame through a bw_encoder, on the given path.
double encode_blockwright(const std::uint8_t* samples, const CodePath* path) {
  out_bw.clear();
  const double t0 = thread_seconds();
  bw_config cfg;
  bw_default_config(&cfg);
  bw_encoder enc;
  bw_encoder_init(&enc, &cfg, append, nullptr);
  encoder_of(&enc).path = path;
  bw_encoder_write_lines(&enc, samples, frame_width, frame_height);
  bw_encoder_finish(&enc);
  return thread_seconds() - t0;
}

double encode_libjpeg(jpeg_compress_struct& cinfo, const std::uint8_t* samples) {
  JSAMPROW rows[frame_height];
  for (int y = 0; y < frame_height; ++y) {
    rows[y] = const_cast<JSAMPROW>(samples + static_cast<std::size_t>(y) * frame_width);
  }
  const double t0 = thread_seconds();
  unsigned char* buf = out_ljt.data();
  out_ljt_size = out_ljt.size();
  jpeg_mem_dest(&cinfo, &buf, &out_ljt_size);
  cinfo.image_width = frame_width;
  cinfo.image_height = frame_height;
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 75, TRUE);
  cinfo.dct_method = JDCT_IFAST;
  cinfo.optimize_coding = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  jpeg_write_scanlines(&cinfo, rows, frame_height);
  jpeg_finish_compress(&cinfo);
  const double t1 = thread_seconds();
  if (buf != out_ljt.data()) {
    std::fprintf(stderr, "bw_bench: libjpeg output outgrew its buffer\n");
    std::exit(1);
  }
  return t1 - t0;
}

// Nonzero AC coefficients per block of a frame, from the portable kernel.
double nonzero_per_block(const std::uint8_t* samples, const QuantTables& t) {
  std::size_t total = 0;
  for (int y = 0; y < frame_height; y += 8) {
    for (int x = 0; x < frame_width; x += 8) {
      std::int32_t block[64];
      std::uint32_t codes[64];
      const std::uint8_t* p = samples + static_cast<std::size_t>(y) * frame_width + x;
      const std::uint64_t nz = dct_quant_scalar(p, frame_width, t, block, codes);
      total += static_cast<std::size_t>(std::popcount(nz >> 1));
    }
  }
  constexpr double blocks = static_cast<double>(frame_samples) / 64;  // whole blocks: the frame is 8-aligned
  return static_cast<double>(total) / blocks;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void die(const std::string& file, const char* reason) {
  std::fprintf(stderr, "bw_bench: %s: %s\n", file.c_str(), reason);
  std::exit(1);
}

Picture load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) die(file.string(), "cannot open");
  std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // cppcheck-suppress knownConditionTrueFalse ; it takes the vector read above for empty
  if (data.size() < frame_samples) die(file.string(), "shorter than 1280 x 1024 samples");
  // The samples are the last 1310720 bytes, after the three header lines.
  return {file.filename().string(),
          {data.end() - static_cast<std::ptrdiff_t>(frame_samples), data.end()}};
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 21;
  std::string path_arg = "best";
  bool with_noise = true;
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-noise") {
      with_noise = false;
    } else if (a == "--path" && i + 1 < argc) {
      path_arg = argv[++i];
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: %s [--rounds N] [--path best|all|NAME[,NAME...]] [--no-noise]\n"
                           "          [FOLDER-OR-FILE.y ...]\n", argv[0]);
      return 1;
    } else {
      inputs.emplace_back(a);
    }
  }
  if (inputs.empty()) inputs.emplace_back(BW_IMAGES_DIR);

  QuantTables tables{};
  make_quant_tables(builtin_quality, tables);
  std::vector<const CodePath*> paths;
  for (const CodePath* path : all_paths()) {
    if (!path->serves(tables)) continue;
    const std::string listed = "," + path_arg + ",";
    if (path_arg == "all" || listed.find("," + std::string(path->name) + ",") != std::string::npos) {
      paths.push_back(path);
    }
  }
  if (path_arg == "best") paths.push_back(&best_path(tables));
  if (paths.empty()) die(path_arg, "no such path on this CPU");

  std::vector<Picture> pictures;
  for (const auto& in : inputs) {
    if (std::filesystem::is_directory(in)) {
      std::vector<std::filesystem::path> files;
      for (const auto& e : std::filesystem::directory_iterator(in)) {
        if (e.path().extension() == ".y") files.push_back(e.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& f : files) pictures.push_back(load(f));
    } else {
      pictures.push_back(load(in));
    }
  }
  if (pictures.empty()) die(inputs.front().string(), "no *.y pictures");

  // A frame of uniform random samples: nearly every coefficient nonzero,
  // the worst case of the coder.
  if (with_noise) {
    Picture noise{"noise", std::vector<std::uint8_t>(frame_samples)};
    std::uint32_t x = 2463534242u;
    for (auto& v : noise.samples) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v = static_cast<std::uint8_t>(x >> 24);
    }
    pictures.push_back(std::move(noise));
  }

  out_bw.reserve(8 << 20);
  out_ljt.resize(8 << 20);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);

  constexpr double megapixels = static_cast<double>(frame_samples) / 1e6;
  std::printf("%d rounds, median thread time per frame; MP/s = megapixels per second;\n"
              "nz/block = nonzero AC coefficients per block\n", rounds);
  std::printf("%-12s %-10s %8s %9s %9s %9s %9s %7s\n", "picture", "path", "nz/block", "bw bytes", "bw MP/s",
              "ljt bytes", "ljt MP/s", "ratio");
  double worst = 1e9;
  for (const auto& pic : pictures) {
    // Every path and libjpeg-turbo in each round, so that all see the same
    // machine load.
    std::vector<std::vector<double>> t_bw(paths.size());
    std::vector<double> t_ljt;
    std::vector<std::size_t> bytes(paths.size());
    for (std::size_t k = 0; k < paths.size(); ++k) encode_blockwright(pic.samples.data(), paths[k]);  // warm up
    encode_libjpeg(cinfo, pic.samples.data());
    for (int r = 0; r < rounds; ++r) {
      for (std::size_t k = 0; k < paths.size(); ++k) {
        t_bw[k].push_back(encode_blockwright(pic.samples.data(), paths[k]));
        bytes[k] = out_bw.size();
      }
      t_ljt.push_back(encode_libjpeg(cinfo, pic.samples.data()));
    }
    const double ljt = megapixels / median(t_ljt);
    const double nz = nonzero_per_block(pic.samples.data(), tables);
    for (std::size_t k = 0; k < paths.size(); ++k) {
      const double bw = megapixels / median(t_bw[k]);
      worst = std::min(worst, bw / ljt);
      std::printf("%-12s %-10s %8.1f %9zu %9.1f %9lu %9.1f %6.2fx\n", pic.name.c_str(), paths[k]->name, nz,
                  bytes[k], bw, out_ljt_size, ljt, bw / ljt);
    }
  }
  std::printf("lowest ratio: %.2fx\n", worst);
  jpeg_destroy_compress(&cinfo);
  return 0;
}
