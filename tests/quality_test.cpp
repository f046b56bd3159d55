// Streams of encoders built at other qualities and with a changed table
// file (built by the quality.build.* fixtures): the header's DQT is the
// scaled base table, qu.inc is recipgen's output for exactly those bytes,
// libjpeg decodes the stream cleanly, and PSNR rises with quality.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "decode.hpp"
#include "encode.hpp"
#include "quant_table.hpp"
#include "recipgen_table.hpp"
#include "image_input.hpp"
#include "tables.hpp"

namespace {

using Table = QuantTable;  // natural order, or zigzag order where said

// The header's DQT values as shipped (quality 75), in zigzag order.
const Table shipped_dqt = {8,  6,  6,  7,  6,  5,  8,  7,  7,  7,  9,  9,  8,  10, 12, 20,
                           13, 12, 11, 11, 12, 25, 18, 19, 15, 20, 29, 26, 31, 30, 29, 26,
                           28, 28, 32, 36, 46, 39, 32, 34, 44, 35, 28, 28, 40, 55, 41, 44,
                           48, 49, 52, 52, 52, 31, 39, 57, 61, 56, 50, 60, 46, 51, 52, 50};
const char* const shipped_camera_sha =
    "052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd";

// Scaled the way the build scales, and put in zigzag order as the header
// stores it.
Table header_table(const Table& base, int quality) {
  const QuantTable natural = scaled_table(base, quality);
  Table t{};
  for (std::size_t k = 0; k < 64; ++k) t[k] = natural[zz[k]];
  return t;
}

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string scratch(const std::string& name) {
  const std::string dir = ::testing::TempDir() + "quality_" + name + "_" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  return dir;
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// recipgen's standard output for the table as the header stores it.
std::string recipgen_output(const Table& zigzag) {
  const std::string dir = scratch("recipgen");
  std::string hex;
  char buf[4];
  for (int v : zigzag) {
    std::snprintf(buf, sizeof buf, "%02x ", v);
    hex += buf;
  }
  write_file(dir + "/dqt.hex", std::vector<std::uint8_t>(hex.begin(), hex.end()));
  EXPECT_EQ(run(std::string("'") + BW_RECIPGEN + "' < '" + dir + "/dqt.hex' > '" + dir +
                "/qu.txt' 2>/dev/null"),
            0);
  const std::string out = text_of(read_file(dir + "/qu.txt"));
  std::filesystem::remove_all(dir);
  return out;
}

const std::vector<std::uint8_t>& camera_input() {
  static const std::vector<std::uint8_t> input = read_file(images_dir() + "/camera.y");
  return input;
}

// Runs an encoder program on camera.y and returns testout.jpg.
std::vector<std::uint8_t> encode_with(const std::string& program) {
  const std::string dir = scratch("encode");
  write_file(dir + "/image.y", camera_input());
  EXPECT_EQ(run("cd '" + dir + "' && '" + program + "'"), 0) << program;
  std::vector<std::uint8_t> out = read_file(dir + "/testout.jpg");
  std::filesystem::remove_all(dir);
  return out;
}

Table dqt_of(const std::vector<std::uint8_t>& jpeg) {
  Table t{};
  EXPECT_GE(jpeg.size(), 330u);
  if (jpeg.size() < 330) return t;
  EXPECT_EQ(jpeg[20], 0xFF);
  EXPECT_EQ(jpeg[21], 0xDB);
  for (std::size_t k = 0; k < 64; ++k) t[k] = jpeg[25 + k];
  return t;
}

struct Measured {
  std::size_t bytes = 0;
  double psnr = 0;
};

// Decodes with libjpeg, expecting no error and no warning.
Measured decode_cleanly(const std::vector<std::uint8_t>& jpeg) {
  Measured m;
  m.bytes = jpeg.size();
  const Decoded d = decode_jpeg(jpeg);
  EXPECT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.warnings, 0);
  EXPECT_EQ(d.width, 1280);
  EXPECT_EQ(d.height, 1024);
  EXPECT_EQ(d.components, 1);
  if (!d.ok || d.pixels.size() != frame_samples) return m;
  const auto samples = samples_of(camera_input());
  m.psnr = psnr(samples.data(), d.pixels.data(), frame_samples);
  return m;
}

// The header outside the DQT values is the same whatever the table.
void expect_fixed_header(const std::vector<std::uint8_t>& jpeg,
                         const std::vector<std::uint8_t>& reference) {
  ASSERT_GE(jpeg.size(), 328u);
  EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.begin() + 25, reference.begin()));
  EXPECT_TRUE(std::equal(jpeg.begin() + 89, jpeg.begin() + 328, reference.begin() + 89));
}

TEST(QualityBuilds, ShippedTableIsQuality75OfTableK1) {
  EXPECT_EQ(header_table(read_base_table(BW_SOURCE_DIR "/lib/quant_table.txt"), 75), shipped_dqt);
}

TEST(QualityBuilds, EachQualityDecodesCleanlyAndPsnrRises) {
  const Table base = read_base_table(BW_QTABLE_FILE);
  const auto samples = samples_of(camera_input());
  const std::vector<std::uint8_t> main_stream = encode_in_memory(samples.data());
  const std::vector<std::pair<int, std::string>> builds = {
      {1, BW_QUALITY_BUILDS "/q1"},
      {50, BW_QUALITY_BUILDS "/q50"},
      {BW_QUALITY, ""},  // the main build
      {90, BW_QUALITY_BUILDS "/q90"},
      {100, BW_QUALITY_BUILDS "/q100"}};
  std::vector<std::pair<int, Measured>> results;
  for (const auto& [quality, folder] : builds) {
    SCOPED_TRACE("quality " + std::to_string(quality));
    const std::vector<std::uint8_t> jpeg =
        folder.empty() ? main_stream : encode_with(folder + "/programs/blockwright");
    const Table dqt_bytes = dqt_of(jpeg);
    EXPECT_EQ(dqt_bytes, header_table(base, quality));
    expect_fixed_header(jpeg, main_stream);
    if (!folder.empty()) {
      EXPECT_EQ(text_of(read_file(folder + "/lib/generated/qu.inc")), recipgen_output(dqt_bytes));
      // The quality chosen at run time gives what a build at that quality gives.
      const bw_config cfg = make_config(1280, 1024, static_cast<std::uint32_t>(quality));
      EXPECT_EQ(encode_frame(cfg, samples.data(), 1280), jpeg);
    }
    results.emplace_back(quality, decode_cleanly(jpeg));
  }
  std::sort(results.begin(), results.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::printf("camera.y: quality, bytes, PSNR dB\n");
  for (const auto& [quality, m] : results) std::printf("  %3d %8zu %6.2f\n", quality, m.bytes, m.psnr);
  for (std::size_t i = 1; i < results.size(); ++i) {
    if (results[i].first == results[i - 1].first) continue;
    EXPECT_GT(results[i].second.psnr, results[i - 1].second.psnr) << "quality " << results[i].first;
    EXPECT_GT(results[i].second.bytes, results[i - 1].second.bytes) << "quality " << results[i].first;
  }
}

TEST(QualityBuilds, ChangingTheTableFileChangesHeaderAndReciprocalsTogether) {
  const std::string folder = BW_QUALITY_BUILDS "/retable";
  const Table base = read_base_table(BW_QTABLE_FILE);
  const Table alt = read_base_table(BW_ALT_TABLE);
  const auto samples = samples_of(camera_input());
  const std::vector<std::uint8_t> main_stream = encode_in_memory(samples.data());

  // Before the edit: the configured table at quality 75.
  const std::vector<std::uint8_t> before = encode_with(folder + "/blockwright.before");
  EXPECT_EQ(dqt_of(before), header_table(base, 75));
  EXPECT_EQ(text_of(read_file(folder + "/qu.before.inc")), recipgen_output(dqt_of(before)));
  if (header_table(base, 75) == shipped_dqt) {
    EXPECT_EQ(sha256_hex(before), shipped_camera_sha);
  }

  // After editing the file and rebuilding: both halves follow the new table.
  const std::vector<std::uint8_t> after = encode_with(folder + "/programs/blockwright");
  const Table after_dqt = dqt_of(after);
  EXPECT_EQ(after_dqt, header_table(alt, 75));
  EXPECT_NE(after_dqt, dqt_of(before));
  const std::string after_qu = text_of(read_file(folder + "/lib/generated/qu.inc"));
  EXPECT_EQ(after_qu, recipgen_output(after_dqt));
  EXPECT_NE(after_qu, text_of(read_file(folder + "/qu.before.inc")));
  expect_fixed_header(after, main_stream);
  const Measured m = decode_cleanly(after);
  std::printf("camera.y with the other table at quality 75: %zu bytes, %.2f dB\n", m.bytes, m.psnr);
}

}  // namespace
