// The blockwright program and signals: every terminating signal mid-run
// removes the temporary file; signals the caller ignores stay ignored; and a
// signal just after the rename cannot give a status that contradicts the
// finished file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli_harness.hpp"
#include "decode.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& input() {
  static const Bytes bytes = [] {
    const std::string header = "P5\n1280 1024\n255\n";
    Bytes b(header.begin(), header.end());
    for (std::size_t i = 0; i < 1280 * 1024; ++i) b.push_back(static_cast<std::uint8_t>(i * 13 / 7));
    return b;
  }();
  return bytes;
}

class Signals : public FolderTest {
 protected:
  // Starts the program on a FIFO named image.y and feeds it stripe by
  // stripe until the temporary file appears: a third entry beside image.y
  // and testout.jpg. Returns the FIFO's write end; *fed gets the bytes fed.
  int start_midway(const RunOptions& options, pid_t* pid, int* out, int* err, std::size_t* fed) {
    signal(SIGPIPE, SIG_IGN);  // the program may be gone before the input ends
    put_earlier_output();
    EXPECT_EQ(mkfifo(path("image.y").c_str(), 0644), 0);
    *pid = start_blockwright(dir, options, out, err);
    EXPECT_GT(*pid, 0);
    const int fd = open(path("image.y").c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    *fed = 0;
    while (list_folder(dir).size() < 3) {
      if (*fed + 20000 > input().size()) {
        ADD_FAILURE() << "no temporary file before the end of the input";
        break;
      }
      EXPECT_EQ(::write(fd, input().data() + *fed, 10240), 10240);
      *fed += 10240;
      for (int i = 0; i < 100 && list_folder(dir).size() < 3; ++i) usleep(200);
    }
    return fd;
  }
};

class Terminating : public Signals, public testing::WithParamInterface<int> {};

TEST_P(Terminating, RemovesTheTemporaryFile) {
  pid_t pid = 0;
  int out = -1, err = -1;
  std::size_t fed = 0;
  const int fd = start_midway({}, &pid, &out, &err, &fed);
  kill(pid, GetParam());
  const RunResult run = finish_blockwright(pid, out, err);
  close(fd);
  EXPECT_EQ(run.signal, GetParam());
  expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(Cli, Terminating,
                         testing::Values(SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGABRT, SIGALRM, SIGUSR1,
                                         SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGTRAP, SIGSYS,
                                         SIGRTMIN + 1),
                         [](const auto& p) {
                           const char* name = sigabbrev_np(p.param);
                           return name ? std::string(name) : "signal_" + std::to_string(p.param);
                         });

TEST_F(Signals, IgnoredSignalsStayIgnored) {
  // As under nohup, or in a background job of a script.
  RunOptions options;
  options.ignored_signals = {SIGHUP, SIGINT};
  pid_t pid = 0;
  int out = -1, err = -1;
  std::size_t fed = 0;
  const int fd = start_midway(options, &pid, &out, &err, &fed);
  kill(pid, SIGHUP);
  kill(pid, SIGINT);
  const Bytes& all = input();
  for (std::size_t pos = fed; pos < all.size();) {
    const ssize_t n = ::write(fd, all.data() + pos, all.size() - pos);
    if (n <= 0) break;  // the program is gone
    pos += static_cast<std::size_t>(n);
  }
  close(fd);
  const RunResult run = finish_blockwright(pid, out, err);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(path("testout.jpg")), encode_in_memory(all.data() + 17));
}

bool is_rename(std::uint64_t nr) {
#ifdef SYS_rename
  if (nr == SYS_rename) return true;
#endif
#ifdef SYS_renameat
  if (nr == SYS_renameat) return true;
#endif
#ifdef SYS_renameat2
  if (nr == SYS_renameat2) return true;
#endif
  return false;
}

// Waits for the traced program's next stop; false, leaving it to be
// reaped, when it has ended instead.
bool next_stop(pid_t pid, int* status) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WSTOPPED | WNOWAIT) != 0) return false;
  if (info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return false;
  return waitpid(pid, status, 0) == pid && WIFSTOPPED(*status);
}

// Runs the traced program to the return from its rename, sends it SIGTERM
// there and lets it go. Returns false when it cannot be traced that far (an
// emulator's own system calls, for one).
bool signal_after_rename(pid_t pid) {
  int status = 0;
  if (!next_stop(pid, &status)) return false;  // at its exec
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) return false;
  bool in_rename = false;
  int pass = 0;  // a signal to hand on
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, pass) != 0) return false;
    pass = 0;
    if (!next_stop(pid, &status)) return false;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      pass = WSTOPSIG(status);
      continue;
    }
    __ptrace_syscall_info info{};
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return false;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      in_rename = is_rename(info.entry.nr);
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && in_rename) {
      kill(pid, SIGTERM);
      return ptrace(PTRACE_DETACH, pid, nullptr, 0) == 0;
    }
  }
}

TEST_F(Signals, SignalAfterTheRenameGivesSuccess) {
  ASSERT_NO_FATAL_FAILURE(write("image.y", input()));
  put_earlier_output();
  RunOptions options;
  options.traced = true;
  int out = -1, err = -1;
  const pid_t pid = start_blockwright(dir, options, &out, &err);
  ASSERT_GT(pid, 0);
  const bool traced = signal_after_rename(pid);
  if (!traced) kill(pid, SIGKILL);  // it may be stopped under the trace
  const RunResult run = finish_blockwright(pid, out, err);
  if (!traced) GTEST_SKIP() << "cannot trace the program to its rename";
  // The file is the new one, so the status must say success.
  EXPECT_EQ(read_file(path("testout.jpg")), encode_in_memory(input().data() + 17));
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"image.y", "testout.jpg"}));
}

}  // namespace
