#include "cli_harness.hpp"

#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "decode.hpp"

pid_t start_blockwright(const std::string& dir, const RunOptions& options, int* out_fd, int* err_fd) {
  // Everything the child needs, ready before the fork.
  const char* program = options.program.empty() ? built_program : options.program.c_str();
  std::vector<char*> argv{const_cast<char*>("blockwright")};
  for (const auto& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const char* stdin_path = options.stdin_path.empty() ? "/dev/null" : options.stdin_path.c_str();
  const char* stdout_path = options.stdout_path.empty() ? nullptr : options.stdout_path.c_str();
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec. SIGXFSZ keeps its
    // default action: the program itself must ignore it.
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const int sig : options.ignored_signals) signal(sig, SIG_IGN);
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(cannot_drop_privileges);
    }
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int in = open(stdin_path, O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0) _exit(126);
    if (stdout_path != nullptr) {
      const int to = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (to < 0 || dup2(to, 1) < 0) _exit(126);
    }
    umask(options.umask);
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    const rlimit no_core{0, 0};
    const rlimit space{options.address_space_limit, options.address_space_limit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0 ||
        (space.rlim_cur != RLIM_INFINITY && setrlimit(RLIMIT_AS, &space) != 0)) {
      _exit(126);
    }
    if (options.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    execv(program, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  *out_fd = out[0];
  *err_fd = err[0];
  return pid;
}

RunResult finish_blockwright(pid_t pid, int out_fd, int err_fd) {
  RunResult run;
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* text[2] = {&run.out, &run.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        text[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;  // not a child of ours (any more)
  }
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

RunResult run_blockwright(const std::string& dir, const RunOptions& options) {
  int out_fd = -1, err_fd = -1;
  const pid_t pid = start_blockwright(dir, options, &out_fd, &err_fd);
  if (pid < 0) return {};
  return finish_blockwright(pid, out_fd, err_fd);
}

std::vector<std::string> list_folder(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t stdio_sample_start(const std::vector<std::uint8_t>& input) {
  if (input.empty()) return std::string::npos;
  std::vector<std::uint8_t> copy = input;  // fmemopen wants a writable buffer
  FILE* f = fmemopen(copy.data(), copy.size(), "rb");
  if (f == nullptr) return std::string::npos;
  char line[80];
  std::size_t start = std::string::npos;
  if (std::fgets(line, sizeof line, f) && std::fgets(line, sizeof line, f) &&
      std::fgets(line, sizeof line, f)) {
    start = static_cast<std::size_t>(std::ftell(f));
  }
  std::fclose(f);
  return start;
}

bool running_as_root() { return geteuid() == 0; }

const std::vector<std::uint8_t>& earlier_output() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(5000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
  }();
  return bytes;
}

namespace {

// Whether user 65534 can reach (search) the folder.
bool nobody_can_reach(const std::string& folder) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(access(folder.c_str(), X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Where the test folders go: the usual temporary folder, or, when running
// as root and user 65534 cannot reach that, the first of the common ones
// that it can reach.
std::string folder_base() {
  const std::string usual = std::filesystem::temp_directory_path().string();
  if (!running_as_root()) return usual;
  for (const std::string& base : {usual, std::string("/tmp"), std::string("/var/tmp"), std::string("/dev/shm")}) {
    if (nobody_can_reach(base)) return base;
  }
  return "";
}

}  // namespace

void FolderTest::SetUp() {
  static const std::string base = folder_base();
  std::string pattern = (base.empty() ? std::filesystem::temp_directory_path().string() : base) +
                        "/blockwright-cli-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  outer = pattern;
  ASSERT_EQ(chmod(outer.c_str(), 0755), 0);
  dir = outer + "/work";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
}

void FolderTest::TearDown() {
  if (outer.empty()) return;
  // Tests take permissions away; give them back so that the folder goes.
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (entry.is_directory(ec) && !entry.is_symlink(ec)) chmod(entry.path().c_str(), 0700);
  }
  chmod(dir.c_str(), 0700);
  std::filesystem::remove_all(outer, ec);
}

void FolderTest::write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  write_file(path(name), bytes);
}

RunOptions FolderTest::give_to_nobody() {
  RunOptions options;
  options.unprivileged = true;
  if (!running_as_root()) return options;
  if (!nobody_can_reach(outer)) {
    [] { GTEST_SKIP() << "running as root, and user 65534 can reach no temporary folder"; }();
    return options;
  }
  EXPECT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    EXPECT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
  }
  options.program = outer + "/blockwright";
  std::filesystem::copy_file(built_program, options.program);
  EXPECT_EQ(chmod(options.program.c_str(), 0755), 0);
  return options;
}

void FolderTest::put_earlier_output() const { write("testout.jpg", earlier_output()); }

void FolderTest::expect_refusal(const RunResult& run, const std::string& message) {
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "blockwright: " + message + "\n");
}

void FolderTest::expect_untouched(const std::vector<std::string>& entries) const {
  EXPECT_EQ(list_folder(dir), entries);
  EXPECT_EQ(read_file(path("testout.jpg")), earlier_output());
}

void FolderTest::expect_output(const RunResult& run, const std::vector<std::uint8_t>& jpeg) const {
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(list_folder(dir), (std::vector<std::string>{"image.y", "testout.jpg"}));
  EXPECT_TRUE(read_file(path("testout.jpg")) == jpeg) << "testout.jpg differs from the expected encoding";
}
