// Encoders with several threads write the bytes of one thread: on random
// sizes, qualities, restart intervals, pictures and groupings of lines, with
// every code path the CPU runs; and they fail cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "blockwright.h"
#include "encoder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Sink {
  Bytes data;
  std::size_t fail_after = SIZE_MAX;  // the write that passes this many bytes fails
};

int collect(void* user, const std::uint8_t* data, std::size_t size) {
  auto& s = *static_cast<Sink*>(user);
  if (s.data.size() + size > s.fail_after) return 1;
  s.data.insert(s.data.end(), data, data + size);
  return 0;
}

// A picture: a gradient with noise of the given amplitude (0 to 255).
Bytes picture(std::uint32_t width, std::uint32_t height, int noise, std::mt19937& rng) {
  Bytes p(static_cast<std::size_t>(width) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const int base = static_cast<int>((x * 3 + y * 5) % 256);
      const int n = noise == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(2 * noise + 1)) - noise;
      p[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(std::clamp(base + n, 0, 255));
    }
  }
  return p;
}

// Encodes through the encoder object on `path`, the lines given in groups of
// the sizes in `groups` (cycled; multiples of 8), the last group what is left.
int encode(const bw_config& cfg, const CodePath* path, const Bytes& pic, const std::vector<std::uint32_t>& groups,
           Sink& sink) {
  bw_encoder enc;
  int status = bw_encoder_init(&enc, &cfg, collect, &sink);
  if (status != BW_OK) return status;
  Encoder& e = encoder_of(&enc);
  if (!path->serves(e.tables)) {
    bw_encoder_release(&enc);
    return -1;
  }
  e.path = path;
  std::uint32_t done = 0;
  for (std::size_t i = 0; status == BW_OK && done < cfg.height; ++i) {
    const std::uint32_t n = std::min(groups[i % groups.size()], cfg.height - done);
    status = bw_encoder_write_lines(&enc, pic.data() + static_cast<std::size_t>(done) * cfg.width,
                                    cfg.width, n);
    done += n;
  }
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);
  return status;
}

TEST(Threads, SameBytesAsOneThread) {
  std::mt19937 rng(2024);
  struct Case {
    std::uint32_t width, height, quality, restart;
    int noise;
  };
  std::vector<Case> cases = {
      {1, 1, 75, 0, 0},         {9, 17, 50, 1, 255},       {1280, 1024, 75, 0, 8},
      {999, 601, 30, 7, 255},   {1003, 377, 75, 256, 3},   {517, 515, 100, 1000, 255},
      {2047, 130, 75, 2049, 10}, {700, 300, 10, 65535, 60}, {64, 2000, 75, 37, 100},
      {4000, 24, 75, 0, 30},
  };
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t ri_choice[] = {0, 1, 2, 3, 5, 31, 160, 255, 300, 4097, 65535};
    cases.push_back({1 + static_cast<std::uint32_t>(rng() % 900), 1 + static_cast<std::uint32_t>(rng() % 600),
                     1 + static_cast<std::uint32_t>(rng() % 100), ri_choice[rng() % std::size(ri_choice)],
                     static_cast<int>(rng() % 256)});
  }
  // Whole frames at once, and streams of groups including single stripes.
  const std::vector<std::vector<std::uint32_t>> groupings = {{65535}, {64, 8, 200, 8, 8, 136}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Bytes pic = picture(c.width, c.height, c.noise, rng);
    // 2 threads on every case, 3 to 8 in turn.
    const std::uint32_t thread_counts[] = {2, 3 + static_cast<std::uint32_t>(i % 6)};
    for (const CodePath* p : all_paths()) {
      // The plain definition is slow: only on frames up to a fifth of a megapixel.
      if (p == &reference_path && c.width * c.height > 200000) continue;
      for (const auto& groups : groupings) {
        bw_config cfg{c.width, c.height, c.quality, c.restart, 1};
        Sink one;
        if (encode(cfg, p, pic, groups, one) != BW_OK) continue;  // path not here
        for (const std::uint32_t t : thread_counts) {
          cfg.threads = t;
          Sink many;
          ASSERT_EQ(encode(cfg, p, pic, groups, many), BW_OK);
          ASSERT_TRUE(many.data == one.data)
              << c.width << "x" << c.height << " q" << c.quality << " restart " << c.restart << " noise "
              << c.noise << " path " << p->name << " threads " << t
              << " groups of " << groups[0] << ": " << many.data.size() << " vs " << one.data.size()
              << " bytes";
        }
      }
    }
  }
}

TEST(Threads, SettingsOutsideTheRangeAreRefused) {
  bw_config cfg;
  bw_default_config(&cfg);
  for (const std::uint32_t t : {0u, BW_MAX_THREADS + 1u, 0xFFFFFFFFu}) {
    cfg.threads = t;
    bw_encoder enc;
    EXPECT_EQ(bw_encoder_init(&enc, &cfg, collect, nullptr), BW_E_THREADS) << t;
    EXPECT_EQ(bw_max_encoded_size(&cfg), 0u);
    bw_encoder_release(&enc);  // harmless after a refusal
  }
}

// A write callback that fails part way stops the threads: the call reports
// it, the encoder takes nothing more, and nothing leaks or races (the
// sanitizer builds run this).
TEST(Threads, FailingCallbackStopsEveryThread) {
  std::mt19937 rng(7);
  const bw_config base{1280, 1024, 75, 0, 1};
  const Bytes pic = picture(base.width, base.height, 50, rng);
  Sink whole;
  ASSERT_EQ(encode(base, &scalar_path, pic, {65535}, whole), BW_OK);
  for (const std::uint32_t restart : {0u, 100u}) {
    for (const std::size_t fail_after : {std::size_t{0}, std::size_t{700}, std::size_t{20000},
                                         whole.data.size() / 2, whole.data.size() - 1}) {
      bw_config cfg = base;
      cfg.restart_interval = restart;
      cfg.threads = 3;
      Sink sink;
      sink.fail_after = fail_after;
      bw_encoder enc;
      ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
      int status = bw_encoder_write_lines(&enc, pic.data(), cfg.width, cfg.height);
      if (status == BW_OK) status = bw_encoder_finish(&enc);
      EXPECT_EQ(status, BW_E_CALLBACK) << fail_after;
      EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 8), BW_E_STATE);
      bw_encoder_release(&enc);

      std::vector<std::uint8_t> out(fail_after + 1);
      std::size_t size = 1;
      EXPECT_EQ(bw_encode_to_memory(&cfg, pic.data(), cfg.width, out.data(), fail_after, &size),
                BW_E_OUTPUT_FULL);
      EXPECT_EQ(size, 0u);
    }
  }
}

// An encoder abandoned mid-frame gives its threads back on release, and
// then refuses lines; a refused line count leaves it usable.
TEST(Threads, ReleaseAbandonsTheFrame) {
  std::mt19937 rng(11);
  bw_config cfg{800, 640, 75, 0, 4};
  const Bytes pic = picture(cfg.width, cfg.height, 10, rng);
  Sink sink;
  bw_encoder enc;
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
  ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 320), BW_OK);
  EXPECT_NE(encoder_of(&enc).parallel, nullptr);
  EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 12), BW_E_LINES);
  ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 64), BW_OK);
  bw_encoder_release(&enc);
  EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 8), BW_E_STATE);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
  bw_encoder_release(&enc);  // twice is harmless
}

}  // namespace
