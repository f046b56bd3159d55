// Cost per pixel of the colour kernels on a 1920-pixel line: the portable
// functions against each vector version the CPU has. Rounds interleave the
// versions; each figure is the median over the rounds. On x86 the unit is
// the time-stamp counter's cycles (the CPU's nominal clock), elsewhere
// nanoseconds.
//
//   bw_colour_bench [ROUNDS]
//   bw_colour_bench PATH JOB COUNT   runs one kernel on COUNT lines and
//                                    nothing else: for counting its
//                                    instructions under qemu (the count
//                                    with COUNT = 100 less that with 0)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "paths.hpp"
#include "quant.hpp"
#include "tables.hpp"
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

constexpr std::uint32_t width = 1920;
constexpr int reps = 200;  // lines a timing

// The paths this CPU runs with colour kernels of their own (the first of
// those that share a set).
std::vector<const CodePath*> colour_paths() {
  QuantTables tables{};
  make_quant_tables(builtin_quality, tables);
  std::vector<const CodePath*> paths;
  for (const CodePath* p : all_paths()) {
    if (!p->serves(tables)) continue;
    if (std::none_of(paths.begin(), paths.end(), [p](const CodePath* q) { return q->colour == p->colour; }))
      paths.push_back(p);
  }
  return paths;
}

#if defined(__x86_64__) || defined(__i386__)
const char* const unit = "TSC cycles";
std::uint64_t now() { return __rdtsc(); }
#else
const char* const unit = "ns";
std::uint64_t now() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}
#endif

// The lines every kernel reads and writes.
struct Lines {
  std::vector<std::uint8_t> rgb, a, b, packed, y, cb, cr;
  Lines() : rgb(width * 4), a(width), b(width), packed(width * 2), y(width), cb(width), cr(width) {
    std::mt19937 rng(1920);
    for (auto* v : {&rgb, &a, &b, &packed})
      for (auto& x : *v) x = static_cast<std::uint8_t>(rng());
  }
};

enum Job { rgb3, rgbx4, h2, h2v2, v2, yuyv, job_count };
const char* const job_names[job_count] = {"rgb to YCbCr", "rgbx to YCbCr", "h2 (4:2:2)", "h2v2 (4:2:0)",
                                          "v2", "yuyv unpack"};
const char* const job_keys[job_count] = {"rgb", "rgbx", "h2", "h2v2", "v2", "yuyv"};

void run(const ColourKernels& v, Job job, Lines& l) {
  switch (job) {
    case rgb3: v.rgb_to_ycc(l.rgb.data(), 3, 0, 1, 2, width, l.y.data(), l.cb.data(), l.cr.data()); break;
    case rgbx4: v.rgb_to_ycc(l.rgb.data(), 4, 0, 1, 2, width, l.y.data(), l.cb.data(), l.cr.data()); break;
    case h2: v.down_h2(l.a.data(), width, l.y.data()); break;
    case h2v2: v.down_h2v2(l.a.data(), l.b.data(), width, l.y.data()); break;
    case v2: v.down_v2(l.a.data(), l.b.data(), width, l.y.data()); break;
    case yuyv: v.unpack_422(l.packed.data(), true, width, l.y.data(), l.cb.data(), l.cr.data()); break;
    case job_count: break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<const CodePath*> paths = colour_paths();
  Lines lines;
  if (argc == 4) {
    for (const CodePath* p : paths) {
      if (std::strcmp(p->name, argv[1]) != 0) continue;
      for (int j = 0; j < job_count; ++j) {
        if (std::strcmp(job_keys[j], argv[2]) != 0) continue;
        for (int i = std::atoi(argv[3]); i > 0; --i) run(*p->colour, static_cast<Job>(j), lines);
        return 0;
      }
    }
    std::fprintf(stderr, "bw_colour_bench: no path %s with job %s here\n", argv[1], argv[2]);
    return 2;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;
  // times[job][path]: cost per pixel in each round
  std::vector<std::vector<double>> times[job_count];
  for (auto& t : times) t.resize(paths.size());
  for (int r = 0; r < rounds; ++r) {
    for (int j = 0; j < job_count; ++j) {
      for (std::size_t k = 0; k < paths.size(); ++k) {
        run(*paths[k]->colour, static_cast<Job>(j), lines);  // warm
        const std::uint64_t t0 = now();
        for (int i = 0; i < reps; ++i) run(*paths[k]->colour, static_cast<Job>(j), lines);
        const std::uint64_t t1 = now();
        times[j][k].push_back(static_cast<double>(t1 - t0) / (double{reps} * width));
      }
    }
  }
  std::printf("%s per pixel of a %u-pixel line, median of %d rounds (speed-up against the first)\n", unit,
              width, rounds);
  std::printf("%-14s", "");
  for (const CodePath* p : paths) std::printf("%18s", p->name);
  std::printf("\n");
  for (int j = 0; j < job_count; ++j) {
    std::printf("%-14s", job_names[j]);
    double first = 0;
    for (std::vector<double>& t : times[j]) {
      std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
      const double m = t[t.size() / 2];
      if (first == 0) first = m;
      std::printf("%10.3f (%4.1fx)", m, first / m);
    }
    std::printf("\n");
  }
  return 0;
}
