#include "output.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// --- Signals ---------------------------------------------------------------

// The temporary output file while it is being written, so that it can be
// removed on a failure or a terminating signal.
char default_temp[64];
const char* temp_name = default_temp;
volatile std::sig_atomic_t temp_exists = 0;

// The signals whose handler removes the temporary file: every catchable
// one whose default action ends the process and that the program inherited
// with that default action (one ignored by the caller, under nohup or in a
// background job, stays ignored).
sigset_t handled;

void on_fatal_signal(int sig) {
  if (temp_exists) unlink(temp_name);
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered, by its default action, when the handler returns
}

bool ends_process_by_default(int sig) {
  switch (sig) {
    case SIGKILL: case SIGSTOP:  // cannot be caught
    case SIGCHLD: case SIGCONT: case SIGTSTP: case SIGTTIN: case SIGTTOU:
    case SIGURG: case SIGWINCH:  // default: ignore or stop
    case SIGPIPE: case SIGXFSZ:  // ignored by the program itself
      return false;
    default:
      return true;
  }
}

// --- Names in /proc/self/fd ------------------------------------------------

// Rewrites path without empty and "." components, and with each ".."
// taking away the component before it (lexically, as the links in the
// chain are followed one at a time anyway).
void normalise(char* path) {
  const bool absolute = path[0] == '/';
  char* out = path + (absolute ? 1 : 0);
  std::size_t kept = 0;  // components written, not counting leading ".."s
  const char* p = out;
  char* end = out;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p != '\0' && *p != '/') ++p;
    const std::size_t len = static_cast<std::size_t>(p - start);
    if (len == 0 || (len == 1 && start[0] == '.')) continue;
    if (len == 2 && start[0] == '.' && start[1] == '.') {
      if (kept > 0) {
        while (end > out && end[-1] != '/') --end;  // drop the last component
        if (end > out) --end;                        // and its slash
        --kept;
        continue;
      }
      if (absolute) continue;  // "/.." is "/"
    } else {
      ++kept;
    }
    if (end > out) *end++ = '/';
    std::memmove(end, start, len);
    end += len;
  }
  *end = '\0';
}

// The descriptor that a normalised name in one of the folders that list a
// process's own descriptors stands for; -1 for any other name.
int descriptor_entry(const char* path) {
  char own[48];
  std::snprintf(own, sizeof own, "/proc/%ld/fd/", static_cast<long>(getpid()));
  const char* const folders[] = {"/proc/self/fd/", "/proc/thread-self/fd/", "/dev/fd/", own};
  for (const char* folder : folders) {
    const std::size_t len = std::strlen(folder);
    if (std::strncmp(path, folder, len) != 0) continue;
    const char* digits = path + len;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count > 9 || std::strspn(digits, "0123456789") != count) return -1;
    return std::atoi(digits);
  }
  return -1;
}

// --- Writing ---------------------------------------------------------------

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Creates the temporary file "<folder>/.blockwright.<pid>.<n>" with
// O_EXCL, so that nothing already there (a stale file, a symbolic link) is
// ever opened, and with mode 0666 so that the umask and any default ACL of
// the folder apply exactly as they would to the output itself. Its name is
// short and fixed, so any name the output may have leaves room for it.
// Terminating signals are held off until temp_exists tells the handler
// about the new file.
bool create_temp(Output& out) {
  const char* slash = std::strrchr(out.path, '/');
  const std::size_t folder = slash ? static_cast<std::size_t>(slash - out.path) + 1 : 0;
  char* name = default_temp;
  const std::size_t size = folder + 40;
  if (size > sizeof default_temp) {
    name = static_cast<char*>(std::malloc(size));
    if (name == nullptr) {
      errno = ENOMEM;
      return false;
    }
  }
  sigset_t old;
  sigprocmask(SIG_BLOCK, &handled, &old);
  temp_name = name;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(name, size, "%.*s.blockwright.%ld.%u", static_cast<int>(folder), out.path,
                  static_cast<long>(getpid()), attempt);
    out.fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out.fd >= 0 || errno != EEXIST) break;
  }
  if (out.fd >= 0) temp_exists = 1;
  const int saved = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return out.fd >= 0;
}

bool hold(Output& out, const std::uint8_t* data, std::size_t size) {
  if (out.held_capacity - out.held_size < size) {
    std::size_t capacity = out.held_capacity ? out.held_capacity : 65536;
    while (capacity - out.held_size < size) capacity *= 2;
    auto* grown = static_cast<std::uint8_t*>(std::realloc(out.held, capacity));
    if (grown == nullptr) {
      errno = ENOMEM;
      return false;
    }
    out.held = grown;
    out.held_capacity = capacity;
  }
  std::memcpy(out.held + out.held_size, data, size);
  out.held_size += size;
  return true;
}

// Syncing reports write-back failures (a full disk found late, I/O errors)
// that close need not, and makes the data durable before the rename makes
// it visible. fdatasync is enough: it covers the data and the size needed to
// read it back, and skips timestamps. A file system that cannot sync
// answers EINVAL.
int replace_output(Output& out) {
  if (fdatasync(out.fd) != 0 && errno != EINVAL) return errno;
  const int fd = out.fd;
  out.fd = -1;
  if (close(fd) != 0) return errno;
  // Once the rename is done the run has succeeded, and a signal arriving
  // after it must not end the process with a status that says otherwise:
  // terminating signals stay blocked from here to the exit.
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  if (rename(temp_name, out.path) != 0) {
    const int error = errno;
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
    return error;
  }
  temp_exists = 0;
  return 0;
}

}  // namespace

void install_signal_handlers() {
  // Past a file size limit, write() fails with EFBIG and is reported like a
  // full disk, instead of the process being killed with a partial file left.
  std::signal(SIGXFSZ, SIG_IGN);
  // A closed standard output or error gives EPIPE, reported, instead of a
  // silent death.
  std::signal(SIGPIPE, SIG_IGN);
  sigemptyset(&handled);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!ends_process_by_default(sig)) continue;
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    sigaddset(&handled, sig);
  }
  struct sigaction act {};
  act.sa_handler = on_fatal_signal;
  act.sa_mask = handled;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&handled, sig) == 1 && sigaction(sig, &act, nullptr) != 0) sigdelset(&handled, sig);
  }
}

int descriptor_named(const char* name) {
  char path[PATH_MAX];
  const std::size_t length = std::strlen(name);
  if (length >= sizeof path) return -1;
  std::memcpy(path, name, length + 1);
  for (int step = 0; step < 40; ++step) {  // the kernel's own limit on a chain
    normalise(path);
    const int fd = descriptor_entry(path);
    if (fd >= 0) return fd;
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return -1;
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = '\0';
    if (target[0] == '/') {
      std::memcpy(path, target, static_cast<std::size_t>(n) + 1);
      continue;
    }
    // A relative target is taken from the link's own folder.
    char* slash = std::strrchr(path, '/');
    const std::size_t folder = slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
    if (folder + static_cast<std::size_t>(n) >= sizeof path) return -1;
    std::memcpy(path + folder, target, static_cast<std::size_t>(n) + 1);
  }
  return -1;
}

int prepare_output(Output& out, const char* name) {
  if (std::strcmp(name, "-") == 0) {
    out.name = "standard output";
    out.replace = false;
    out.fd = 1;
    return 0;
  }
  out.name = name;
  out.path = name;
  const int fd = descriptor_named(name);
  if (fd >= 0) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return EBADF;
    out.path = nullptr;
    out.replace = false;
    out.fd = fd;
    return 0;
  }
  // What the name leads to, links followed: anything but a regular file or
  // a folder is written into. (A folder cannot be renamed over: that fails
  // as it should.)
  struct stat st {};
  out.replace = stat(name, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
  return 0;
}

int write_output(void* user, const std::uint8_t* data, std::size_t size) {
  auto& out = *static_cast<Output*>(user);
  const bool ok = out.replace ? (out.fd >= 0 || create_temp(out)) && write_all(out.fd, data, size)
                              : hold(out, data, size);
  if (ok) return 0;
  out.error = errno;
  return 1;
}

int complete_output(Output& out) {
  if (out.replace) return replace_output(out);
  if (out.fd < 0) {
    // A device or a FIFO, opened only now: a FIFO's reader is waited for.
    out.fd = open(out.path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (out.fd < 0) return errno;
    struct stat st {};
    if (fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode)) {
      // A regular file took the name meanwhile: replaced, as any other.
      close(out.fd);
      out.fd = -1;
      out.replace = true;
      if (!create_temp(out) || !write_all(out.fd, out.held, out.held_size)) return errno;
      return replace_output(out);
    }
    if (!write_all(out.fd, out.held, out.held_size)) return errno;
    // Some devices report a failed write-back only here.
    return close(out.fd) == 0 ? 0 : errno;
  }
  return write_all(out.fd, out.held, out.held_size) ? 0 : errno;
}

void discard_output(Output&) {
  if (temp_exists) unlink(temp_name);
  temp_exists = 0;
}
