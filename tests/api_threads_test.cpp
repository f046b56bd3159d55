// Four encoders in four threads at once, each on its own frame and
// settings, two in one call and two fed in groups of lines: each gives the
// bytes it gives alone. run-all.sh also runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

#include "blockwright.h"

namespace {

struct Job {
  bw_config cfg;
  bool streaming;
  std::vector<std::uint8_t> frame;
  std::vector<std::uint8_t> alone;
  std::vector<std::vector<std::uint8_t>> together;
};

// A picture with smooth areas, edges and noise, different for each seed.
std::vector<std::uint8_t> frame_for(const bw_config& cfg, std::uint32_t seed) {
  std::vector<std::uint8_t> v(std::size_t{cfg.width} * cfg.height);
  std::uint32_t x = seed;
  for (std::uint32_t r = 0; r < cfg.height; ++r) {
    for (std::uint32_t c = 0; c < cfg.width; ++c) {
      x = x * 1664525u + 1013904223u;
      const std::uint32_t base = ((r / 37 + c / 23) & 1) ? 200 : (r + 2 * c + seed) & 0x7F;
      v[std::size_t{r} * cfg.width + c] = static_cast<std::uint8_t>(base + (x >> 28));
    }
  }
  return v;
}

int append(void* user, const std::uint8_t* data, std::size_t size) {
  auto& out = *static_cast<std::vector<std::uint8_t>*>(user);
  out.insert(out.end(), data, data + size);
  return 0;
}

std::vector<std::uint8_t> encode(const Job& job) {
  std::vector<std::uint8_t> out;
  if (job.streaming) {
    bw_encoder enc;  // on this thread's stack
    if (bw_encoder_init(&enc, &job.cfg, append, &out) != BW_OK) return {};
    for (std::uint32_t line = 0; line < job.cfg.height; line += 8) {
      const std::uint32_t n = job.cfg.height - line < 8 ? job.cfg.height - line : 8;
      if (bw_encoder_write_lines(&enc, job.frame.data() + std::size_t{line} * job.cfg.width,
                                 job.cfg.width, n) != BW_OK)
        return {};
    }
    if (bw_encoder_finish(&enc) != BW_OK) return {};
    return out;
  }
  out.resize(bw_max_encoded_size(&job.cfg));
  std::size_t size = 0;
  if (bw_encode_to_memory(&job.cfg, job.frame.data(), job.cfg.width, out.data(), out.size(),
                          &size) != BW_OK)
    return {};
  out.resize(size);
  return out;
}

TEST(ApiThreads, FourEncodersAtOnce) {
  const struct {
    std::uint32_t width, height, quality, restart;
    bool streaming;
  } settings[] = {
      {1280, 1024, 75, 0, false},
      {643, 481, 93, 5, true},
      {97, 1003, 12, 1, false},
      {1920, 67, 100, 333, true},
  };
  std::vector<Job> jobs;
  std::uint32_t seed = 1;
  for (const auto& s : settings) {
    Job job{};
    bw_default_config(&job.cfg);
    job.cfg.width = s.width;
    job.cfg.height = s.height;
    job.cfg.quality = s.quality;
    job.cfg.restart_interval = s.restart;
    job.streaming = s.streaming;
    job.frame = frame_for(job.cfg, seed++);
    job.alone = encode(job);
    ASSERT_FALSE(job.alone.empty());
    jobs.push_back(std::move(job));
  }

  constexpr int rounds = 3;
  std::latch start(static_cast<std::ptrdiff_t>(jobs.size()));
  std::vector<std::thread> threads;
  for (Job& job : jobs) {
    threads.emplace_back([&job, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < rounds; ++i) job.together.push_back(encode(job));
    });
  }
  for (auto& t : threads) t.join();

  for (const Job& job : jobs) {
    SCOPED_TRACE(std::to_string(job.cfg.width) + "x" + std::to_string(job.cfg.height));
    ASSERT_EQ(job.together.size(), std::size_t{rounds});
    for (const auto& bytes : job.together) EXPECT_TRUE(bytes == job.alone);
  }
}

}  // namespace
