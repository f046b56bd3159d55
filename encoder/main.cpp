// blockwright: encodes the 1280 x 1024 grayscale raster "image.y" in the
// current folder into the baseline JPEG file "testout.jpg" beside it.
//
// The input is three header text lines (not interpreted), then 1024 lines of
// 1280 unsigned 8-bit samples. It is read one stripe of 8 lines at a time and
// coded as it is read. The output is written to a temporary file in the same
// folder and renamed over "testout.jpg" only once it is complete and closed,
// so a failed run leaves an earlier "testout.jpg" exactly as it was.
//
// Success prints nothing and returns 0. A failure prints one line on standard
// error naming the file and the reason, removes the temporary file and
// returns 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "stream.hpp"

namespace {

constexpr const char* input_name = "image.y";
constexpr const char* output_name = "testout.jpg";

// The stripe buffer: 8 lines of 1280 samples. The header lines are read into
// it too and thrown away.
std::uint8_t img[stripe_bytes];

// The temporary output file while it is being written, so that it can be
// removed on a failure or a fatal signal.
char temp_name[] = ".testout.jpg.XXXXXX";
bool temp_exists = false;
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

// Reads up to size bytes, retrying short reads until the input ends.
// Returns the count read, or -1 with errno set.
ssize_t read_full(int fd, std::uint8_t* buf, std::size_t size) {
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
  return static_cast<ssize_t>(got);
}

// Consumes one header line the way a line read of at most 79 characters
// does: up to and including a line feed, or 79 characters, whichever comes
// first, so a longer line counts as more than one. Returns 1 for a line,
// 0 when the input ends before it, -1 on a read error.
int read_header_line(int fd) {
  int len = 0;
  while (len < 79) {
    const ssize_t n = read(fd, img + len, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    if (img[len++] == '\n') break;
  }
  return len > 0 ? 1 : 0;
}

bool file_sink(const std::uint8_t* data, std::size_t size, void*) {
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

int short_input(std::size_t samples, const char* what) {
  char reason[96];
  std::snprintf(reason, sizeof reason, "read %zu of %zu samples%s", samples, frame_samples, what);
  return fail(input_name, reason);
}

}  // namespace

int main() {
  // Past a file size limit, write() fails with EFBIG and is reported like a
  // full disk, instead of the process being killed with a partial file left.
  std::signal(SIGXFSZ, SIG_IGN);
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) std::signal(sig, on_fatal_signal);

  const int in = open(input_name, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail(input_name, std::strerror(errno));
  for (int line = 0; line < 3; ++line) {
    const int r = read_header_line(in);
    if (r < 0) return fail(input_name, std::strerror(errno));
    if (r == 0) return short_input(0, ", the input ends within its three header lines");
  }

  // The finished file gets the permissions a plain create would give it.
  const mode_t mask = umask(0);
  umask(mask);
  out_fd = ::mkstemp(temp_name);
  if (out_fd < 0) return fail(output_name, std::strerror(errno));
  temp_exists = true;
  if (fchmod(out_fd, 0666 & ~mask) != 0) return fail(output_name, std::strerror(errno));

  if (!start_stream(file_sink, nullptr)) return fail(output_name, std::strerror(write_errno));
  for (std::size_t s = 0; s < frame_samples; s += stripe_bytes) {
    const ssize_t n = read_full(in, img, stripe_bytes);
    if (n < 0) return fail(input_name, std::strerror(errno));
    if (static_cast<std::size_t>(n) < stripe_bytes) {
      return short_input(s + static_cast<std::size_t>(n), "");
    }
    if (!code_stripe(img, file_sink, nullptr)) return fail(output_name, std::strerror(write_errno));
  }
  if (!finish_stream(file_sink, nullptr)) return fail(output_name, std::strerror(write_errno));
  if (close(out_fd) != 0) return fail(output_name, std::strerror(errno));
  close(in);
  if (rename(temp_name, output_name) != 0) return fail(output_name, std::strerror(errno));
  return 0;
}
