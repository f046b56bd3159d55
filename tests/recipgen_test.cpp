// recipgen as a program: exact standard output and diagnostics for valid
// tables, and refusal of malformed ones (exit 1, nothing on standard output,
// one line on standard error naming the position). The reader is also
// exercised in-process for streaming across arbitrary piece boundaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode.hpp"
#include "recipgen_table.hpp"

namespace {

// The header's table (quality 75), in zigzag order.
const std::vector<int> header_table = {
    8,  6,  6,  7,  6,  5,  8,  7,  7,  7,  9,  9,  8,  10, 12, 20, 13, 12, 11, 11, 12, 25,
    18, 19, 15, 20, 29, 26, 31, 30, 29, 26, 28, 28, 32, 36, 46, 39, 32, 34, 44, 35, 28, 28,
    40, 55, 41, 44, 48, 49, 52, 52, 52, 31, 39, 57, 61, 56, 50, 60, 46, 51, 52, 50};

const char* const header_qu =
    "1024,984,1253,870,682,521,582,957,\n"
    "984,709,645,502,454,259,363,764,\n"
    "895,645,599,444,313,275,331,811,\n"
    "995,558,484,394,267,201,321,814,\n"
    "910,536,329,248,240,189,291,761,\n"
    "868,417,285,277,254,255,337,821,\n"
    "605,341,297,292,291,315,466,1075,\n"
    "824,465,473,515,530,755,1055,2152,\n";

const char* const ones_qu =
    "8192,5906,6269,6966,8192,10426,15136,29691,\n"
    "5906,4258,4520,5022,5906,7517,10913,21406,\n"
    "6269,4520,4798,5332,6269,7980,11585,22725,\n"
    "6966,5022,5332,5924,6966,8866,12872,25250,\n"
    "8192,5906,6269,6966,8192,10426,15136,29691,\n"
    "10426,7517,7980,8866,10426,13270,19265,37790,\n"
    "15136,10913,11585,12872,15136,19265,27969,54863,\n"
    "29691,21406,22725,25250,29691,37790,54863,107618,\n";

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// Runs recipgen with the given standard input; standard output goes to
// stdout_path when one is given.
Outcome run_recipgen(const std::string& input, const std::string& stdout_path = "") {
  const std::string base = ::testing::TempDir() + "recipgen_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                           std::to_string(::getpid());
  const std::string in = base + ".in", out = base + ".out", err = base + ".err";
  write_file(in, std::vector<std::uint8_t>(input.begin(), input.end()));
  const std::string target = stdout_path.empty() ? out : stdout_path;
  const std::string command = std::string("'") + BW_RECIPGEN + "' < '" + in + "' > '" + target +
                              "' 2> '" + err + "'";
  Outcome run;
  const int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (stdout_path.empty()) run.out = text_of(read_file(out));
  run.err = text_of(read_file(err));
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

// Formats values with the given per-value format and separator.
std::string format_table(const std::vector<int>& values, const char* fmt, const char* sep) {
  std::string s;
  char buf[8];
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::snprintf(buf, sizeof buf, fmt, values[i]);
    s += buf;
    if (i + 1 < values.size()) s += sep;
  }
  return s;
}

std::string hex_spaced(const std::vector<int>& values) { return format_table(values, "%02x", " ") + "\n"; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // unterminated last line
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(RecipgenOutput, HeaderTableGivesTheEncodersReciprocals) {
  const Outcome run = run_recipgen(hex_spaced(header_table));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, header_qu);
  const auto err = lines_of(run.err);
  ASSERT_EQ(err.size(), 8u);
  // Column 4's scale factor prints as 1 but lies just below it: 12 * s = 11.
  EXPECT_EQ(err[0],
            "8*1=8,6*1.38704=8,5*1.30656=6,8*1.17588=9,12*1=11,20*0.785695=15,"
            "26*0.541196=14,31*0.275899=8,");
  EXPECT_EQ(run.err.back(), '\n');
}

TEST(RecipgenOutput, AllOnesTable) {
  const Outcome run = run_recipgen(hex_spaced(std::vector<int>(64, 1)));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, ones_qu);
  const auto err = lines_of(run.err);
  ASSERT_EQ(err.size(), 8u);
  EXPECT_EQ(err[0].substr(0, 40), "1*1=1,1*1.38704=1,1*1.30656=1,1*1.17588=");
}

TEST(RecipgenOutput, InputLayoutsReadAlike) {
  // One run of digits, single digits where a value allows, upper case, tabs
  // and CR LF line ends, and trailing white space all give the same table.
  const std::vector<std::string> inputs = {
      format_table(header_table, "%02x", ""),
      format_table(header_table, "%x", " "),
      format_table(header_table, "%02X", "\t") + "\r\n",
      "\n\n  " + format_table(header_table, "%02x", "\r\n") + "  \n\t \n",
  };
  for (const auto& input : inputs) {
    const Outcome run = run_recipgen(input);
    EXPECT_EQ(run.status, 0) << input;
    EXPECT_EQ(run.out, header_qu) << input;
  }
}

TEST(RecipgenOutput, InputLongerThanTheReadBufferStreams) {
  // The table starts just before a 4096-byte boundary, so a value straddles
  // two reads, and a long run of trailing white space follows.
  const std::string input = std::string(4095, ' ') + format_table(header_table, "%02x", "") +
                            std::string(10000, '\n');
  const Outcome run = run_recipgen(input);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, header_qu);
}

TEST(RecipgenOutput, ZigzagValuesLandInNaturalOrder) {
  // Values 2, 3 and 64 of the input go to (0,1), (1,0) and (7,7).
  std::vector<int> values(64, 1);
  values[1] = 2;
  values[2] = 3;
  values[63] = 0xff;
  const Outcome run = run_recipgen(hex_spaced(values));
  ASSERT_EQ(run.status, 0);
  const auto err = lines_of(run.err);
  ASSERT_EQ(err.size(), 8u);
  EXPECT_EQ(err[0].substr(0, 16), "1*1=1,2*1.38704=");
  EXPECT_EQ(err[1].substr(0, 12), "3*1.38704=4,");
  EXPECT_NE(err[7].find(",255*0.0761205=19,"), std::string::npos) << err[7];
  const auto out = lines_of(run.out);
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0].substr(0, 10), "8192,2953,");  // 65536 / (16 * 1.38704)
  EXPECT_EQ(out[1].substr(0, 5), "1968,");        // 65536 / (24 * 1.38704)
  EXPECT_EQ(out[7].substr(out[7].size() - 4), "422,");  // 65536 / (2040 * 0.0761205)
}

struct Refusal {
  const char* what;
  std::string input;
  const char* position;  // must appear in the message
};

TEST(RecipgenRefusal, MalformedTablesAreRefusedWithThePosition) {
  const std::string table = hex_spaced(header_table);
  const std::string first10 = format_table({8, 6, 6, 7, 6, 5, 8, 7, 7, 7}, "%02x", " ");
  const std::vector<Refusal> cases = {
      {"empty input", "", "value 1 of 64: missing"},
      {"white space only", " \n\t\n", "value 1 of 64: missing"},
      {"ten values", first10 + "\n", "value 11 of 64: missing"},
      {"63 values", table.substr(0, 63 * 3), "value 64 of 64: missing"},
      {"plus sign", "+8 " + table.substr(3), "value 1 of 64 at byte 1: '+'"},
      {"minus sign", first10 + " -6" + table.substr(32), "value 11 of 64 at byte 31: '-'"},
      {"0x prefix", "0x08 " + table.substr(3), "value 1 of 64 at byte 2: 'x'"},
      {"non-hex letter", first10 + " 0g" + table.substr(32), "value 11 of 64 at byte 32: 'g'"},
      {"comma separator", "08,06" + table.substr(5), "value 2 of 64 at byte 3: ','"},
      {"NUL byte", first10 + std::string(1, '\0') + table.substr(30),
       "value 11 of 64 at byte 30: byte 0x00"},
      {"value 00", first10 + " 00" + table.substr(32), "value 11 of 64 at byte 31: 0 is not"},
      {"single digit 0", first10 + " 0 " + table.substr(33), "value 11 of 64 at byte 31: 0 is not"},
      {"zero as the last value", table.substr(0, 63 * 3) + "0", "value 64 of 64 at byte 190: 0 is not"},
      {"65th value", table + "01\n", "after value 64 at byte 193: '0'"},
      {"65th value run together", format_table(header_table, "%02x", "") + "3",
       "after value 64 at byte 129: '3'"},
      {"trailing text", table + "# comment\n", "after value 64 at byte 193: '#'"},
      // A value of three digits is reported where it stands, not as a 65th
      // value at the end, nor taken as two values when 63 others are there.
      {"three digits", first10 + " 123" + table.substr(32), "value 11 of 64 at byte 31: '123' is 3 hexadecimal"},
      {"three digits among 63", table.substr(0, 62 * 3) + "123\n", "value 63 of 64 at byte 187: '123' is 3"},
      {"odd run", "0806061" + table.substr(11), "value 1 of 64 at byte 1: '0806061' is 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = run_recipgen(c.input);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    const auto err = lines_of(run.err);
    ASSERT_EQ(err.size(), 1u) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_EQ(err[0].rfind("recipgen: standard input: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find(c.position), std::string::npos) << err[0];
  }
}

// Output failures: a closed pipe, a file size limit, a full device. Each
// gives one line and status 1 instead of a silent death by SIGPIPE or
// SIGXFSZ.
enum class Sink { closed_pipe, size_limit, full_device };

Outcome run_into(Sink sink, const std::string& input) {
  const std::string in = ::testing::TempDir() + "recipgen_sink_" + std::to_string(::getpid());
  write_file(in, std::vector<std::uint8_t>(input.begin(), input.end()));
  const std::string out = in + ".out";
  int out_pipe[2], err_pipe[2];
  EXPECT_EQ(pipe(out_pipe), 0);
  EXPECT_EQ(pipe(err_pipe), 0);
  close(out_pipe[0]);  // no reader at all, before recipgen starts: every write to the pipe fails
  const pid_t pid = fork();
  if (pid == 0) {
    const int in_fd = open(in.c_str(), O_RDONLY);
    int out_fd = out_pipe[1];
    if (sink == Sink::size_limit) out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sink == Sink::full_device) out_fd = open("/dev/full", O_WRONLY);
    const rlimit none{0, 0};
    if (in_fd < 0 || out_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_pipe[1], 2) < 0 ||
        (sink == Sink::size_limit && setrlimit(RLIMIT_FSIZE, &none) != 0)) {
      _exit(126);
    }
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    execl(BW_RECIPGEN, "recipgen", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Outcome run;
  char buf[4096];
  for (ssize_t n; (n = read(err_pipe[0], buf, sizeof buf)) > 0;) run.err.append(buf, static_cast<std::size_t>(n));
  close(err_pipe[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  std::remove(in.c_str());
  std::remove(out.c_str());
  return run;
}

TEST(RecipgenRefusal, OutputFailuresGiveOneLineAndStatus1) {
  for (const auto& [sink, reason] : {std::pair{Sink::closed_pipe, "Broken pipe"},
                                     std::pair{Sink::size_limit, "File too large"},
                                     std::pair{Sink::full_device, "No space left on device"}}) {
    SCOPED_TRACE(reason);
    const Outcome run = run_into(sink, hex_spaced(header_table));
    EXPECT_EQ(run.status, 1);
    const auto err = lines_of(run.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), std::string("recipgen: standard output: ") + reason);
  }
}

// The reader in-process: feeding the input in any pieces gives the same
// result as feeding it whole.
bool read_in_pieces(const std::string& input, std::size_t piece) {
  table_reader_start();
  const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
  for (std::size_t i = 0; i < input.size(); i += piece) {
    const std::size_t n = std::min(piece, input.size() - i);
    if (!table_reader_feed(data + i, n)) return false;
  }
  return table_reader_end();
}

TEST(RecipgenReader, PieceBoundariesDoNotMatter) {
  const std::string table = hex_spaced(header_table);
  const std::vector<std::string> inputs = {table, format_table(header_table, "%x", " "),
                                           format_table(header_table, "%02x", ""),
                                           table + "01", table.substr(0, 30) + "00 " + table.substr(33)};
  for (const auto& input : inputs) {
    ASSERT_TRUE(!input.empty());
    const bool whole = read_in_pieces(input, input.size());
    const auto steps = table_steps;
    const std::string why = table_refusal;
    for (std::size_t piece : {1u, 2u, 3u, 7u}) {
      EXPECT_EQ(read_in_pieces(input, piece), whole) << input;
      EXPECT_EQ(table_steps, steps);
      EXPECT_EQ(std::string(table_refusal), why);
    }
  }
}

}  // namespace
