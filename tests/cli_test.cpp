// The blockwright program as a whole, on the output side: it is silent on
// success, refuses with one line and status 1 when image.y or testout.jpg
// cannot be used, never leaves a partial or temporary file, leaves an
// earlier testout.jpg alone on failure, and gives the finished file the mode
// a plain create would; devices, FIFOs and descriptors named as the output are
// written into, not replaced. The input side (sizes, header lines, FIFOs) is in
// hostile_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdint>
#include <string>
#include <vector>

#include "blockwright.h"
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

// Outputs by kind: a regular file is replaced; a device, a FIFO, a link to
// one of these and a link into /proc/self/fd are written into and stay what
// they were. "out" is the output; FIFOs have a reader before the run, and
// the stream (a few KiB) waits in the pipe until the run has ended.
struct OutputKind {
  const char* name;
  bool (*make)(const std::string& dir);  // false: not possible here (mknod needs root)
  const char* gets_stream;               // "out", a FIFO's name, "stdout", or "" for none
  const char* message;                   // "" for success
  mode_t kind;                           // what "out" is afterwards
};

void PrintTo(const OutputKind& c, std::ostream* os) { *os << c.name; }

bool node(const std::string& path, mode_t mode, int minor) {
  return mknod(path.c_str(), mode, makedev(1, minor)) == 0;
}

const OutputKind output_kinds[] = {
    {"regular", [](const std::string& d) { write_file(d + "/out", earlier_output()); return true; },
     "out", "", S_IFREG},
    {"null_device", [](const std::string& d) { return node(d + "/out", S_IFCHR | 0666, 3); }, "", "",
     S_IFCHR},
    {"full_device", [](const std::string& d) { return node(d + "/out", S_IFCHR | 0666, 7); }, "",
     "out: No space left on device", S_IFCHR},
    {"link_to_device",
     [](const std::string& d) { return node(d + "/full", S_IFCHR | 0666, 7) && symlink("full", (d + "/out").c_str()) == 0; },
     "", "out: No space left on device", S_IFLNK},
    {"fifo", [](const std::string& d) { return mkfifo((d + "/out").c_str(), 0644) == 0; }, "out", "", S_IFIFO},
    {"link_to_fifo",
     [](const std::string& d) { return mkfifo((d + "/pipe").c_str(), 0644) == 0 && symlink("pipe", (d + "/out").c_str()) == 0; },
     "pipe", "", S_IFLNK},
    {"link_into_proc_fd",
     [](const std::string& d) { return symlink("/proc/self/fd/1", (d + "/out").c_str()) == 0; }, "stdout", "",
     S_IFLNK},
    {"links_into_proc_fd",
     [](const std::string& d) {
       return symlink("/proc/self/fd/../fd/1", (d + "/a").c_str()) == 0 && symlink("a", (d + "/out").c_str()) == 0;
     },
     "stdout", "", S_IFLNK},
    {"link_to_a_read_only_fd",
     [](const std::string& d) { return symlink("/proc/self/fd/0", (d + "/out").c_str()) == 0; }, "",
     "out: Bad file descriptor", S_IFLNK},
};

class OutputKinds : public FolderTest, public testing::WithParamInterface<OutputKind> {};

TEST_P(OutputKinds, AreReplacedOnlyWhenRegular) {
  const OutputKind& c = GetParam();
  if (!c.make(dir)) GTEST_SKIP() << "cannot make the output here: " << std::strerror(errno);
  std::vector<std::uint8_t> in = {'P', '5', ' ', '6', '4', ' ', '4', '8', ' ', '2', '5', '5', '\n'};
  for (int i = 0; i < 64 * 48; ++i) in.push_back(static_cast<std::uint8_t>(i * 5 + i / 64));
  write("in.pgm", in);
  const std::string fifo = std::string(c.gets_stream) == "stdout" || c.kind == S_IFREG ? "" : c.gets_stream;
  const int reader = fifo.empty() ? -1 : open(path(fifo).c_str(), O_RDONLY | O_NONBLOCK);
  RunOptions options;
  options.args = {"-o", "out", "in.pgm"};
  const RunResult run = run_blockwright(dir, options);
  std::vector<std::uint8_t> got;
  if (reader >= 0) {
    std::uint8_t buf[4096];
    for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
    close(reader);
  }
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = 64;
  cfg.height = 48;
  std::vector<std::uint8_t> want(bw_max_encoded_size(&cfg));
  std::size_t size = 0;
  ASSERT_EQ(bw_encode_to_memory(&cfg, in.data() + 13, 64, want.data(), want.size(), &size), BW_OK);
  want.resize(size);
  if (*c.message != '\0') {
    expect_refusal(run, c.message);
  } else {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(mode_of(path("out")) & S_IFMT, c.kind);
  const std::string where = c.gets_stream;
  EXPECT_TRUE(run.out == (where == "stdout" ? std::string(want.begin(), want.end()) : ""));
  if (where == "out" && c.kind == S_IFREG) {
    EXPECT_TRUE(read_file(path("out")) == want);
  }
  if (!fifo.empty()) {
    EXPECT_TRUE(got == want) << got.size() << " bytes from the FIFO";
  }
  // No temporary file left: only what the case made, and the input.
  for (const auto& entry : list_folder(dir)) EXPECT_EQ(entry.rfind(".blockwright.", 0), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cli, OutputKinds, testing::ValuesIn(output_kinds),
                         [](const auto& p) { return std::string(p.param.name); });

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
