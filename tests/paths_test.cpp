// Every code path gives the same coefficients and the same bytes as the
// plain definition (dct2d, quantize, emit_code): the transform kernels on
// random and extreme blocks, the bitmap block coder on random coefficient
// blocks from random coder states, and whole frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "coder.hpp"
#include "dct.hpp"
#include "decode.hpp"
#include "encode.hpp"
#include "paths.hpp"
#include "tables.hpp"
#if defined(__x86_64__) || defined(__i386__)
#include "x86/kernels.hpp"
#endif
#if defined(BW_HAVE_NEON)
#include "arm/kernels.hpp"
#endif

namespace {

std::uint32_t u32(std::mt19937& rng) { return static_cast<std::uint32_t>(rng()); }

const std::int32_t* const recip = qu.data();

#if defined(__x86_64__) || defined(__i386__)
bool pair_supported() { return avx2_pair_path.serves(default_tables()); }
#if BW_HAVE_AVX512
bool avx512_supported() { return avx512_path.serves(default_tables()); }
#endif
#endif

// The 8 x 8 block at the left of a stripe-sized buffer (rows 1280 apart).
using Stripe = std::vector<std::uint8_t>;
using Block8 = std::array<std::uint8_t, 64>;

Stripe stripe_of(const Block8& b) {
  Stripe s(stripe_bytes, 0xA5);  // neighbours that must not leak into the block
  for (int r = 0; r < 8; ++r) std::memcpy(s.data() + 1280 * r, b.data() + 8 * r, 8);
  return s;
}

// Random blocks, then the extremes: flat 0, 128, 255, checkerboards of 0 and
// 255 in both phases, stripes, single bright or dark samples, steep ramps.
std::vector<Block8> test_blocks() {
  std::vector<Block8> blocks;
  auto fill = [&](auto f) {
    Block8 b;
    for (int i = 0; i < 64; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(f(i / 8, i % 8));
    blocks.push_back(b);
  };
  for (int v : {0, 1, 127, 128, 129, 254, 255}) fill([v](int, int) { return v; });
  for (int phase = 0; phase < 2; ++phase) {
    fill([phase](int r, int c) { return (r + c + phase) % 2 ? 255 : 0; });
    fill([phase](int r, int) { return (r + phase) % 2 ? 255 : 0; });
    fill([phase](int, int c) { return (c + phase) % 2 ? 255 : 0; });
    fill([phase](int r, int c) { return ((r / 2 + c / 2 + phase) % 2) ? 255 : 0; });
  }
  for (int i = 0; i < 64; ++i) {
    fill([i](int r, int c) { return 8 * r + c == i ? 255 : 0; });
    fill([i](int r, int c) { return 8 * r + c == i ? 0 : 255; });
  }
  fill([](int r, int c) { return 36 * c + r; });
  fill([](int r, int c) { return 255 - 36 * r - c; });
  std::mt19937 rng(12345);
  for (int n = 0; n < 20000; ++n) {
    Block8 b;
    const int mode = n % 3;  // full range, only 0 and 255, a narrow band
    for (auto& v : b) {
      const auto x = u32(rng);
      v = static_cast<std::uint8_t>(mode == 0 ? x : mode == 1 ? ((x & 1) ? 255 : 0) : 120 + (x % 17));
    }
    blocks.push_back(b);
  }
  return blocks;
}

TEST(DctQuantKernels, MatchTheDefinitionOnRandomAndExtremeBlocks) {
  const auto blocks = test_blocks();
  for (const CodePath* path : supported_paths()) {
    const DctQuantFn kernel = path->dct_quant;
    std::size_t failures = 0;
    for (const auto& b : blocks) {
      std::int32_t want[64];
      for (int i = 0; i < 64; ++i) want[i] = b[static_cast<std::size_t>(i)] - 128;
      dct2d(want);
      quantize(want, recip);
      std::uint64_t want_mask = 0;
      for (int i = 0; i < 64; ++i) want_mask |= static_cast<std::uint64_t>(want[i] != 0) << i;

      // Size and value bits, as the coder sends them.
      std::uint32_t want_codes[64];
      for (int i = 0; i < 64; ++i) {
        const std::int32_t v = want[i];
        const std::uint32_t m = static_cast<std::uint32_t>(v < 0 ? -v : v);
        std::uint32_t size = 0;
        while (m >> size) ++size;
        want_codes[i] = size << 16 | (static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((1u << size) - 1u));
      }

      const Stripe s = stripe_of(b);
      std::int32_t got[64];
      std::uint32_t codes[64];
      std::fill(std::begin(got), std::end(got), 0x5A5A5A5A);
      const std::uint64_t mask = kernel(s.data(), 1280, default_tables(), got, codes);
      bool same_codes = true;
      for (int i = 0; i < 64; ++i) same_codes &= want[i] == 0 || codes[i] == want_codes[i];
      if (!std::equal(std::begin(want), std::end(want), std::begin(got)) || mask != want_mask || !same_codes) {
        ADD_FAILURE() << path->name << " differs on a block starting " << int{b[0]} << ","
                      << int{b[1]} << "," << int{b[2]};
        if (++failures == 5) break;
      }
    }
  }
}

// Coder state after a block: bytes written, pending bits and predictor.
struct CoderResult {
  std::vector<std::uint8_t> bytes;
  std::uint32_t size;
  std::uint32_t pending;
  std::int32_t last_dc;
  bool operator==(const CoderResult&) const = default;
};

TestCoder coder;

void set_state(std::uint32_t size, std::uint32_t pending, std::int32_t last_dc) {
  coder.reset(size, pending, last_dc);
}

CoderResult state_after() {
  return {coder.bytes(), coder.s.CodeSize, coder.pending(), coder.s.lastDC[0]};
}

// Quantized blocks that reach every branch of the coder: empty blocks,
// runs of 15, 16, 17, 31, 32 and 47 zeros (ZRL), a last coefficient that is
// nonzero (no EOB), values of every size up to 10 bits of both signs, and
// blocks of -1 and 255-like values that produce long stretches of 1-bits and
// thus 0xFF bytes.
std::vector<std::array<std::int32_t, 64>> coefficient_blocks() {
  std::vector<std::array<std::int32_t, 64>> blocks;
  blocks.push_back({});
  std::array<std::int32_t, 64> b{};
  for (int run : {15, 16, 17, 31, 32, 47, 62}) {
    b = {};
    b[zz[static_cast<std::size_t>(1 + run)]] = -3;
    blocks.push_back(b);
    b[zz[1]] = 1;
    blocks.push_back(b);
  }
  b = {};
  b[zz[63]] = 1;
  blocks.push_back(b);
  b.fill(-1);
  blocks.push_back(b);
  b.fill(1023);
  blocks.push_back(b);
  b.fill(-1023);
  blocks.push_back(b);
  // Long runs of 1-bits, so of 0xFF bytes, across codes and blocks: runs of
  // 15 zeros before +1023 (code 0xFFFE, then ten 1-bits), with and without
  // EOB, after a DC of category 10 or 11.
  for (const bool eob : {true, false}) {
    b = {};
    b[0] = 1023;
    for (std::size_t k = 16; k < 64; k += 16) b[zz[k]] = 1023;
    if (!eob) b[zz[63]] = 1023;
    blocks.push_back(b);
  }
  std::mt19937 rng(777);
  for (int n = 0; n < 30000; ++n) {
    b = {};
    const unsigned density = 1 + u32(rng) % 64;  // expected nonzero coefficients
    const unsigned max_bits = 1 + u32(rng) % 10;
    for (auto& v : b) {
      if (u32(rng) % 64 >= density) continue;
      const auto magnitude = static_cast<std::int32_t>(1 + u32(rng) % ((1u << max_bits) - 1));
      v = (u32(rng) & 1) ? magnitude : -magnitude;
    }
    if (u32(rng) % 4 == 0) b[0] = static_cast<std::int32_t>(u32(rng) % 2047) - 1023;
    blocks.push_back(b);
  }
  return blocks;
}

// The two-block kernel reads 16 samples a row: each half must give its own
// block's coefficients and bitmap, whatever the other half holds.
TEST(DctQuantKernels, PairKernelMatchesTheDefinitionForBothBlocks) {
#if defined(__x86_64__) || defined(__i386__)
  if (!pair_supported()) GTEST_SKIP() << "no AVX2/BMI2, or reciprocals above 16 bits";
  const auto blocks = test_blocks();
  std::size_t failures = 0;
  for (std::size_t n = 0; n + 1 < blocks.size(); n += 2) {
    Stripe s(stripe_bytes, 0x5A);
    for (int r = 0; r < 8; ++r) {
      std::memcpy(s.data() + 1280 * r, blocks[n].data() + 8 * r, 8);
      std::memcpy(s.data() + 1280 * r + 8, blocks[n + 1].data() + 8 * r, 8);
    }
    alignas(32) std::int16_t coef[128];
    std::uint64_t nonzero[2];
    dct_quant_pair_avx2(s.data(), 1280, default_tables().qu16x2.data(), coef, nonzero);
    for (std::size_t half = 0; half < 2; ++half) {
      std::int32_t want[64];
      std::uint32_t codes[64];
      const std::uint64_t want_mask = dct_quant_scalar(s.data() + 8 * half, 1280, default_tables(), want, codes);
      bool same = nonzero[half] == want_mask;
      for (int i = 0; i < 64; ++i) same &= coef[i / 8 * 16 + 8 * half + i % 8] == want[i];
      if (!same) {
        ADD_FAILURE() << "pair kernel differs on block " << n + half;
        if (++failures == 5) return;
      }
    }
  }
#else
  GTEST_SKIP() << "no x86 kernels in this build";
#endif
}

TEST(BlockCoder, BitmapCoderMatchesEmitCodeFromEveryState) {
  std::mt19937 rng(99);
  std::size_t failures = 0;
  [[maybe_unused]] std::array<std::int32_t, 64> previous{};  // the block before, for the pair coders
  [[maybe_unused]] std::uint64_t previous_nonzero = 0;
  for (const auto& block : coefficient_blocks()) {
    const auto size = static_cast<std::uint32_t>(u32(rng) % 8);
    const std::uint32_t pending = u32(rng) & ((1u << size) - 1u);
    const std::int32_t last_dc = static_cast<std::int32_t>(u32(rng) % 2047) - 1023;
    std::uint64_t nonzero = 0;
    std::uint32_t codes[64];
    for (std::size_t i = 0; i < 64; ++i) {
      nonzero |= static_cast<std::uint64_t>(block[i] != 0) << i;
      codes[i] = value_code(block[i]);
    }

    set_state(size, pending, last_dc);
    code_block_reference(coder.s, luma_with(), block.data());
    const CoderResult want = state_after();
    set_state(size, pending, last_dc);
    code_block(coder.s, luma_with(), block.data(), codes, nonzero);
    const CoderResult got = state_after();
    if (!(want == got)) {
      ADD_FAILURE() << "block with DC " << block[0] << ", " << std::popcount(nonzero)
                    << " nonzero, from " << size << " pending bits";
      if (++failures == 5) break;
    }
#if defined(__x86_64__) || defined(__i386__)
    if (pair_supported()) {
      // The pair path's coder reads 16-bit coefficients, 16 to a row.
      std::int16_t coef[128] = {};
      for (int i = 0; i < 64; ++i) coef[i / 8 * 16 + i % 8] = static_cast<std::int16_t>(block[static_cast<std::size_t>(i)]);
      set_state(size, pending, last_dc);
      code_block16(coder.s, luma_with(), coef, nonzero);
      if (!(want == state_after())) {
        ADD_FAILURE() << "16-bit coder: block with DC " << block[0] << ", " << std::popcount(nonzero)
                      << " nonzero, from " << size << " pending bits";
        if (++failures == 5) break;
      }
#if BW_HAVE_AVX512
      // The AVX-512 coder, every block in vectors (but those with ZRL), and
      // with its own split between vector and scalar blocks.
      for (const unsigned dense_from : {0u, 64u, 6u}) {
        if (!avx512_supported() || failures >= 5) break;
        set_state(size, pending, last_dc);
        code_block_avx512(coder.s, luma_with(), coef, dense_from);
        if (!(want == state_after())) {
          ADD_FAILURE() << "AVX-512 coder (dense from " << dense_from << "): block with DC " << block[0]
                        << ", " << std::popcount(nonzero) << " nonzero, from " << size << " pending bits";
          ++failures;
        }
      }
      // Its pair coder on this block after the one before (every kind of
      // pair: both short, in halves, each its own way).
      if (avx512_supported() && failures < 5) {
        std::int16_t a[64], b16[64];
        for (int i = 0; i < 64; ++i) {
          a[i] = static_cast<std::int16_t>(previous[static_cast<std::size_t>(i)]);
          b16[i] = static_cast<std::int16_t>(block[static_cast<std::size_t>(i)]);
        }
        set_state(size, pending, last_dc);
        code_block_reference(coder.s, luma_with(), previous.data());
        code_block_reference(coder.s, luma_with(), block.data());
        const CoderResult both = state_after();
        set_state(size, pending, last_dc);
        code_pair_avx512(coder.s, luma_with(), a, b16);
        if (!(both == state_after())) {
          ADD_FAILURE() << "AVX-512 pair coder: blocks with " << std::popcount(previous_nonzero) << " and "
                        << std::popcount(nonzero) << " nonzero, from " << size << " pending bits";
          ++failures;
        }
      }
      if (failures >= 5) break;
#endif
    }
#endif
#if defined(BW_HAVE_NEON)
    if (neon_path.serves(default_tables())) {
      std::int16_t coef[64];
      for (int i = 0; i < 64; ++i) coef[i] = static_cast<std::int16_t>(block[static_cast<std::size_t>(i)]);
      set_state(size, pending, last_dc);
      code_block_neon(coder.s, luma_with(), coef);
      if (!(want == state_after())) {
        ADD_FAILURE() << "NEON coder: block with DC " << block[0] << ", " << std::popcount(nonzero)
                      << " nonzero, from " << size << " pending bits";
        if (++failures == 5) break;
      }
    }
#endif
    previous = block;
    previous_nonzero = nonzero;
  }
}

TEST(BlockCoder, FinalPadAfterBitmapCoderAsAfterEmitCode) {
  // The pad must see the pending bits the fast coder leaves: all 0 samples
  // give F9 FE 8A and 6 pending bits per three blocks, then the pad ends them.
  std::vector<std::vector<std::uint8_t>> out;
  for (const CodePath* path : supported_paths()) {
    coder.reset();
    const Stripe zeros(stripe_bytes, 0);
    path->code_blocks(coder.s, luma_with(), zeros.data(), 1280, 3);
    emit_code(coder.s, 7, 0x7F);
    out.push_back(coder.bytes());
  }
  EXPECT_EQ(out[0], (std::vector<std::uint8_t>{0xF9, 0xFE, 0x8A, 0x2B}));
  for (const auto& o : out) EXPECT_EQ(o, out[0]);
}

std::vector<std::uint8_t> encode_with(const CodePath* path, const std::uint8_t* samples) {
  bw_config cfg;
  bw_default_config(&cfg);
  return encode_frame(cfg, samples, 1280, path);
}

// Whole frames: the sample pictures and a noise frame (long codes, many
// stuffed bytes, stripes far larger than outbuffer) are the same bytes on
// every path.
TEST(Frames, EveryPathWritesTheSameFile) {
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> frames;
  for (const char* name : {"camera.y", "coffee.y", "astronaut.y", "gravel.y"}) {
    frames.emplace_back(name, samples_of(read_file(images_dir() + "/" + name)));
  }
  std::vector<std::uint8_t> noise(frame_samples);
  std::mt19937 rng(4242);
  for (auto& v : noise) v = static_cast<std::uint8_t>(u32(rng));
  frames.emplace_back("noise", std::move(noise));

  for (const auto& [name, samples] : frames) {
    const std::string want = sha256_hex(encode_with(&reference_path, samples.data()));
    for (const CodePath* path : supported_paths()) {
      EXPECT_EQ(sha256_hex(encode_with(path, samples.data())), want) << name << " on " << path->name;
    }
  }
}

TEST(Paths, SelectionFollowsTheCpuAndTheTables) {
  const QuantTables& t = default_tables();
  EXPECT_TRUE(reference_path.serves(t));
  EXPECT_TRUE(scalar_path.serves(t));
  EXPECT_TRUE(best_path(t).serves(t));
  // Every entry has its own name, and is found by it.
  for (const CodePath* p : all_paths()) EXPECT_EQ(find_path(p->name), p);
  EXPECT_EQ(find_path("none"), nullptr);
  // Reciprocals above 16 bits (quality 99 and up) rule out the 16-bit paths.
  QuantTables fine{};
  make_quant_tables(100, fine);
  EXPECT_FALSE(fine.fits16);
  for (const char* name : {"avx2-pair", "neon"}) {
    if (const CodePath* p = find_path(name)) {
      EXPECT_FALSE(p->serves(fine)) << name;
    }
  }
  EXPECT_TRUE(best_path(fine).serves(fine));
}

}  // namespace
