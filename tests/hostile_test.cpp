// The blockwright program on hostile image.y inputs: sizes around the
// header and the last sample, header lines around the 79-character read
// limit, random bytes, a FIFO, /dev/null, header lines that describe another
// picture. Every run ends with status 0 and exactly the encoding of the
// samples that stdio line reads select, or with a one-line refusal that
// leaves an earlier testout.jpg as it was and no other file behind. (The unwritable-folder
// case is in cli_test.cpp.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli_harness.hpp"
#include "decode.hpp"
#include "image_input.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string header = "P5\n1280 1024\n255\n";

Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

// A frame of samples that codes to something other than flat grey.
const Bytes& pattern() {
  static const Bytes samples = [] {
    Bytes s(frame_samples);
    for (std::size_t i = 0; i < s.size(); ++i) {
      const std::size_t x = i % 1280, y = i / 1280;
      s[i] = static_cast<std::uint8_t>((x * 3 + y * 5 + (x * y) / 64) & 0xFF);
    }
    return s;
  }();
  return samples;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string short_message(std::size_t samples, bool in_header) {
  return "image.y: read " + std::to_string(samples) + " of 1310720 samples" +
         (in_header ? ", the input ends within its three header lines" : "");
}

class Hostile : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    put_earlier_output();
  }
  // Runs on input and checks the outcome against reading it with stdio.
  // Returns whether the input was accepted.
  bool expect_as_read(const Bytes& input) {
    write("image.y", input);
    const RunResult run = run_blockwright(dir);
    const std::size_t start = stdio_sample_start(input);
    if (start == std::string::npos) {
      expect_refusal(run, short_message(0, true));
    } else if (input.size() - start < frame_samples) {
      expect_refusal(run, short_message(input.size() - start, false));
    } else {
      expect_output(run, encode_in_memory(input.data() + start));
      return true;
    }
    expect_untouched();
    return false;
  }
};

struct SizeCase {
  const char* name;
  Bytes input;
  bool accepted;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class Sizes : public Hostile, public testing::WithParamInterface<SizeCase> {};

TEST_P(Sizes, AcceptedOrRefusedAsRead) {
  EXPECT_EQ(expect_as_read(GetParam().input), GetParam().accepted);
}

std::vector<SizeCase> size_cases() {
  const Bytes full = concat(text(header), pattern());
  Bytes one_short(full.begin(), full.end() - 1);
  std::mt19937 rng(7);
  Bytes tail(3 << 20);
  for (auto& b : tail) b = static_cast<std::uint8_t>(rng());
  return {
      {"empty", {}, false},
      {"one_byte", text("P"), false},
      {"header_only_17_bytes", text(header), false},
      {"two_header_lines", text("P5\n1280 1024\n"), false},
      {"empty_lines_and_one_sample", text("\n\n\n\x80"), false},
      {"one_sample_short", one_short, false},
      {"exactly_long_enough", full, true},
      {"megabytes_too_long", concat(full, tail), true},
  };
}

INSTANTIATE_TEST_SUITE_P(Inputs, Sizes, testing::ValuesIn(size_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// A second header line of n characters, then its line feed: up to 78 it is
// one read; from 79 on the line feed or the rest of the line is the third
// read, and the real third line "255\n" becomes the first samples.
struct LineCase {
  std::size_t length;
  std::size_t start;  // where the samples start, counted by hand
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.length << " characters"; }

class HeaderLine : public Hostile, public testing::WithParamInterface<LineCase> {};

TEST_P(HeaderLine, SamplesStartWhereTheLineReadsEnd) {
  const auto [length, start] = GetParam();
  const Bytes input = concat(text("P5\n" + std::string(length, 'x') + "\n255\n"), pattern());
  ASSERT_EQ(stdio_sample_start(input), start);
  write("image.y", input);
  expect_output(run_blockwright(dir), encode_in_memory(input.data() + start));
}

INSTANTIATE_TEST_SUITE_P(Lengths, HeaderLine,
                         testing::Values(LineCase{78, 3 + 79 + 4}, LineCase{79, 3 + 79 + 1},
                                         LineCase{80, 3 + 79 + 2}, LineCase{200, 3 + 79 + 79}),
                         [](const auto& p) { return std::to_string(p.param.length); });

// Header lines that together hold a complete Netpbm header of another
// picture are refused before anything is written; header text that is not
// such a header is not interpreted.
struct LabelCase {
  const char* name;
  std::string header;
  const char* reason;  // nullptr: accepted
};

void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.name; }

class Labels : public Hostile, public testing::WithParamInterface<LabelCase> {};

TEST_P(Labels, OtherPicturesAreRefused) {
  const LabelCase& c = GetParam();
  const Bytes input = concat(text(c.header), pattern());
  write("image.y", input);
  const RunResult run = run_blockwright(dir);
  if (c.reason == nullptr) {
    expect_output(run, encode_in_memory(input.data() + stdio_sample_start(input)));
  } else {
    expect_refusal(run, std::string("image.y: ") + c.reason);
    expect_untouched();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Labels,
    testing::Values(
        LabelCase{"larger", "P5\n3640 2400\n255\n", "a 3640 x 2400 picture; image.y must be 1280 x 1024"},
        LabelCase{"swapped", "P5 1024\n1280\n255\n", "a 1024 x 1280 picture; image.y must be 1280 x 1024"},
        LabelCase{"sixteen_bit", "P5\n1280 1024\n65535\n", "maxval 65535; image.y must have 8-bit samples (maxval 255)"},
        LabelCase{"colour", "P6\n1280 1024\n255\n", "a colour picture (P6); image.y must be gray samples (P5)"},
        LabelCase{"one_line_and_comment", "P5 640 480 # by hand\n255\n\n", "a 640 x 480 picture; image.y must be 1280 x 1024"},
        LabelCase{"bitmap", "P4\n1280 1024\n\n", "a bitmap (P4); image.y must be gray samples (P5)"},
        LabelCase{"right_with_comments", "P5 # camera 3\n1280 1024\n255\n", nullptr},
        LabelCase{"no_maxval_within", "P5\n3640\n2400\n", nullptr},
        LabelCase{"cut_by_line_limit", "P5\n" + std::string(150, ' ') + "3640 2400 255\n\n", nullptr},
        LabelCase{"not_netpbm", "frame 3640 x 2400\n\n\n", nullptr},
        LabelCase{"comment_before_magic", "# by hand\nP5 640 480 255\n\n", nullptr},
        LabelCase{"empty_lines", "\n\n\n", nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Hostile, RandomBytes) {
  std::mt19937 rng(2024);
  int accepted = 0;
  for (std::size_t size : {std::size_t{1000}, frame_samples + 40, frame_samples + 250, 2 * frame_samples}) {
    SCOPED_TRACE(size);
    Bytes input(size);
    for (auto& b : input) b = static_cast<std::uint8_t>(rng());
    accepted += expect_as_read(input) ? 1 : 0;
  }
  EXPECT_GE(accepted, 2);  // at least the two long enough for any header
}

TEST_F(Hostile, DevNullIsAnEmptyInput) {
  ASSERT_EQ(symlink("/dev/null", path("image.y").c_str()), 0);
  expect_refusal(run_blockwright(dir), short_message(0, true));
  expect_untouched();
}

// Feeds a FIFO named image.y in pieces of odd sizes, so that the program
// sees short reads, then closes it.
void feed_fifo(const std::string& fifo, const Bytes& data) {
  signal(SIGPIPE, SIG_IGN);  // the reader may stop early
  const int fd = open(fifo.c_str(), O_WRONLY);  // waits for the reader
  ASSERT_GE(fd, 0);
  for (std::size_t pos = 0; pos < data.size();) {
    const std::size_t piece = std::min<std::size_t>(data.size() - pos, 3001);
    const ssize_t n = ::write(fd, data.data() + pos, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pos += static_cast<std::size_t>(n);
  }
  close(fd);
}

TEST_F(Hostile, FifoInput) {
  const Bytes full = concat(text(header), pattern());
  ASSERT_EQ(mkfifo(path("image.y").c_str(), 0644), 0);
  int out = -1, err = -1;
  pid_t pid = start_blockwright(dir, {}, &out, &err);
  ASSERT_GT(pid, 0);
  feed_fifo(path("image.y"), full);
  expect_output(finish_blockwright(pid, out, err), encode_in_memory(pattern().data()));

  // Cut off in the middle: refused, the earlier output back in place.
  put_earlier_output();
  pid = start_blockwright(dir, {}, &out, &err);
  ASSERT_GT(pid, 0);
  feed_fifo(path("image.y"), Bytes(full.begin(), full.begin() + 700017));
  expect_refusal(finish_blockwright(pid, out, err), short_message(700000, false));
  expect_untouched();
}

}  // namespace
