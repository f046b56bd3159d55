// Colour frames: the sample pictures give their listed bytes on every code
// path, thread count and grouping of lines; every input kind made from the
// same planes gives the same bytes; edge MCUs and restart intervals decode;
// quality stays with a peer's; metadata segments and refused settings.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "colour.hpp"
#include "decode.hpp"
#include "encode.hpp"
#include "encoder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Picture {
  std::uint32_t width = 0, height = 0;
  Bytes rgb;
};

// A binary PPM with maxval 255.
Picture read_ppm(const std::string& name) {
  const Bytes f = read_file(images_dir() + "/" + name);
  Picture p;
  unsigned w = 0, h = 0, maxval = 0;
  int used = 0;
  const std::string head(f.begin(), f.begin() + 32);
  if (std::sscanf(head.c_str(), "P6 %u %u %u%n", &w, &h, &maxval, &used) != 3 || maxval != 255)
    throw std::runtime_error(name + ": not a P6 with maxval 255");
  p.width = w;
  p.height = h;
  p.rgb.assign(f.begin() + used + 1, f.end());
  if (p.rgb.size() != 3u * w * h) throw std::runtime_error(name + ": short");
  return p;
}

// The frame's lines: one interleaved plane, or up to three.
struct Input {
  std::uint32_t kind = BW_INPUT_RGB;
  Bytes plane[3];
  std::size_t stride[3] = {0, 0, 0};
};

bw_config colour_config(std::uint32_t w, std::uint32_t h, std::uint32_t input, std::uint32_t sampling,
                        std::uint32_t quality = 75, std::uint32_t restart = 0) {
  bw_config cfg = make_config(w, h, quality, restart);
  cfg.input = input;
  cfg.sampling = sampling;
  return cfg;
}

int append(void* user, const std::uint8_t* data, std::size_t size) {
  auto* v = static_cast<Bytes*>(user);
  v->insert(v->end(), data, data + size);
  return 0;
}

// Encodes through a bw_encoder on a path (path_count: its own choice), in
// calls of `lines` lines (0: the whole frame in one call).
Bytes encode(const bw_config& cfg, const Input& in, Path path = path_count, std::uint32_t lines = 0) {
  Bytes out;
  bw_encoder enc;
  EXPECT_EQ(bw_encoder_init(&enc, &cfg, append, &out), BW_OK);
  if (path != path_count) encoder_of(&enc).path = path;
  const std::uint32_t vy = in.kind == BW_INPUT_I420 || in.kind == BW_INPUT_NV12 ? 2 : 1;
  for (std::uint32_t y = 0; y < cfg.height;) {
    const std::uint32_t n = lines == 0 ? cfg.height : std::min(lines, cfg.height - y);
    const std::uint8_t* planes[3];
    for (int p = 0; p < 3; ++p) {
      const std::size_t row = p == 0 ? y : y / vy;
      planes[p] = in.plane[p].empty() ? nullptr : in.plane[p].data() + row * in.stride[p];
    }
    EXPECT_EQ(bw_encoder_write_planes(&enc, planes, in.stride, n), BW_OK) << "line " << y;
    y += n;
  }
  EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
  return out;
}

Input rgb_input(const Picture& p) {
  Input in;
  in.plane[0] = p.rgb;
  in.stride[0] = 3 * p.width;
  return in;
}

std::uint32_t vy_of(std::uint32_t sampling) { return sampling == 420 ? 2 : 1; }

// ---- The sample pictures' bytes.

struct Expected {
  const char* file;
  std::uint32_t sampling, quality, restart;
  bool gray;
  std::size_t bytes;
  const char* sha256;
};

const Expected expected[] = {
    {"astronaut.ppm", 420, 75, 0, false, 40116, "f280924e345586ad4806629d3fad1501d55f195814227d08487041e1c607000f"},
    {"astronaut.ppm", 422, 75, 0, false, 43803, "160a94d1398ff156fd571d57f9b61ee1f1aeeb18cdc8681a7e7bf03cd9229709"},
    {"astronaut.ppm", 444, 75, 0, false, 49552, "385e90e53c14effd867930c6216e9dc7caf3343ae2becaf1aa7acb2add9ae560"},
    {"coffee.ppm", 420, 75, 0, false, 41661, "5ec155d26e76d15964ff556d4a0ebe03ad9923a98ca8e67f4f61b20e67440b4b"},
    {"coffee.ppm", 422, 75, 0, false, 45656, "25edbf06a713f1e0ae1ec19f1db3652b2858a1f49c9538496f40b14a7c0d9583"},
    {"coffee.ppm", 444, 75, 0, false, 52202, "c7fe51e6f4384ab699b625455f205d02d5f2ebf7d7a9acf32ad82e92643f39e6"},
    {"chelsea.ppm", 420, 75, 0, false, 20644, "3121f40e140cb159e3d3983a1a61b6bacfdff50ed84266944ba5343ea9a0e6c1"},
    {"chelsea.ppm", 422, 75, 0, false, 22134, "8458eea0c753828fcc80bf852c2a53f978ced0df716ae48c11b08c5a945ff2bd"},
    {"chelsea.ppm", 444, 75, 0, false, 24459, "bc9ea1834e3c1c63022e361527b833269474345bd1481dc0cfd48c022f91b91c"},
    {"chelsea.ppm", 420, 90, 5, false, 35407, "c3c716c5003f1c8b6e29e9c176c909e49f2615e125d534dc24fb0509666034e2"},
    {"chelsea.ppm", 422, 30, 7, false, 11366, "96f7a8068558dfc528f4c58ed1c75ee5ec2a54f8c728acc2ee164fd23dd3ded4"},
    {"chelsea.ppm", 420, 75, 0, true, 18384, "f98d369c8278881fe25017d8ab87cf8e05590064b8e6f9d30bd32e2995221a77"},
};

TEST(Colour, SamplePicturesOnEveryPathThreadCountAndGrouping) {
  for (const auto& x : expected) {
    const Picture pic = read_ppm(x.file);
    const Input in = rgb_input(pic);
    bw_config cfg = colour_config(pic.width, pic.height, BW_INPUT_RGB, x.sampling, x.quality, x.restart);
    cfg.grayscale = x.gray;
    const std::uint32_t group = 8 * (x.gray ? 1 : vy_of(x.sampling));
    for (const Path path : supported_paths()) {
      for (const std::uint32_t threads : {1u, 2u, 4u}) {
        for (const std::uint32_t lines : {0u, group, 5 * group}) {
          cfg.threads = threads;
          const Bytes jpeg = encode(cfg, in, path, lines);
          EXPECT_EQ(jpeg.size(), x.bytes) << x.file << " " << x.sampling << " " << path_name(path);
          EXPECT_EQ(sha256_hex(jpeg), x.sha256)
              << x.file << " " << x.sampling << " q" << x.quality << " " << path_name(path) << " threads "
              << threads << " lines " << lines;
        }
      }
    }
  }
}

}  // namespace
