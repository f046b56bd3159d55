// Code paths of the encoder: one table, each entry a set of kernels built
// for one kind of CPU. Every path writes the same bytes; they differ only in
// speed. An encoder takes the best entry that the CPU and its quantizer
// allow, once, and holds a pointer to it; tests and the benchmark can pick
// any entry that can run.
//
// The entries come from the files of each architecture (lib/x86/, lib/arm/),
// the portable two from here. An entry is data: its name, the CPU features
// it needs, whether it quantizes on 16 bits, and its kernels. A new entry is
// one file with its kernels and its `const CodePath`, and its name in its
// architecture's list (BW_ARCH_PATHS in x86/kernels.hpp or arm/kernels.hpp,
// slowest first); the file is built with its instruction set's flags by
// one kernel_source() line in lib/CMakeLists.txt.
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

// The same for blocks of several components in turn, as the blocks of
// colour MCUs laid out side by side: block i belongs to
// comps[pattern[i % period]] (comps holds three components with distinct
// prediction indices).
using CodeMixedFn = void (*)(CoderState& s, const Component* comps, const std::uint8_t* pattern, int period,
                             const std::uint8_t* p, std::size_t stride, int count);

// The same for up to count 4:2:0 MCUs read straight from their planes:
// the Y blocks of MCU m at y + 16 m (two lines of two blocks, the second
// eight rows down, rows y_stride bytes apart), its Cb and Cr blocks at
// cb + 8 m and cr + 8 m (rows c_stride apart). comps: Y, Cb, Cr; Cb and Cr share their quantizer and
// tables. It codes an MCU only while the bytes from s.optr to limit hold
// 6 * max_block_bytes for it, and returns how many it coded.
using Code420Fn = int (*)(CoderState& s, const Component* comps, const std::uint8_t* y, std::size_t y_stride,
                          const std::uint8_t* cb, const std::uint8_t* cr, std::size_t c_stride, int count,
                          const std::uint8_t* limit);

// Colour conversion, chroma downsampling and packed 4:2:2 unpacking of one
// line, with the interface and the bytes of the portable functions in
// colour.hpp (which says what each does).
struct ColourKernels {
  void (*rgb_to_ycc)(const std::uint8_t* src, int bytes_per_pixel, int r_off, int g_off, int b_off,
                     std::uint32_t n, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
  void (*down_h2)(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);
  void (*down_h2v2)(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
  void (*down_v2)(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n, std::uint8_t* out);
  void (*unpack_422)(const std::uint8_t* src, bool y_first, std::uint32_t n, std::uint8_t* y,
                     std::uint8_t* cb, std::uint8_t* cr);
  // Two lines of pixels at a and b into their Y lines ya and yb (n samples)
  // and one line of 4:2:0 chroma (cb, cr: ceil(n / 2) samples), in one
  // pass: the bytes of rgb_to_ycc on each line, then down_h2v2. A single
  // last line comes as b = a and yb = ya.
  void (*rgb_to_420)(const std::uint8_t* a, const std::uint8_t* b, int bytes_per_pixel, int r_off, int g_off,
                     int b_off, std::uint32_t n, std::uint8_t* ya, std::uint8_t* yb, std::uint8_t* cb,
                     std::uint8_t* cr);
};

// The portable ones (colour.cpp), which the reference and scalar paths use.
extern const ColourKernels scalar_colour;

// CPU features a path may need, x86's and ARM's in one set.
enum CpuFeature : std::uint32_t {
  cpu_sse41 = 1u << 0,
  cpu_avx2 = 1u << 1,
  cpu_bmi1 = 1u << 2,
  cpu_bmi2 = 1u << 3,
  cpu_avx512f = 1u << 4,
  cpu_avx512bw = 1u << 5,
  cpu_avx512vl = 1u << 6,
  cpu_avx512dq = 1u << 7,
  cpu_avx512cd = 1u << 8,
  cpu_avx512vbmi = 1u << 9,
  cpu_avx512vbmi2 = 1u << 10,
  cpu_avx512bitalg = 1u << 11,
  cpu_avx512vpopcntdq = 1u << 12,
  cpu_avx512vnni = 1u << 13,
  cpu_neon = 1u << 16,
};

// The features this CPU has (x86/cpu.cpp, arm/cpu.cpp; none elsewhere).
// Built for the baseline CPU, and safe from any thread.
std::uint32_t cpu_features();

struct CodePath {
  const char* name;
  std::uint32_t cpu;  // the CpuFeature bits it needs
  bool fits16;        // quantizes on 16 bits: needs QuantTables::fits16
  // Transform and quantization of one block on 32-bit coefficients (the
  // 16-bit paths through a wrapper), for tests and for the threads' DC
  // seeds: the same results on every path.
  DctQuantFn dct_quant;
  CodeBlocksFn code_blocks;
  // The colour kernels for the same CPU (independent of the quantizer).
  const ColourKernels* colour;
  // A coder of colour MCUs' blocks in one call, or null: the colour coder
  // then calls code_blocks for each run of one component's blocks.
  CodeMixedFn code_mixed;
  // A coder of 4:2:0 MCUs straight from their planes, or null.
  Code420Fn code_420;

  // Whether this CPU can run the path, and its kernels quantize with q.
  bool serves(const QuantTables& q) const {
    return (cpu_features() & cpu) == cpu && (!fits16 || q.fits16);
  }
};

// For an architecture's list of paths, BW_ARCH_PATHS(X): X(name) for each.
#define BW_DECLARE_PATH(name) extern const CodePath name;  // NOLINT(bugprone-macro-parentheses): a name
#define BW_PATH_ADDRESS(name) &(name),

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
