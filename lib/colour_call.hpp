// What the threads need of a call of a colour frame's lines, and the colour
// coder's entries for them (colour_stream.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder.hpp"
#include "paths.hpp"
#include "quant.hpp"

struct ColourState;   // encoder.hpp
struct ColourPlanes;  // encoder.hpp

// Lines of one call: up to three planes (interleaved inputs use the first).
struct Planes {
  const std::uint8_t* p[3];
  std::size_t stride[3];
};

// The lines of a call at `in`, count of them, starting at MCU row
// first_row of the frame, and what codes them.
struct ColourCall {
  const ColourState* col;
  const CodePath* path;
  const QuantTables* luma;
  Planes in;
  std::uint32_t count, first_row, width, mcus_x;
};

// Codes n MCUs from frame MCU index mcu on, all in one MCU row, into s,
// through the planes b: no restart markers, no flushes (the caller sees to
// room for n MCUs).
void colour_code_range(const ColourCall& j, ColourPlanes& b, CoderState& s, std::uint32_t mcu,
                       std::uint32_t n);

// The DC predictions of every component after MCU mcu (of the call), as the
// coder holds them: its last Y block's quantized DC, its Cb's, its Cr's.
void colour_dc_after(const ColourCall& j, ColourPlanes& b, std::uint32_t mcu, std::int32_t* dc);
