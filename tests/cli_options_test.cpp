// The command line: each option gives the bytes the library gives for the
// same settings and samples; `-` reads standard input and writes standard
// output; usage errors exit 2 and bad inputs or settings exit 1, with one
// line and nothing written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "blockwright.h"
#include "cli_harness.hpp"
#include "decode.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Samples of a w x h frame with some detail.
Bytes frame(std::uint32_t w, std::uint32_t h) {
  Bytes s(std::size_t{w} * h);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const std::size_t x = i % w, y = i / w;
    s[i] = static_cast<std::uint8_t>((x * 7 + y * 3 + (x * y) / 5) & 0xFF);
  }
  return s;
}

Bytes pgm(std::uint32_t w, std::uint32_t h) {
  return concat(text("P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n"), frame(w, h));
}

Bytes library_encoding(const bw_config& cfg) {
  const Bytes samples = frame(cfg.width, cfg.height);
  Bytes out(bw_max_encoded_size(&cfg));
  std::size_t size = 0;
  EXPECT_EQ(bw_encode_to_memory(&cfg, samples.data(), cfg.width, out.data(), out.size(), &size), BW_OK);
  out.resize(size);
  return out;
}

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  std::uint32_t width, height, quality, restart;
  const char* output;  // the file that gets the stream, "" for standard output
  bool raw_input = false;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class Options : public FolderTest, public testing::WithParamInterface<OptionCase> {};

// Input files: in.pgm (a PGM of the case's size) and in.raw (its samples).
TEST_P(Options, GiveTheLibrarysBytes) {
  const OptionCase& c = GetParam();
  write("in.pgm", pgm(c.width, c.height));
  write("in.raw", frame(c.width, c.height));
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  RunOptions options;
  options.args = c.args;
  options.stdin_path = c.raw_input ? "in.raw" : "in.pgm";
  const RunResult run = run_blockwright(dir, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = c.width;
  cfg.height = c.height;
  cfg.quality = c.quality;
  cfg.restart_interval = c.restart;
  const Bytes want = library_encoding(cfg);
  if (*c.output == '\0') {
    EXPECT_TRUE(run.out == std::string(want.begin(), want.end()));
  } else {
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(read_file(path(c.output)) == want);
  }
  const Decoded d = decode_jpeg(want);
  EXPECT_TRUE(d.ok && d.warnings == 0 && d.width == int(c.width) && d.height == int(c.height));
  // Nothing but the output beside the inputs.
  EXPECT_EQ(list_folder(path("sub")).size(), std::string(c.output).rfind("sub/", 0) == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Options,
    testing::Values(
        OptionCase{"pgm_defaults", {"in.pgm"}, 37, 21, 75, 0, "testout.jpg"},
        OptionCase{"quality_short", {"-q", "90", "in.pgm"}, 64, 8, 90, 0, "testout.jpg"},
        OptionCase{"quality_joined", {"-q5", "in.pgm"}, 64, 8, 5, 0, "testout.jpg"},
        OptionCase{"quality_long_equals", {"--quality=100", "in.pgm"}, 9, 9, 100, 0, "testout.jpg"},
        OptionCase{"restart", {"--restart", "3", "in.pgm"}, 50, 30, 75, 3, "testout.jpg"},
        OptionCase{"threads_one", {"--threads", "1", "in.pgm"}, 16, 16, 75, 0, "testout.jpg"},
        OptionCase{"threads_three", {"--threads", "3", "--restart", "7", "in.pgm"}, 300, 211, 75, 7, "testout.jpg"},
        OptionCase{"output_in_folder", {"in.pgm", "-o", "sub/x.jpg"}, 1, 1, 75, 0, "sub/x.jpg"},
        OptionCase{"output_long", {"--output", "y.jpg", "in.pgm"}, 2, 300, 75, 0, "y.jpg"},
        OptionCase{"stdin_to_stdout", {"-q", "60", "-", "-o", "-"}, 1281, 17, 60, 0, ""},
        OptionCase{"raw_size", {"--size", "33x44", "in.raw"}, 33, 44, 75, 0, "testout.jpg"},
        OptionCase{"raw_stdin", {"--size=40x3", "--", "-"}, 40, 3, 75, 0, "testout.jpg", true},
        OptionCase{"dash_dash_input", {"-q", "20", "--", "in.pgm"}, 8, 8, 20, 0, "testout.jpg"}),
    [](const auto& p) { return std::string(p.param.name); });

using CliOptions = FolderTest;

// Usage errors: status 2, one line with a hint to --help, nothing read
// (image.y is a FIFO without a writer: opening it would block) or written.
TEST_F(CliOptions, UsageErrorsExit2) {
  ASSERT_EQ(mkfifo(path("image.y").c_str(), 0644), 0);
  const std::vector<std::vector<std::string>> cases = {
      {"-x"}, {"--bogus"}, {"--quality"}, {"-q", "abc"}, {"-q", ""}, {"-q", "-5"},
      {"--restart", "1.5"}, {"--threads", "two"}, {"--size", "12"}, {"--size", "x4"},
      {"--size", "4x"}, {"--size", "8x8"}, {"-o"}, {"-o", ""}, {"a.pgm", "b.pgm"},
      {"--quality85"}, {"--version=1"}, {""}, {"--size", "4294967296"}, {"--help=1"}, {"-hq"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    RunOptions options;
    options.args = args;
    const RunResult run = run_blockwright(dir, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("blockwright: ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_NE(run.err.find("try 'blockwright --help'"), std::string::npos) << run.err;
  }
  EXPECT_EQ(list_folder(dir), std::vector<std::string>{"image.y"});
  // A word option's message lists the words it takes.
  RunOptions options;
  options.args = {"--sampling", "411", "x.ppm"};
  EXPECT_EQ(run_blockwright(dir, options).err,
            "blockwright: --sampling: bad value '411', not one of 444, 422, 420; try 'blockwright --help'\n");
}

TEST_F(CliOptions, HelpAndVersionReadAndWriteNothing) {
  ASSERT_EQ(mkfifo(path("image.y").c_str(), 0644), 0);
  for (const auto& [args, start] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-h"}, "Usage: blockwright [OPTIONS] [INPUT]\n"},
           {{"-q", "50", "--help", "x.pgm"}, "Usage: blockwright [OPTIONS] [INPUT]\n"},
           {{"--version"}, std::string("blockwright ") + bw_version() + "\n"}}) {
    RunOptions options;
    options.args = args;
    const RunResult run = run_blockwright(dir, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.substr(0, start.size()), start);
    // Every line of the help, options from the table included, fits 80 columns.
    for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_LE(end - at, 80u) << run.out.substr(at, end - at);
    }
  }
  EXPECT_EQ(list_folder(dir), std::vector<std::string>{"image.y"});
}

// Bad inputs and settings: status 1, one line, an earlier output left alone.
struct Refused {
  const char* name;
  std::vector<std::string> args;
  Bytes input;  // as in.pgm, also on standard input
  std::string message;
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class Refusals : public FolderTest, public testing::WithParamInterface<Refused> {};

TEST_P(Refusals, OneLineAndNothingWritten) {
  const Refused& c = GetParam();
  write("in.pgm", c.input);
  put_earlier_output();
  RunOptions options;
  options.args = c.args;
  options.stdin_path = "in.pgm";
  expect_refusal(run_blockwright(dir, options), c.message);
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"in.pgm", "testout.jpg"}));
  EXPECT_EQ(read_file(path("testout.jpg")), earlier_output());
}

std::string reason(int status) { return bw_strerror(status); }

INSTANTIATE_TEST_SUITE_P(
    Cli, Refusals,
    testing::Values(
        Refused{"quality_0", {"-q", "0", "in.pgm"}, pgm(8, 8), "--quality 0: " + reason(BW_E_QUALITY)},
        Refused{"quality_101", {"--quality", "101"}, {}, "--quality 101: " + reason(BW_E_QUALITY)},
        Refused{"restart_65536", {"--restart", "65536", "in.pgm"}, pgm(8, 8), "--restart 65536: " + reason(BW_E_RESTART)},
        Refused{"threads_0", {"--threads", "0", "in.pgm"}, pgm(8, 8), "--threads 0: " + reason(BW_E_THREADS)},
        Refused{"size_0", {"--size", "0x8", "in.pgm"}, pgm(8, 8), "--size 0x8: " + reason(BW_E_SIZE)},
        Refused{"size_65536", {"--size", "8x65536", "in.pgm"}, pgm(8, 8), "--size 8x65536: " + reason(BW_E_SIZE)},
        Refused{"missing_input", {"none.pgm"}, {}, "none.pgm: No such file or directory"},
        Refused{"missing_folder", {"in.pgm", "-o", "none/x.jpg"}, pgm(8, 8), "none/x.jpg: No such file or directory"},
        Refused{"not_pgm", {"in.pgm"}, text("hello"), "in.pgm: not a PGM or PPM file: it does not start with P5 or P6"},
        Refused{"colour_short", {"in.pgm"}, text("P6\n8 8\n255\n"), "in.pgm: read 0 of 192 bytes"},
        Refused{"plain", {"-"}, text("P2 8 8 255\n"), "standard input: a plain-text PGM (P2); only binary PGM (P5) and PPM (P6) are taken"},
        Refused{"sixteen_bit", {"in.pgm"}, text("P5 8 8 65535\n"), "in.pgm: maxval 65535; only 8-bit samples (maxval 255) are taken"},
        Refused{"maxval_15", {"in.pgm"}, text("P5 8 8 15\n"), "in.pgm: maxval 15; only 8-bit samples (maxval 255) are taken"},
        Refused{"zero_width", {"in.pgm"}, text("P5 0 8 255\n"), "in.pgm: a 0 x 8 picture; width and height must be 1 to 65535"},
        Refused{"too_tall", {"in.pgm"}, text("P5 8 65536 255\n"), "in.pgm: a 8 x 65536 picture; width and height must be 1 to 65535"},
        Refused{"header_ends", {"in.pgm"}, text("P5\n# just a comment\n8 8"), "in.pgm: the input ends within its PGM header"},
        Refused{"bad_number", {"in.pgm"}, text("P5 8 -8 255\n"), "in.pgm: bad PGM header: '-' where the height belongs"},
        Refused{"short_samples", {"in.pgm"}, concat(text("P5 4 4 255\n"), Bytes(10, 1)), "in.pgm: read 10 of 16 samples"},
        Refused{"short_stdout", {"-", "-o", "-"}, concat(text("P5 300 300 255\n"), Bytes(50000, 1)), "standard input: read 50000 of 90000 samples"},
        Refused{"short_raw", {"--size", "9x9", "in.pgm"}, Bytes(80, 1), "in.pgm: read 80 of 81 samples"},
        Refused{"long_raw", {"--size", "9x9", "in.pgm"}, Bytes(82, 1), "in.pgm: 82 bytes, more than the 81 samples of --size 9x9"},
        Refused{"long_raw_rgb", {"--size", "2x2", "--format", "rgb", "in.pgm"}, Bytes(13, 1), "in.pgm: 13 bytes, more than the 12 bytes of --size 2x2 --format rgb"},
        Refused{"long_comment", {"--comment", std::string(65534, 'c'), "in.pgm"}, pgm(8, 8), "--comment: a comment (COM) segment holds at most 65533 bytes"},
        Refused{"long_raw_stdin", {"--size", "9x8", "-"}, Bytes(81, 1), "standard input: 81 bytes, more than the 72 samples of --size 9x8"},
        // Numbers of any length are refused, none wraps modulo 2^32.
        Refused{"quality_2_32_plus_50", {"-q", "4294967346", "in.pgm"}, pgm(8, 8), "--quality 4294967346: " + reason(BW_E_QUALITY)},
        Refused{"quality_27_digits", {"--quality=100000000000000000000000075"}, {}, "--quality 100000000000000000000000075: " + reason(BW_E_QUALITY)},
        Refused{"restart_2_32_plus_1", {"--restart", "4294967297", "in.pgm"}, pgm(8, 8), "--restart 4294967297: " + reason(BW_E_RESTART)},
        Refused{"threads_2_32_plus_2", {"--threads", "4294967298", "in.pgm"}, pgm(8, 8), "--threads 4294967298: " + reason(BW_E_THREADS)},
        Refused{"threads_65", {"--threads", "65", "in.pgm"}, pgm(8, 8), "--threads 65: " + reason(BW_E_THREADS)},
        Refused{"size_past_2_32", {"--size", "4294967333x4294967325", "in.pgm"}, pgm(8, 8), "--size 4294967333x4294967325: " + reason(BW_E_SIZE)},
        Refused{"size_height_past_2_32", {"--size", "8x4294967304", "in.pgm"}, pgm(8, 8), "--size 8x4294967304: " + reason(BW_E_SIZE)},
        // Header numbers as written, however large; the byte after the maxval.
        Refused{"width_10_26", {"in.pgm"}, text("P5 100000000000000000000000000 8 255\n"), "in.pgm: a 100000000000000000000000000 x 8 picture; width and height must be 1 to 65535"},
        Refused{"maxval_past_2_64", {"in.pgm"}, text("P5 8 8 00018446744073709551871\n"), "in.pgm: maxval 18446744073709551871; only 8-bit samples (maxval 255) are taken"},
        Refused{"comment_after_maxval", {"in.pgm"}, text("P5 8 8 255#c\n"), "in.pgm: bad PGM header: '#' where white space after the maxval belongs"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(CliOptions, PgmCommentsAndWhiteSpace) {
  write("in.pgm", concat(text("P5 # made by hand\n\t37\r# width\n21 #height\n255\n"), frame(37, 21)));
  RunOptions options;
  options.args = {"in.pgm"};
  const RunResult run = run_blockwright(dir, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = 37;
  cfg.height = 21;
  EXPECT_TRUE(read_file(path("testout.jpg")) == library_encoding(cfg));
}

// A failure to print on standard output is reported like any other: the
// help, the version and the stream all go to a device that is always full
// (made here, never the machine's own).
TEST_F(CliOptions, StandardOutputFailuresAreReported) {
  if (mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
  }
  write("in.pgm", pgm(16, 16));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--version"}, {"-o", "-", "in.pgm"}, {"-o", "/proc/self/fd/1", "in.pgm"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    RunOptions options;
    options.args = args;
    options.stdout_path = "full";
    const RunResult run = run_blockwright(dir, options);
    EXPECT_EQ(run.status, 1);
    const std::string name = args[0] == "-o" && args[1] != "-" ? args[1] : "standard output";
    EXPECT_EQ(run.err, "blockwright: " + name + ": No space left on device\n");
  }
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"full", "in.pgm"}));
}

// Output names up to the longest a folder takes (255 bytes) work: the
// temporary file's name never makes them too long.
TEST_F(CliOptions, LongOutputNames) {
  write("in.pgm", pgm(16, 16));
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = cfg.height = 16;
  for (const std::size_t length : {243, 250, 255, 256}) {
    SCOPED_TRACE(length);
    const std::string name = std::string(length - 4, 'n') + ".jpg";
    RunOptions options;
    options.args = {"-o", "sub/" + name, "in.pgm"};
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    const RunResult run = run_blockwright(dir, options);
    if (length <= 255) {
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(read_file(path("sub/" + name)) == library_encoding(cfg));
    } else {
      expect_refusal(run, "sub/" + name + ": File name too long");
      EXPECT_TRUE(list_folder(path("sub")).empty());
    }
    std::filesystem::remove_all(path("sub"));
  }
}

// Without the memory to read the whole frame for its threads, the program
// codes it stripe by stripe, with the same bytes (and the library, without
// threads, on fewer).
TEST_F(CliOptions, ThreadsWithoutMemoryGiveTheSameBytes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
#endif
  write("in.pgm", pgm(3000, 3000));  // 9 MB of samples, more than the limit
  RunOptions options;
  options.args = {"--threads", "2", "in.pgm"};
  options.address_space_limit = rlim_t{8} << 20;
  const RunResult run = run_blockwright(dir, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = cfg.height = 3000;
  EXPECT_TRUE(read_file(path("testout.jpg")) == library_encoding(cfg));
}

}  // namespace
