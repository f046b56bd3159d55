// The command line with colour: PPM input, --sampling, --gray, --format for
// raw inputs, --comment and --exif give the library's bytes for the same
// settings; options that do not fit the input exit 2, bad colour inputs 1,
// with one line and nothing written.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "blockwright.h"
#include "cli_harness.hpp"
#include "decode.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

Bytes noise(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i % 97) * 2 + (rng() & 15));
  return b;
}

// Bytes of a raw frame of each kind, and where its planes start.
struct Layout {
  std::size_t size, offset[3], stride[3];
};

Layout layout(std::uint32_t input, std::uint32_t w, std::uint32_t h) {
  const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2, y = std::size_t{w} * h;
  switch (input) {
    case BW_INPUT_RGB: case BW_INPUT_BGR: return {3 * y, {0, 0, 0}, {3 * w, 0, 0}};
    case BW_INPUT_RGBX: case BW_INPUT_BGRX: return {4 * y, {0, 0, 0}, {4 * w, 0, 0}};
    case BW_INPUT_YUYV: case BW_INPUT_UYVY: return {4 * cw * h, {0, 0, 0}, {4 * cw, 0, 0}};
    case BW_INPUT_I444: return {3 * y, {0, y, 2 * y}, {w, w, w}};
    case BW_INPUT_I422: return {y + 2 * cw * h, {0, y, y + cw * h}, {w, cw, cw}};
    case BW_INPUT_I420: return {y + 2 * cw * ch, {0, y, y + cw * ch}, {w, cw, cw}};
    case BW_INPUT_NV12: return {y + 2 * cw * ch, {0, y, 0}, {w, 2 * cw, 0}};
    default: return {y, {0, 0, 0}, {w, 0, 0}};
  }
}

Bytes library_encoding(const bw_config& cfg, const Bytes& raw) {
  const Layout l = layout(cfg.input, cfg.width, cfg.height);
  const std::uint8_t* planes[3] = {raw.data() + l.offset[0], raw.data() + l.offset[1],
                                   l.stride[2] ? raw.data() + l.offset[2] : nullptr};
  Bytes out(bw_max_encoded_size(&cfg));
  std::size_t size = 0;
  EXPECT_EQ(bw_encode_planes_to_memory(&cfg, planes, l.stride, out.data(), out.size(), &size), BW_OK);
  out.resize(size);
  return out;
}

struct ColourCase {
  const char* name;
  std::vector<std::string> args;  // the input is in.ppm (a PPM) or in.raw (raw bytes of `input`)
  std::uint32_t input, sampling, quality, restart, grayscale, threads;
};

void PrintTo(const ColourCase& c, std::ostream* os) { *os << c.name; }

class ColourOptions : public FolderTest, public testing::WithParamInterface<ColourCase> {};

constexpr std::uint32_t W = 45, H = 29;

TEST_P(ColourOptions, GiveTheLibrarysBytes) {
  const ColourCase& c = GetParam();
  const Bytes raw = noise(layout(c.input, W, H).size, 5);
  write("in.raw", raw);
  Bytes ppm = text("P6\n" + std::to_string(W) + " " + std::to_string(H) + "\n255\n");
  ppm.insert(ppm.end(), raw.begin(), raw.end());
  write("in.ppm", ppm);
  write("exif.bin", text(std::string("Exif\0\0MM\0*", 10)));
  RunOptions options;
  options.args = c.args;
  const RunResult run = run_blockwright(dir, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = W, cfg.height = H, cfg.input = c.input, cfg.sampling = c.sampling;
  cfg.quality = c.quality, cfg.restart_interval = c.restart, cfg.grayscale = c.grayscale;
  const std::string exif("Exif\0\0MM\0*", 10), comment = "two words";
  const bw_segment segs[] = {{BW_COM, 9, comment.data()}, {BW_APP(1), 10, exif.data()}};
  if (std::string(c.name) == "metadata") cfg.segments = segs, cfg.segment_count = 2;
  const Bytes want = library_encoding(cfg, raw);
  EXPECT_TRUE(read_file(path("testout.jpg")) == want);
  const Decoded d = decode_jpeg(want);
  EXPECT_TRUE(d.ok && d.warnings == 0 && d.components == (c.grayscale ? 1 : 3));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, ColourOptions,
    testing::Values(
        ColourCase{"ppm_defaults", {"in.ppm"}, BW_INPUT_RGB, 420, 75, 0, 0, 1},
        ColourCase{"ppm_444", {"--sampling", "444", "in.ppm"}, BW_INPUT_RGB, 444, 75, 0, 0, 1},
        ColourCase{"ppm_422_restart", {"--sampling=422", "-q", "40", "--restart", "2", "in.ppm"}, BW_INPUT_RGB, 422, 40, 2, 0, 1},
        ColourCase{"ppm_gray", {"--gray", "in.ppm"}, BW_INPUT_RGB, 420, 75, 0, 1, 1},
        ColourCase{"ppm_threads", {"--threads", "3", "in.ppm"}, BW_INPUT_RGB, 420, 75, 0, 0, 3},
        ColourCase{"metadata", {"--comment", "two words", "--exif", "exif.bin", "in.ppm"}, BW_INPUT_RGB, 420, 75, 0, 0, 1},
        ColourCase{"raw_bgrx", {"--size", "45x29", "--format", "bgrx", "in.raw"}, BW_INPUT_BGRX, 420, 75, 0, 0, 1},
        ColourCase{"raw_yuyv", {"--size", "45x29", "--format", "yuyv", "in.raw"}, BW_INPUT_YUYV, 422, 75, 0, 0, 1},
        ColourCase{"raw_uyvy_420", {"--size", "45x29", "--format", "uyvy", "--sampling", "420", "in.raw"}, BW_INPUT_UYVY, 420, 75, 0, 0, 1},
        ColourCase{"raw_i444", {"--size", "45x29", "--format", "i444", "in.raw"}, BW_INPUT_I444, 444, 75, 0, 0, 1},
        ColourCase{"raw_i422", {"--size", "45x29", "--format=i422", "in.raw"}, BW_INPUT_I422, 422, 75, 0, 0, 1},
        ColourCase{"raw_i420", {"--size", "45x29", "--format", "i420", "in.raw"}, BW_INPUT_I420, 420, 75, 0, 0, 1},
        ColourCase{"raw_nv12_gray", {"--size", "45x29", "--format", "nv12", "--gray", "in.raw"}, BW_INPUT_NV12, 420, 75, 0, 1, 1}),
    [](const auto& p) { return std::string(p.param.name); });

// Usage errors (status 2) and refused inputs (status 1): one line, nothing
// written.
struct Bad {
  const char* name;
  std::vector<std::string> args;
  Bytes input;  // in.bin
  int status;
  std::string message;  // the line, for status 1
};

void PrintTo(const Bad& c, std::ostream* os) { *os << c.name; }

class ColourRefusals : public FolderTest, public testing::WithParamInterface<Bad> {};

TEST_P(ColourRefusals, OneLineAndNothingWritten) {
  const Bad& c = GetParam();
  write("in.bin", c.input);
  write("big.exif", Bytes(65534, 'E'));
  put_earlier_output();
  RunOptions options;
  options.args = c.args;
  const RunResult run = run_blockwright(dir, options);
  if (c.status == 1) {
    expect_refusal(run, c.message);
  } else {
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("try 'blockwright --help'"), std::string::npos) << run.err;
  }
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"big.exif", "in.bin", "testout.jpg"}));
  EXPECT_EQ(read_file(path("testout.jpg")), earlier_output());
}

const Bytes ppm_2x2 = text("P6 2 2 255\n0123456789AB");

INSTANTIATE_TEST_SUITE_P(
    Cli, ColourRefusals,
    testing::Values(
        Bad{"sampling_411", {"--sampling", "411", "in.bin"}, ppm_2x2, 2, ""},
        Bad{"format_bogus", {"--size", "2x2", "--format", "rgb565", "in.bin"}, ppm_2x2, 2, ""},
        Bad{"format_without_size", {"--format", "rgb", "in.bin"}, ppm_2x2, 2, ""},
        Bad{"sampling_on_image_y", {"--sampling", "444"}, {}, 2, ""},
        Bad{"sampling_on_raw_gray", {"--size", "2x2", "--sampling", "444", "in.bin"}, ppm_2x2, 2, ""},
        Bad{"sampling_on_pgm", {"--sampling", "422", "in.bin"}, text("P5 2 2 255\n0123"), 1,
            "in.bin: a grayscale picture; --sampling is for colour inputs"},
        Bad{"ppm_maxval", {"in.bin"}, text("P6 2 2 65535\n"), 1,
            "in.bin: maxval 65535; only 8-bit samples (maxval 255) are taken"},
        Bad{"ppm_short", {"in.bin"}, text("P6 2 2 255\n0123"), 1, "in.bin: read 4 of 12 bytes"},
        Bad{"i420_short", {"--size", "3x3", "--format", "i420", "in.bin"}, Bytes(16, 1), 1, "in.bin: read 16 of 17 bytes"},
        Bad{"yuyv_444", {"--size", "2x2", "--format", "yuyv", "--sampling", "444", "in.bin"}, Bytes(8, 1), 1,
            "--sampling 444: " + std::string(bw_strerror(BW_E_SAMPLING))},
        Bad{"exif_too_big", {"--exif", "big.exif", "in.bin"}, ppm_2x2, 1,
            "big.exif: over 65533 bytes; an APP1 segment holds no more"},
        Bad{"exif_not_exif", {"--exif", "in.bin", "in.bin"}, ppm_2x2, 1,
            "in.bin: not an EXIF payload: it must start with Exif and two zero bytes"}),
    [](const auto& p) { return std::string(p.param.name); });

using CliColour = FolderTest;

TEST_F(CliColour, HelpListsTheColourOptions) {
  RunOptions options;
  options.args = {"--help"};
  const RunResult run = run_blockwright(dir, options);
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--sampling", "--gray", "--format", "--comment", "--exif", "PPM", "nv12"})
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
}

}  // namespace
