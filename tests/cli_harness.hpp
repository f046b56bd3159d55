// Runs the built blockwright program in a fresh temporary folder, with a
// chosen umask and file size limit, and captures its status and output.
// Shared by the command-line tests and the hostile-input tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct RunOptions {
  std::vector<std::string> args;  // the program's arguments
  mode_t umask = 022;
  rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE in the child
  // Run as user and group 65534 ("nobody") when the tests run as root, so
  // that file permissions apply. The run ends with status 125 when the
  // switch is not possible.
  bool unprivileged = false;
  std::string program;               // empty: the built program
  std::string stdin_path;            // relative to the folder; empty: /dev/null
  std::string stdout_path;           // relative to the folder, opened for writing; empty: a pipe
  rlim_t address_space_limit = RLIM_INFINITY;  // RLIMIT_AS in the child
  std::vector<int> ignored_signals;  // set to SIG_IGN before the program starts
  bool traced = false;               // PTRACE_TRACEME: stops at its exec for the caller
};

inline constexpr int cannot_drop_privileges = 125;

struct RunResult {
  int status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;   // the signal that killed it
  std::string out, err;
};

// The built program. Tests start it through start_blockwright only, so that
// how it is started is decided here.
inline const char* const built_program = BW_BLOCKWRIGHT;

// Starts blockwright in folder dir; its standard output and error go to the
// two pipes whose read ends are returned. Core dumps are off.
pid_t start_blockwright(const std::string& dir, const RunOptions& options, int* out_fd, int* err_fd);
// Reads both pipes to their end and waits for the process.
RunResult finish_blockwright(pid_t pid, int out_fd, int err_fd);
RunResult run_blockwright(const std::string& dir, const RunOptions& options = {});

// The entries of a folder (without . and ..), sorted.
std::vector<std::string> list_folder(const std::string& dir);

// Where the samples start when the input is read the plain way: three stdio
// line reads of at most 79 characters (fgets into 80 bytes). Returns
// std::string::npos when the input ends within them.
std::size_t stdio_sample_start(const std::vector<std::uint8_t>& input);

bool running_as_root();

// The bytes of an earlier "testout.jpg" that a failed run must leave alone.
const std::vector<std::uint8_t>& earlier_output();

// A fixture with a fresh folder per test, removed afterwards.
class FolderTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  void write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
  // When running as root, hands the folder and everything in it to the
  // user of RunOptions::unprivileged, and returns options that run a copy
  // of the program that this user can reach, whatever the folders above
  // the build. Skips the test when there is no such place.
  RunOptions give_to_nobody();
  // Puts earlier_output() in place as "testout.jpg".
  void put_earlier_output() const;
  // Exit status 1, nothing on standard output and exactly the line
  // "blockwright: <message>\n" on standard error.
  static void expect_refusal(const RunResult& run, const std::string& message);
  // "testout.jpg" still holds earlier_output() and the folder holds only
  // the expected entries (no temporary file left behind).
  void expect_untouched(const std::vector<std::string>& entries = {"image.y", "testout.jpg"}) const;
  // Status 0, nothing printed, and "testout.jpg" holds exactly these bytes
  // beside "image.y" only.
  void expect_output(const RunResult& run, const std::vector<std::uint8_t>& jpeg) const;

  std::string dir;    // the folder the program runs in
  std::string outer;  // holds dir and the program's copy
};
