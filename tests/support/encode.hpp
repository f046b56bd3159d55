// Test support: encoding through the library's internals, with a chosen
// code path, and a coder state to drive the block coders directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "blockwright.h"
#include "coder.hpp"
#include "paths.hpp"
#include "quant.hpp"

// The tables of the built-in quality.
const QuantTables& default_tables();

// The paths this CPU can run with the tables.
std::vector<const CodePath*> supported_paths(const QuantTables& t = default_tables());

// The frame's one component with the tables t.
Component luma_with(const QuantTables& t = default_tables());

// Settings: the defaults with another size, quality and restart interval.
bw_config make_config(std::uint32_t width, std::uint32_t height, std::uint32_t quality = 0,
                      std::uint32_t restart = 0);

// Encodes a frame (line i at samples + i * stride) through a bw_encoder fed
// groups of `lines` lines, with the given path (null: the encoder's own
// choice). Fails the test on any status but BW_OK.
std::vector<std::uint8_t> encode_frame(const bw_config& cfg, const std::uint8_t* samples,
                                       std::size_t stride, const CodePath* path = nullptr,
                                       std::uint32_t lines = 8);

// A coder with its own buffer, for driving the block coders directly.
struct TestCoder {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(16384);
  CoderState s;

  // Starts from size pending bits of value pending and predictor last_dc.
  void reset(std::uint32_t size = 0, std::uint32_t pending = 0, std::int32_t last_dc = 0);
  // The bytes written since reset.
  std::vector<std::uint8_t> bytes() const;
  // The pending bits, right-aligned.
  std::uint32_t pending() const;
};
