// The block coder and bit writer from a fresh coder state, the code tables
// against the header's DHT segments, and the fixed header layout.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "coder.hpp"
#include "dct.hpp"
#include "encode.hpp"
#include "tables.hpp"

namespace {

// The coder under test and its buffer.
std::uint8_t outbuffer[16384];
CoderState st;

void reset_coder() {
  st = CoderState{};
  st.optr = outbuffer;
}

// Codes the given blocks (each 64 samples, row by row) from a fresh state
// and returns the bytes written.
std::vector<std::uint8_t> code_blocks(const std::vector<std::array<std::uint8_t, 64>>& blocks) {
  reset_coder();
  std::vector<std::uint8_t> stripe(1280 * 8);
  for (const auto& b : blocks) {
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c) stripe[static_cast<std::size_t>(r * 1280 + c)] = b[8 * r + c];
    MCU(st, luma_with(), stripe.data(), 1280);
  }
  return {outbuffer, st.optr};
}

std::array<std::uint8_t, 64> flat(std::uint8_t v) {
  std::array<std::uint8_t, 64> b;
  b.fill(v);
  return b;
}

TEST(EmitCode, PacksAndStuffs) {
  reset_coder();
  emit_code(st, 16, 0xFFFF);
  EXPECT_EQ(std::vector<std::uint8_t>(outbuffer, st.optr), (std::vector<std::uint8_t>{0xFF, 0, 0xFF, 0}));
  EXPECT_EQ(st.CodeSize, 0u);

  // Only the low n bits of the code count.
  reset_coder();
  emit_code(st, 4, 0x7A);
  emit_code(st, 4, 0x35);
  EXPECT_EQ(std::vector<std::uint8_t>(outbuffer, st.optr), (std::vector<std::uint8_t>{0xA5}));
}

TEST(EmitCode, FinalPadCompletesAByteOnlyWhenBitsPend) {
  reset_coder();
  emit_code(st, 3, 0b101);
  emit_code(st, 7, 0x7F);
  EXPECT_EQ(std::vector<std::uint8_t>(outbuffer, st.optr), (std::vector<std::uint8_t>{0xBF}));

  reset_coder();
  emit_code(st, 8, 0x12);
  emit_code(st, 7, 0x7F);
  EXPECT_EQ(std::vector<std::uint8_t>(outbuffer, st.optr), (std::vector<std::uint8_t>{0x12}));
  EXPECT_EQ(st.CodeSize, 7u);
}

TEST(Mcu, FlatBlocks) {
  // Mid grey: DC category 0 (00) and EOB (1010), 6 bits left pending.
  EXPECT_TRUE(code_blocks({flat(128)}).empty());
  EXPECT_EQ(st.CodeSize, 6u);
  // Black: DC -128 (category 8), then two blocks of DC difference 0.
  EXPECT_EQ(code_blocks({flat(0), flat(0), flat(0)}), (std::vector<std::uint8_t>{0xF9, 0xFE, 0x8A}));
  EXPECT_EQ(st.CodeSize, 6u);
  EXPECT_EQ(st.lastDC[0], -128);
  // White: DC 127 (category 7).
  EXPECT_EQ(code_blocks({flat(255), flat(255), flat(255)}), (std::vector<std::uint8_t>{0xF7, 0xFA, 0x28}));
  EXPECT_EQ(st.CodeSize, 4u);
  EXPECT_EQ(st.lastDC[0], 127);
}

TEST(Mcu, HorizontalRamp) {
  // Samples 100 + 10 * column: DC 7, AC -30 at zigzag 1, -2 after a run of 4.
  std::array<std::uint8_t, 64> ramp;
  for (int i = 0; i < 64; ++i) ramp[i] = static_cast<std::uint8_t>(100 + 10 * (i % 8));
  EXPECT_EQ(code_blocks({ramp}), (std::vector<std::uint8_t>{0x9F, 0x41, 0xFE, 0x1A}));
  EXPECT_EQ(st.CodeSize, 0u);
  EXPECT_EQ(st.lastDC[0], 7);
}

TEST(Mcu, StateStaysConsistentOverManyBlocks) {
  // Random blocks: after each one st.CodeSize is 0..7 and every 0xFF written is
  // followed by a stuffed 0x00.
  reset_coder();
  std::vector<std::uint8_t> stripe(1280 * 8);
  unsigned seed = 12345;
  for (int n = 0; n < 200; ++n) {
    for (auto& s : stripe) s = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    std::uint8_t* before = st.optr;
    MCU(st, luma_with(), stripe.data() + (n % 160) * 8, 1280);
    ASSERT_LE(st.CodeSize, 7u);
    ASSERT_LE(static_cast<std::size_t>(st.optr - before), max_block_bytes);
    if (st.optr > outbuffer + sizeof outbuffer / 2) st.optr = outbuffer;
  }
  reset_coder();
}

TEST(CodeTables, MatchHeaderSegments) {
  // Each code is the canonical code that the header's counts and symbols
  // define; check prefix-freeness and the count per length from the tables
  // themselves, independent of how they were derived.
  std::array<int, 17> per_length{};
  int defined = 0;
  for (int s = 0; s < 256; ++s) {
    if (huffsizeAC[s] == 0) continue;
    ++defined;
    ++per_length[huffsizeAC[s]];
    ASSERT_LT(huffcodeAC[s], 1u << huffsizeAC[s]);
    for (int t = 0; t < 256; ++t) {
      if (t == s || huffsizeAC[t] < huffsizeAC[s]) continue;
      ASSERT_NE(huffcodeAC[t] >> (huffsizeAC[t] - huffsizeAC[s]), huffcodeAC[s])
          << "code of " << s << " is a prefix of the code of " << t;
    }
  }
  EXPECT_EQ(defined, 162);
  for (int len = 1; len <= 16; ++len) EXPECT_EQ(per_length[len], headerbuf[140 + len - 1]) << len;
  // Pairs the code leaves out: size 0 with runs 1 to 14, sizes 11 to 15.
  for (int run = 1; run < 15; ++run) EXPECT_EQ(huffsizeAC[run * 16], 0);
  for (int run = 0; run < 16; ++run)
    for (int size = 11; size < 16; ++size) EXPECT_EQ(huffsizeAC[run * 16 + size], 0);

  const std::array<int, 12> dc_len = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
  const std::array<int, 12> dc_code = {0, 2, 3, 4, 5, 6, 14, 30, 62, 126, 254, 510};
  for (int n = 0; n < 12; ++n) {
    EXPECT_EQ(huffsizeDC[n], dc_len[n]);
    EXPECT_EQ(huffcodeDC[n], dc_code[n]);
  }
}

TEST(Header, FixedLayout) {
  const std::vector<std::uint8_t> start(headerbuf.begin(), headerbuf.begin() + 25);
  EXPECT_EQ(start, (std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0,
                                              1, 1, 0, 0, 1, 0, 1, 0, 0, 0xFF, 0xDB, 0, 0x43, 0}));
  for (int k = 0; k < 64; ++k) EXPECT_EQ(headerbuf[25 + k], dqt[k]);
  const std::vector<std::uint8_t> sof(headerbuf.begin() + 89, headerbuf.begin() + 107);
  EXPECT_EQ(sof, (std::vector<std::uint8_t>{0xFF, 0xC0, 0, 0x0B, 8, 4, 0, 5, 0, 1, 1, 0x11, 0,
                                            0xFF, 0xC4, 0, 0x1F, 0}));
  EXPECT_EQ(headerbuf[139], 0x10);
  EXPECT_EQ(headerbuf[156], 0x01);
  EXPECT_EQ(headerbuf[317], 0xFA);
  const std::vector<std::uint8_t> sos(headerbuf.begin() + 318, headerbuf.end());
  EXPECT_EQ(sos, (std::vector<std::uint8_t>{0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0}));
}

}  // namespace
