// The blockwright program as a whole, on the output side: it is silent on
// success, refuses with one line and status 1 when image.y or testout.jpg
// cannot be used, never leaves a partial or temporary file, leaves an
// earlier testout.jpg alone on failure, and gives the finished file the mode
// a plain create would. The input side (sizes, header lines, FIFOs) is in
// hostile_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli_harness.hpp"
#include "decode.hpp"

namespace {

// The bundled sample, so that these tests need nothing outside the checkout.
const std::vector<std::uint8_t>& camera_input() {
  static const auto bytes = read_file(std::string(BW_SOURCE_DIR) + "/samples/camera.y");
  return bytes;
}

const std::vector<std::uint8_t>& camera_jpeg() {
  static const auto bytes = encode_in_memory(samples_of(camera_input()).data());
  return bytes;
}

mode_t mode_of(const std::string& p) {
  struct stat st {};
  EXPECT_EQ(lstat(p.c_str(), &st), 0);
  return st.st_mode;
}

using Cli = FolderTest;

TEST_F(Cli, SucceedsSilentlyWithOnlyTheOutputBesideTheInput) {
  write("image.y", camera_input());
  expect_output(run_blockwright(dir), camera_jpeg());
  put_earlier_output();  // and replaces an earlier output completely
  expect_output(run_blockwright(dir), camera_jpeg());
}

TEST_F(Cli, MissingInputIsRefused) {
  put_earlier_output();
  expect_refusal(run_blockwright(dir), "image.y: No such file or directory");
  expect_untouched({"testout.jpg"});
}

TEST_F(Cli, FolderAsInputIsRefused) {
  ASSERT_EQ(mkdir(path("image.y").c_str(), 0755), 0);
  put_earlier_output();
  expect_refusal(run_blockwright(dir), "image.y: Is a directory");
  expect_untouched();
}

TEST_F(Cli, UnreadableInputIsRefused) {
  write("image.y", camera_input());
  ASSERT_EQ(chmod(path("image.y").c_str(), 0200), 0);
  put_earlier_output();
  const RunOptions options = give_to_nobody();
  if (IsSkipped()) return;
  const RunResult run = run_blockwright(dir, options);
  if (run.status == cannot_drop_privileges) GTEST_SKIP() << "running as root and cannot switch to user 65534";
  expect_refusal(run, "image.y: Permission denied");
  expect_untouched();
}

TEST_F(Cli, FolderNamedLikeTheOutputIsLeftAlone) {
  write("image.y", camera_input());
  ASSERT_EQ(mkdir(path("testout.jpg").c_str(), 0755), 0);
  write("testout.jpg/inside", {1, 2, 3});
  expect_refusal(run_blockwright(dir), "testout.jpg: Is a directory");
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"image.y", "testout.jpg"}));
  EXPECT_EQ(list_folder(path("testout.jpg")), std::vector<std::string>{"inside"});
}

TEST_F(Cli, UnwritableFolderIsRefused) {
  write("image.y", camera_input());
  put_earlier_output();
  const RunOptions options = give_to_nobody();
  if (IsSkipped()) return;
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  const RunResult run = run_blockwright(dir, options);
  if (run.status == cannot_drop_privileges) GTEST_SKIP() << "running as root and cannot switch to user 65534";
  expect_refusal(run, "testout.jpg: Permission denied");
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  expect_untouched();
}

// A file size limit stands in for a full disk: every write past it fails.
// 0 fails the first write, 328 the first write after the stream header,
// 50000 one in the middle of the coded data.
class FullDisk : public FolderTest, public testing::WithParamInterface<rlim_t> {};

TEST_P(FullDisk, WriteFailureIsRefusedWithoutPartialFile) {
  write("image.y", camera_input());
  put_earlier_output();
  RunOptions options;
  options.file_size_limit = GetParam();
  expect_refusal(run_blockwright(dir, options), "testout.jpg: File too large");
  expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(Limits, FullDisk, testing::Values(rlim_t{0}, rlim_t{328}, rlim_t{50000}));

TEST_F(Cli, OutputModeIsThatOfAPlainCreate) {
  write("image.y", camera_input());
  for (const auto& [mask, want] : {std::pair<mode_t, mode_t>{022, 0644}, {077, 0600}, {002, 0664}}) {
    SCOPED_TRACE(mask);
    unlink(path("testout.jpg").c_str());
    RunOptions options;
    options.umask = mask;
    expect_output(run_blockwright(dir, options), camera_jpeg());
    EXPECT_EQ(mode_of(path("testout.jpg")), S_IFREG | want);
  }
}

TEST_F(Cli, EarlierOutputModeIsNotKept) {
  // The finished file is a new file: an earlier testout.jpg's mode goes
  // with it, as documented.
  write("image.y", camera_input());
  put_earlier_output();
  ASSERT_EQ(chmod(path("testout.jpg").c_str(), 0600), 0);
  expect_output(run_blockwright(dir), camera_jpeg());
  EXPECT_EQ(mode_of(path("testout.jpg")), S_IFREG | 0644);
}

TEST_F(Cli, SymbolicLinkIsReplacedAndItsTargetLeftAlone) {
  write("image.y", camera_input());
  write("target", earlier_output());
  ASSERT_EQ(symlink("target", path("testout.jpg").c_str()), 0);
  // A failed run keeps the link as it is.
  write("image.y", {'\n', '\n', '\n', 0x80});
  expect_refusal(run_blockwright(dir), "image.y: read 1 of 1310720 samples");
  EXPECT_TRUE(S_ISLNK(mode_of(path("testout.jpg"))));
  // A successful one replaces the link with a regular file.
  write("image.y", camera_input());
  const RunResult run = run_blockwright(dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(S_ISREG(mode_of(path("testout.jpg"))));
  EXPECT_EQ(read_file(path("testout.jpg")), camera_jpeg());
  EXPECT_EQ(read_file(path("target")), earlier_output());
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"image.y", "target", "testout.jpg"}));
}

TEST_F(Cli, FifoNamedLikeTheOutputIsReplacedWithoutBlocking) {
  write("image.y", camera_input());
  ASSERT_EQ(mkfifo(path("testout.jpg").c_str(), 0644), 0);
  expect_output(run_blockwright(dir), camera_jpeg());
  EXPECT_TRUE(S_ISREG(mode_of(path("testout.jpg"))));
}

TEST_F(Cli, OtherHardLinksKeepTheEarlierBytes) {
  write("image.y", camera_input());
  put_earlier_output();
  ASSERT_EQ(link(path("testout.jpg").c_str(), path("other").c_str()), 0);
  const RunResult run = run_blockwright(dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(path("testout.jpg")), camera_jpeg());
  EXPECT_EQ(read_file(path("other")), earlier_output());
}

}  // namespace
