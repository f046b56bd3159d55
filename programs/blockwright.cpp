// blockwright: encodes the 1280 x 1024 grayscale raster "image.y" in the
// current folder into the baseline JPEG file "testout.jpg" beside it.
//
// The input is three header text lines (not interpreted), then 1024 lines of
// 1280 unsigned 8-bit samples; encode_input (input.cpp) reads it one stripe
// of 8 lines at a time and codes it as it is read. The output goes to a
// temporary file in the same folder, created with the mode a plain create
// would give "testout.jpg", and is renamed over "testout.jpg" only once it is
// complete, synced and closed, so a failed run leaves an earlier
// "testout.jpg" exactly as it was and no partial file behind.
//
// Success prints nothing and returns 0. A failure prints one line on standard
// error naming the file and the reason, removes the temporary file and
// returns 1. docs/failures.md lists the cases.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "image_input.hpp"

namespace {

constexpr const char* input_name = "image.y";
constexpr const char* output_name = "testout.jpg";

// The temporary output file while it is being written, so that it can be
// removed on a failure or a fatal signal.
char temp_name[64];
volatile std::sig_atomic_t temp_exists = 0;
int out_fd = -1;
int write_errno = 0;

int fail(const char* file, const char* reason) {
  std::fprintf(stderr, "blockwright: %s: %s\n", file, reason);
  if (temp_exists) unlink(temp_name);
  return 1;
}

void on_fatal_signal(int sig) {
  if (temp_exists) unlink(temp_name);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

const int fatal_signals[] = {SIGHUP, SIGINT, SIGTERM};

// Creates the temporary file ".testout.jpg.<pid>.<n>" with O_EXCL, so that
// nothing already there (a stale file, a symbolic link) is ever opened, and
// with mode 0666 so that the umask and any default ACL of the folder apply
// exactly as they would to "testout.jpg" itself. Fatal signals are held off
// until temp_exists tells the handler about the new file.
bool create_temp() {
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : fatal_signals) sigaddset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, &old);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(temp_name, sizeof temp_name, ".%s.%ld.%u", output_name,
                  static_cast<long>(getpid()), attempt);
    out_fd = open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out_fd >= 0 || errno != EEXIST) break;
  }
  if (out_fd >= 0) temp_exists = 1;
  const int saved = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return out_fd >= 0;
}

long file_source(std::uint8_t* buf, std::size_t size, void* ctx) {
  const int fd = *static_cast<int*>(ctx);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buf + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

// Writes to the temporary file, creating it with the first bytes: a refused
// input found before any output leaves nothing to clean up.
bool file_sink(const std::uint8_t* data, std::size_t size, void*) {
  if (out_fd < 0 && !create_temp()) {
    write_errno = errno;
    return false;
  }
  while (size > 0) {
    const ssize_t n = write(out_fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      write_errno = errno;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  // Past a file size limit, write() fails with EFBIG and is reported like a
  // full disk, instead of the process being killed with a partial file left.
  std::signal(SIGXFSZ, SIG_IGN);
  // A closed standard error must not kill the process while it reports.
  std::signal(SIGPIPE, SIG_IGN);
  for (int sig : fatal_signals) std::signal(sig, on_fatal_signal);

  int in = open(input_name, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail(input_name, std::strerror(errno));

  std::size_t samples = 0;
  const InputResult result = encode_input(file_source, &in, file_sink, nullptr, &samples);
  switch (result) {
    case InputResult::encoded:
      break;
    case InputResult::read_error:
      return fail(input_name, std::strerror(errno));
    case InputResult::write_error:
      return fail(output_name, std::strerror(write_errno));
    case InputResult::short_header:
    case InputResult::short_samples: {
      char reason[96];
      describe_short_input(result, samples, reason, sizeof reason);
      return fail(input_name, reason);
    }
  }
  close(in);

  // Syncing reports write-back failures (a full disk found late, I/O errors)
  // that close need not, and makes the data durable before the rename makes
  // it visible. fdatasync is enough: it covers the data and the size needed
  // to read it back, and skips timestamps. A file system that cannot sync
  // answers EINVAL.
  if (fdatasync(out_fd) != 0 && errno != EINVAL) return fail(output_name, std::strerror(errno));
  if (close(out_fd) != 0) return fail(output_name, std::strerror(errno));
  if (rename(temp_name, output_name) != 0) return fail(output_name, std::strerror(errno));
  temp_exists = 0;
  return 0;
}
