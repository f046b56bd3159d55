#include "encode.hpp"

#include <gtest/gtest.h>

#include "encoder.hpp"
#include "tables.hpp"

const QuantTables& default_tables() {
  static const QuantTables t = [] {
    QuantTables q{};
    make_quant_tables(builtin_quality, q);
    return q;
  }();
  return t;
}

std::vector<const CodePath*> supported_paths(const QuantTables& t) {
  std::vector<const CodePath*> paths;
  for (const CodePath* p : all_paths()) {
    if (p->serves(t)) paths.push_back(p);
  }
  return paths;
}

Component luma_with(const QuantTables& t) { return {&t, &luma_dc, &luma_ac, 0}; }

bw_config make_config(std::uint32_t width, std::uint32_t height, std::uint32_t quality,
                      std::uint32_t restart) {
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = width;
  cfg.height = height;
  if (quality != 0) cfg.quality = quality;
  cfg.restart_interval = restart;
  return cfg;
}

std::vector<std::uint8_t> encode_frame(const bw_config& cfg, const std::uint8_t* samples,
                                       std::size_t stride, const CodePath* path, std::uint32_t lines) {
  std::vector<std::uint8_t> out;
  auto append = [](void* user, const std::uint8_t* data, std::size_t size) {
    auto* v = static_cast<std::vector<std::uint8_t>*>(user);
    v->insert(v->end(), data, data + size);
    return 0;
  };
  bw_encoder enc;
  EXPECT_EQ(bw_encoder_init(&enc, &cfg, append, &out), BW_OK);
  if (path != nullptr) {
    Encoder& e = encoder_of(&enc);
    EXPECT_TRUE(path->serves(e.tables)) << path->name;
    e.path = path;
  }
  for (std::uint32_t y = 0; y < cfg.height; y += lines) {
    const std::uint32_t n = std::min(lines, cfg.height - y);
    EXPECT_EQ(bw_encoder_write_lines(&enc, samples + y * stride, stride, n), BW_OK) << "line " << y;
  }
  EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
  return out;
}

void TestCoder::reset(std::uint32_t size, std::uint32_t pending_bits, std::int32_t last_dc) {
  s = CoderState{};
  s.optr = buffer.data();
  s.CodeSize = size;
  s.CodeVal = static_cast<std::uint64_t>(pending_bits) << (24 - size);
  s.lastDC[0] = last_dc;
}

std::vector<std::uint8_t> TestCoder::bytes() const {
  return {buffer.data(), static_cast<const std::uint8_t*>(s.optr)};
}

std::uint32_t TestCoder::pending() const {
  return static_cast<std::uint32_t>(s.CodeVal >> (24 - s.CodeSize)) & ((1u << s.CodeSize) - 1u);
}
