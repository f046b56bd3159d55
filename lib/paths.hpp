// Code paths of the encoder: one table, each entry a set of kernels built
// for one kind of CPU. Every path writes the same bytes; they differ only in
// speed. An encoder takes the best entry that the CPU and its quantizer
// allow, once, and holds a pointer to it; tests and the benchmark can pick
// any entry that can run.
//
// The entries come from the files of each architecture (lib/x86/, lib/arm/),
// the portable two from here. A new entry is a file with its kernels and its
// `const CodePath` (built with the instruction set's flags, see
// lib/CMakeLists.txt), a CPU check in the architecture's cpu.cpp, and one
// line in its list (x86/kernels.hpp, arm/kernels.hpp), slowest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "coder.hpp"
#include "quant.hpp"

// Codes `count` blocks of component c side by side, the first at p (rows
// stride bytes apart, each block 8 samples right of the one before), with
// the same bytes and end state as count MCU calls; the buffer behind s.optr
// must have room for count * max_block_bytes.
using CodeBlocksFn = void (*)(CoderState& s, const Component& c, const std::uint8_t* p,
                              std::size_t stride, int count);

struct CodePath {
  const char* name;
  // Whether this CPU can run the path, and its kernels quantize with q.
  bool (*serves)(const QuantTables& q);
  // Transform and quantization of one block on 32-bit coefficients (the
  // 16-bit paths through a wrapper), for tests and for the threads' DC
  // seeds: the same results on every path.
  DctQuantFn dct_quant;
  CodeBlocksFn code_blocks;
};

// The portable paths, always built: the plain definition (MCU for every
// block), and the portable transform with the bitmap coder.
extern const CodePath reference_path;
extern const CodePath scalar_path;

// Every path of this build, slowest first, whether or not the CPU runs it.
std::span<const CodePath* const> all_paths();

// The path of that name in this build, or null.
const CodePath* find_path(const char* name);

// The fastest path that can run with q.
const CodePath& best_path(const QuantTables& q);
