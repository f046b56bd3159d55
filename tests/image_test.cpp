// Whole frames: the sample pictures encode to their known bytes and decode
// with libjpeg at their known quality; synthetic frames probe the stream's
// edges (flat grey, noise that overfills the coded-byte buffer).
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "blockwright.h"
#include "decode.hpp"
#include "encoder.hpp"
#include "tables.hpp"

namespace {

struct Sample {
  const char* name;
  std::size_t bytes;
  const char* sha256;
  double psnr;
};

const Sample samples[] = {
    {"camera", 97923, "052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd", 45.41},
    {"coffee", 110296, "0d59d82951c0c0a31349e80c1df712d676c05ce0b95e01343569ed2f2b182c96", 45.07},
    {"astronaut", 97911, "10f2628f2e5023a715e9eb7c3817da47c246e656a1d2cb2ee83dfae8b107086d", 46.16},
    {"gravel", 182205, "1b13d3e5ed48e64604d550aa943c1e795eb9cc607b2808d18c080913c1a956da", 43.31},
};

// Decodes cleanly as a 1280 x 1024 single-component picture.
void expect_clean_decode(const std::vector<std::uint8_t>& jpeg, Decoded& d) {
  d = decode_jpeg(jpeg);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.warnings, 0);
  EXPECT_EQ(d.width, 1280);
  EXPECT_EQ(d.height, 1024);
  EXPECT_EQ(d.components, 1);
}

void expect_framing(const std::vector<std::uint8_t>& jpeg) {
  ASSERT_GE(jpeg.size(), headerbuf.size() + 2);
  EXPECT_TRUE(std::equal(headerbuf.begin(), headerbuf.end(), jpeg.begin()));
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
}

void PrintTo(const Sample& s, std::ostream* os) { *os << s.name; }

class SamplePicture : public testing::TestWithParam<Sample> {};

TEST_P(SamplePicture, EncodesToKnownBytesAndDecodes) {
  const Sample& s = GetParam();
  const auto input = read_file(images_dir() + "/" + s.name + ".y");
  const auto source = samples_of(input);
  const auto jpeg = encode_in_memory(source.data());
  EXPECT_EQ(jpeg.size(), s.bytes);
  EXPECT_EQ(sha256_hex(jpeg), s.sha256);
  expect_framing(jpeg);
  Decoded d;
  expect_clean_decode(jpeg, d);
  if (d.ok) {
    EXPECT_NEAR(psnr(source.data(), d.pixels.data(), source.size()), s.psnr, 0.005);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, SamplePicture, testing::ValuesIn(samples),
                         [](const testing::TestParamInfo<Sample>& p) { return std::string(p.param.name); });

TEST(Frame, MidGreyCodesToRepeatedPattern) {
  const std::vector<std::uint8_t> grey(frame_samples, 128);
  const auto jpeg = encode_in_memory(grey.data());
  ASSERT_EQ(jpeg.size(), 15690u);
  expect_framing(jpeg);
  // Every block is 00 1010; four blocks make the three bytes 28 A2 8A.
  for (std::size_t i = 328; i < jpeg.size() - 2; i += 3) {
    ASSERT_EQ(jpeg[i], 0x28) << i;
    ASSERT_EQ(jpeg[i + 1], 0xA2) << i;
    ASSERT_EQ(jpeg[i + 2], 0x8A) << i;
  }
}

TEST(Frame, NoiseOverfillsNoBufferAndDecodes) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> noise(frame_samples);
  for (auto& s : noise) s = static_cast<std::uint8_t>(rng());

  // The coded bytes leave in chunks no larger than the coded-byte buffer,
  // though a stripe of noise codes to several times that.
  struct Collected {
    std::vector<std::uint8_t> bytes;
    std::size_t largest_write = 0;
  } out;
  auto sink = [](void* ctx, const std::uint8_t* data, std::size_t size) {
    auto* c = static_cast<Collected*>(ctx);
    c->bytes.insert(c->bytes.end(), data, data + size);
    c->largest_write = std::max(c->largest_write, size);
    return 0;
  };
  bw_config cfg;
  bw_default_config(&cfg);
  bw_encoder enc;
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, sink, &out), BW_OK);
  ASSERT_EQ(bw_encoder_write_lines(&enc, noise.data(), 1280, 1024), BW_OK);
  ASSERT_EQ(bw_encoder_finish(&enc), BW_OK);
  const std::vector<std::uint8_t>& jpeg = out.bytes;
  EXPECT_GT((jpeg.size() - 330) / 128, 4000u);
  EXPECT_LE(out.largest_write, outbuffer_size);

  expect_framing(jpeg);
  EXPECT_EQ(jpeg, encode_in_memory(noise.data()));
  Decoded d;
  expect_clean_decode(jpeg, d);
  if (d.ok) {
    EXPECT_GT(psnr(noise.data(), d.pixels.data(), noise.size()), 20.0);
  }
}

TEST(Frame, ExtremesDecode) {
  // Full-scale edges: alternating black and white columns and rows.
  std::vector<std::uint8_t> bars(frame_samples);
  for (std::size_t i = 0; i < bars.size(); ++i) bars[i] = ((i % 1280) / 3 + (i / 1280) / 5) % 2 ? 255 : 0;
  const auto jpeg = encode_in_memory(bars.data());
  expect_framing(jpeg);
  Decoded d;
  expect_clean_decode(jpeg, d);
}

TEST(Frame, SinkFailureStopsTheEncoding) {
  std::vector<std::uint8_t> noise(frame_samples);
  std::mt19937 rng(11);
  for (auto& s : noise) s = static_cast<std::uint8_t>(rng());
  int calls = 0;
  auto refuse = [](void* ctx, const std::uint8_t*, std::size_t) {
    return ++*static_cast<int*>(ctx) < 3 ? 0 : 1;
  };
  bw_config cfg;
  bw_default_config(&cfg);
  bw_encoder enc;
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, refuse, &calls), BW_OK);
  EXPECT_EQ(bw_encoder_write_lines(&enc, noise.data(), 1280, 1024), BW_E_CALLBACK);
  EXPECT_EQ(calls, 3);
  // A failed encoder takes nothing more.
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
  EXPECT_EQ(calls, 3);
}

}  // namespace
