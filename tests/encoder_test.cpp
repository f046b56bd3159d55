// The encoder object with settings: frames of any size padded at the edges,
// restart markers, qualities against libjpeg-turbo, every path alike for
// every setting, and encoders that do not share state.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "blockwright.h"
#include "decode.hpp"
#include "encode.hpp"
#include "tables.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A picture with smooth areas, edges and noise, so that every code length
// and a good share of 0xFF bytes occur.
Bytes picture(std::uint32_t w, std::uint32_t h, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes p(std::size_t{w} * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const unsigned v = (x * 3 + y * 5) % 256 + ((x / 16 + y / 16) % 2) * 60 + static_cast<unsigned>(rng() % 24);
      p[std::size_t{y} * w + x] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
    }
  }
  return p;
}

// Where the entropy-coded data starts: after SOS.
std::size_t scan_start(const Bytes& jpeg) {
  for (std::size_t i = 2; i + 3 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return i + 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
  }
  return jpeg.size();
}

void expect_decodes(const Bytes& jpeg, std::uint32_t w, std::uint32_t h, Decoded& d) {
  d = decode_jpeg(jpeg);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.warnings, 0);
  EXPECT_EQ(d.width, static_cast<int>(w));
  EXPECT_EQ(d.height, static_cast<int>(h));
  EXPECT_EQ(d.components, 1);
}

struct Size {
  std::uint32_t w, h;
};
const Size sizes[] = {{1, 1}, {7, 9}, {8, 8}, {13, 21}, {200, 3}, {3, 200}, {643, 485}};

TEST(Geometry, EdgesArePaddedByRepeatingTheLastColumnAndRow) {
  for (const auto [w, h] : sizes) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    const Bytes p = picture(w, h, w * 7 + h);
    const std::uint32_t pw = (w + 7) / 8 * 8, ph = (h + 7) / 8 * 8;
    Bytes padded(std::size_t{pw} * ph);
    for (std::uint32_t y = 0; y < ph; ++y) {
      for (std::uint32_t x = 0; x < pw; ++x) {
        padded[std::size_t{y} * pw + x] = p[std::size_t{std::min(y, h - 1)} * w + std::min(x, w - 1)];
      }
    }
    const Bytes jpeg = encode_frame(make_config(w, h), p.data(), w);
    const Bytes whole = encode_frame(make_config(pw, ph), padded.data(), pw);
    // Only SOF0's size differs.
    ASSERT_EQ(jpeg.size(), whole.size());
    for (std::size_t i = 0; i < jpeg.size(); ++i) {
      if (i < 94 || i > 97) {
        ASSERT_EQ(jpeg[i], whole[i]) << i;
      }
    }
    const std::uint8_t sof[4] = {static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h),
                                 static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
    EXPECT_TRUE(std::equal(sof, sof + 4, jpeg.begin() + 94));
    Decoded d;
    expect_decodes(jpeg, w, h, d);
  }
}

TEST(Geometry, LinesInAnyGroupingAndStrideGiveTheSameBytes) {
  const std::uint32_t w = 91, h = 45;
  const Bytes p = picture(w, h, 5);
  Bytes wide(std::size_t{w + 29} * h, 0xEE);  // a stride with samples that must not count
  for (std::uint32_t y = 0; y < h; ++y) std::copy_n(p.begin() + y * w, w, wide.begin() + y * (w + 29));
  const Bytes want = encode_frame(make_config(w, h), p.data(), w);
  EXPECT_EQ(encode_frame(make_config(w, h), wide.data(), w + 29), want);
  EXPECT_EQ(encode_frame(make_config(w, h), p.data(), w, nullptr, 16), want);
  EXPECT_EQ(encode_frame(make_config(w, h), p.data(), w, nullptr, h), want);
}

TEST(Restarts, MarkersDecodeToTheSamePixels) {
  const std::uint32_t w = 203, h = 77;  // 26 x 10 blocks
  const Bytes p = picture(w, h, 9);
  const Bytes plain = encode_frame(make_config(w, h), p.data(), w);
  Decoded want;
  expect_decodes(plain, w, h, want);
  for (const std::uint32_t interval : {1u, 2u, 7u, 26u, 259u}) {
    SCOPED_TRACE(interval);
    const Bytes jpeg = encode_frame(make_config(w, h, 0, interval), p.data(), w);
    Decoded d;
    expect_decodes(jpeg, w, h, d);
    EXPECT_EQ(d.pixels, want.pixels);
    // Markers RST0, RST1, ... RST7, RST0 ...: one after every interval
    // blocks but the last.
    std::vector<int> markers;
    for (std::size_t i = scan_start(jpeg); i + 1 < jpeg.size(); ++i) {
      if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7) markers.push_back(jpeg[i + 1] - 0xD0);
    }
    ASSERT_EQ(markers.size(), (260 - 1) / interval);
    for (std::size_t k = 0; k < markers.size(); ++k) EXPECT_EQ(markers[k], static_cast<int>(k % 8));
  }
}

TEST(Restarts, AnIntervalOfTheWholeFrameAddsOnlyDri) {
  const std::uint32_t w = 64, h = 40;  // 40 blocks
  const Bytes p = picture(w, h, 3);
  const Bytes plain = encode_frame(make_config(w, h), p.data(), w);
  for (const std::uint32_t interval : {40u, 41u, 65535u}) {
    Bytes jpeg = encode_frame(make_config(w, h, 0, interval), p.data(), w);
    const Bytes dri = {0xFF, 0xDD, 0, 4, static_cast<std::uint8_t>(interval >> 8), static_cast<std::uint8_t>(interval)};
    ASSERT_TRUE(std::equal(dri.begin(), dri.end(), jpeg.begin() + header_size - 10));
    jpeg.erase(jpeg.begin() + header_size - 10, jpeg.begin() + header_size - 4);
    EXPECT_EQ(jpeg, plain) << interval;
  }
}

// libjpeg-turbo's own encoder at a quality, with the same base table and
// scaling, one component, the fast integer DCT.
Bytes libjpeg_encode(const Bytes& p, std::uint32_t w, std::uint32_t h, int quality) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.dct_method = JDCT_IFAST;
  jpeg_start_compress(&c, TRUE);
  for (std::uint32_t y = 0; y < h; ++y) {
    auto row = const_cast<JSAMPROW>(p.data() + std::size_t{y} * w);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes jpeg(out, out + size);
  free(out);
  return jpeg;
}

// Up to quality 90: above it libjpeg-turbo's fast DCT loses precision of its
// own (at 97 it is 3 dB behind), which says nothing about this encoder.
TEST(Quality, PsnrWithinAThirdOfADecibelOfLibjpeg) {
  const Bytes camera = samples_of(read_file(images_dir() + "/camera.y"));
  for (const int quality : {10, 50, 75, 90}) {
    const Bytes ours = encode_frame(make_config(1280, 1024, static_cast<std::uint32_t>(quality)), camera.data(), 1280);
    const Decoded a = decode_jpeg(ours), b = decode_jpeg(libjpeg_encode(camera, 1280, 1024, quality));
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    const double pa = psnr(camera.data(), a.pixels.data(), camera.size());
    const double pb = psnr(camera.data(), b.pixels.data(), camera.size());
    EXPECT_NEAR(pa, pb, 0.3) << "quality " << quality;
  }
}

// Every path gives the reference path's bytes for random settings,
// qualities 97 and 98 (reciprocals of 2^14 and more: the AVX-512 path's
// other quantization) and 99 and 100 (above 16 bits) among them.
TEST(Paths, EveryPathAgreesForEverySetting) {
  std::mt19937 rng(2024);
  for (int n = 0; n < 24; ++n) {
    const auto w = static_cast<std::uint32_t>(1 + rng() % 150), h = static_cast<std::uint32_t>(1 + rng() % 60);
    const std::uint32_t quality = n < 4 ? 97 + static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(1 + rng() % 100);
    const auto restart = static_cast<std::uint32_t>(n % 3 == 0 ? 0 : 1 + rng() % 40);
    const bw_config cfg = make_config(w, h, quality, restart);
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " q" + std::to_string(quality) + " r" +
                 std::to_string(restart));
    Bytes p(std::size_t{w} * h);
    for (auto& v : p) v = static_cast<std::uint8_t>(rng());
    QuantTables t{};
    make_quant_tables(static_cast<int>(quality), t);
    const Bytes want = encode_frame(cfg, p.data(), w, &reference_path);
    for (const CodePath* path : supported_paths(t)) EXPECT_EQ(encode_frame(cfg, p.data(), w, path), want) << path->name;
    Decoded d;
    expect_decodes(want, w, h, d);
  }
}

TEST(Encoders, InterleavedEncodersKeepTheirOwnState) {
  struct Job {
    bw_config cfg;
    Bytes samples, out;
    bw_encoder enc;
  };
  Job jobs[2] = {{make_config(100, 60, 30, 5), picture(100, 60, 1), {}, {}},
                 {make_config(77, 50, 88), picture(77, 50, 2), {}, {}}};
  auto append = [](void* user, const std::uint8_t* data, std::size_t size) {
    static_cast<Bytes*>(user)->insert(static_cast<Bytes*>(user)->end(), data, data + size);
    return 0;
  };
  for (auto& j : jobs) ASSERT_EQ(bw_encoder_init(&j.enc, &j.cfg, append, &j.out), BW_OK);
  for (std::uint32_t y = 0; y < 60; y += 8) {
    for (auto& j : jobs) {
      if (y >= j.cfg.height) continue;
      const std::uint32_t n = std::min(8u, j.cfg.height - y);
      ASSERT_EQ(bw_encoder_write_lines(&j.enc, j.samples.data() + y * j.cfg.width, j.cfg.width, n), BW_OK);
    }
  }
  for (auto& j : jobs) {
    ASSERT_EQ(bw_encoder_finish(&j.enc), BW_OK);
    EXPECT_EQ(j.out, encode_frame(j.cfg, j.samples.data(), j.cfg.width));
  }
}

}  // namespace
