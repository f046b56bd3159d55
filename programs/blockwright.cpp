// blockwright: encodes grayscale and colour pictures into baseline JPEG files.
//
// Without arguments it encodes the 1280 x 1024 raster "image.y" in the
// current folder into "testout.jpg" beside it: three header lines, then 1024
// lines of 1280 samples, read and coded one stripe of 8 lines at a time.
// With arguments, `blockwright [OPTIONS] [INPUT]` reads a binary PGM or PPM
// of any size (or raw pixels with --size and --format) and takes the
// quality, the restart interval, the sampling, metadata, the output name and
// the thread count from the options; see usage_text.
//
// A file is written to a temporary file in the output's folder, created
// with the mode a plain create would give the output, and is renamed over
// the output only once it is complete, synced and closed, so a failed run
// leaves an earlier file exactly as it was and no partial file behind.
// Standard output gets the stream only once the whole input has been read
// and coded.
//
// Success prints nothing and returns 0. A failure prints one line on standard
// error naming the file and the reason, removes the temporary file and
// returns 1; a usage error returns 2. docs/failures.md lists the cases.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blockwright.h"
#include "image_input.hpp"

namespace {

const char* const usage_text =
    "Usage: blockwright [OPTIONS] [INPUT]\n"
    "Encodes a grayscale or colour picture into a baseline JPEG file.\n"
    "\n"
    "INPUT is a binary PGM (P5, grayscale) or PPM (P6, colour) file, maxval 255,\n"
    "of any size; - reads standard input. Without INPUT, the 1280 x 1024 raster\n"
    "image.y in the current folder is read (three header lines, then the samples).\n"
    "\n"
    "  -o, --output FILE  write FILE (default testout.jpg); - writes standard output\n"
    "  -q, --quality N    quality 1 to 100 (default %u)\n"
    "      --restart N    a restart marker every N MCUs, 0 to 65535 (default 0: none)\n"
    "      --sampling S   chroma sampling of a colour input: 444, 422 or 420 (default\n"
    "                     420; a raw YUV input's own)\n"
    "      --gray         encode a colour input as grayscale (its Y alone)\n"
    "      --size WxH     INPUT is raw pixels, W x H, without a header\n"
    "      --format F     what a --size INPUT holds: gray (default), rgb, bgr, rgbx,\n"
    "                     bgrx, yuyv, uyvy (lines of pixels), or i420, i422, i444,\n"
    "                     nv12 (the Y plane, then Cb and Cr, or NV12's Cb Cr pairs)\n"
    "      --comment TEXT add a comment (COM) segment holding TEXT\n"
    "      --exif FILE    add an APP1 segment holding FILE (its EXIF payload, which\n"
    "                     starts with Exif and two zero bytes; at most 65533 bytes)\n"
    "      --threads N    encode with N threads (default 1)\n"
    "  -h, --help         print this help and exit\n"
    "      --version      print the version and exit\n"
    "\n"
    "Success prints nothing and exits 0; a failure prints one line and exits 1,\n"
    "leaving an earlier output file as it was; a usage error exits 2.\n";

constexpr const char* default_input = "image.y";
constexpr const char* default_output = "testout.jpg";

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

// --- Output ----------------------------------------------------------------

struct Output {
  const char* name = nullptr;  // as given, for messages
  bool to_stdout = false;
  int fd = -1;
  int error = 0;         // errno of the first failed write
  // Standard output: the stream, held until it is complete.
  std::uint8_t* held = nullptr;
  std::size_t held_size = 0, held_capacity = 0;
};

// The output of this run: static, so that what it holds lives until the exit.
Output output;

// Creates the temporary file "<folder>/.<name>.<pid>.<n>" with O_EXCL, so
// that nothing already there (a stale file, a symbolic link) is ever opened,
// and with mode 0666 so that the umask and any default ACL of the folder
// apply exactly as they would to the output itself. Terminating signals are
// held off until temp_exists tells the handler about the new file.
bool create_temp(Output& out) {
  const char* slash = std::strrchr(out.name, '/');
  const std::size_t folder = slash ? static_cast<std::size_t>(slash - out.name) + 1 : 0;
  char* name = default_temp;
  const std::size_t size = std::strlen(out.name) + 32;
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
    std::snprintf(name, size, "%.*s.%s.%ld.%u", static_cast<int>(folder), out.name,
                  out.name + folder, static_cast<long>(getpid()), attempt);
    out.fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out.fd >= 0 || errno != EEXIST) break;
  }
  if (out.fd >= 0) temp_exists = 1;
  const int saved = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return out.fd >= 0;
}

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

// The write callback. A file is created with the first bytes, so that an
// input refused before any output leaves nothing to clean up.
int write_output(void* user, const std::uint8_t* data, std::size_t size) {
  auto& out = *static_cast<Output*>(user);
  if (out.to_stdout) {
    if (out.held_capacity - out.held_size < size) {
      std::size_t capacity = out.held_capacity ? out.held_capacity : 65536;
      while (capacity - out.held_size < size) capacity *= 2;
      auto* grown = static_cast<std::uint8_t*>(std::realloc(out.held, capacity));
      if (grown == nullptr) {
        out.error = ENOMEM;
        return 1;
      }
      out.held = grown;
      out.held_capacity = capacity;
    }
    std::memcpy(out.held + out.held_size, data, size);
    out.held_size += size;
    return 0;
  }
  if ((out.fd < 0 && !create_temp(out)) || !write_all(out.fd, data, size)) {
    out.error = errno;
    return 1;
  }
  return 0;
}

// --- Input -----------------------------------------------------------------

long read_fd_all(int fd, std::uint8_t* buf, std::size_t size) {
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

long read_fd(std::uint8_t* buf, std::size_t size, void* ctx) {
  return read_fd_all(*static_cast<int*>(ctx), buf, size);
}

// A stripe for a frame wider than the default, kept here until the exit.
std::uint8_t* wide_stripe = nullptr;

std::uint8_t* allocate_stripe(std::size_t size) {
  wide_stripe = static_cast<std::uint8_t*>(std::malloc(size));
  return wide_stripe;
}

// The whole frame, read before coding when several threads share it.
std::uint8_t* whole_frame = nullptr;

std::uint8_t* allocate_frame(std::size_t size) {
  whole_frame = static_cast<std::uint8_t*>(std::malloc(size));
  return whole_frame;
}

// The stripe buffer of the default frame, and its encoder.
std::uint8_t stripe[stripe_bytes];
bw_encoder encoder;

// --- The command line ------------------------------------------------------

// Metadata options, in the order given.
constexpr int max_segments = 32;

struct Options {
  const char* input = nullptr;  // nullptr: image.y
  const char* output = default_output;
  bool raw = false;             // --size given
  bool format_given = false;    // --format given
  bool sampling_given = false;  // --sampling given
  bw_config config{};
  const char* setting_text[5] = {};  // the option that set quality, restart, threads, size, sampling
  bw_segment segments[max_segments] = {};
  const char* exif_file[max_segments] = {};  // --exif FILE of each segment, else null
};

// The kinds --format names, in the order of BW_INPUT_*.
const char* const format_names[] = {"gray", "rgb",  "bgr",  "rgbx", "bgrx", "yuyv",
                                    "uyvy", "i444", "i422", "i420", "nv12"};

bool parse_format(const char* text, std::uint32_t* input) {
  for (std::uint32_t k = 0; k < sizeof format_names / sizeof *format_names; ++k) {
    if (std::strcmp(text, format_names[k]) == 0) {
      *input = k;
      return true;
    }
  }
  return false;
}

// A raw YUV input's own sampling, the default for it.
std::uint32_t own_sampling(std::uint32_t input) {
  switch (input) {
    case BW_INPUT_I444: return BW_SAMPLING_444;
    case BW_INPUT_I422:
    case BW_INPUT_YUYV:
    case BW_INPUT_UYVY: return BW_SAMPLING_422;
    default: return BW_SAMPLING_420;
  }
}

// Reads an --exif FILE into memory (kept to the exit): nullptr and a
// message printed when it cannot be read or is no EXIF payload.
const std::uint8_t* read_exif(const char* name, std::uint32_t* size) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "blockwright: %s: %s\n", name, std::strerror(errno));
    return nullptr;
  }
  auto* buf = static_cast<std::uint8_t*>(std::malloc(65534));
  const int saved_fd = fd;
  long got = buf != nullptr ? read_fd_all(saved_fd, buf, 65534) : -1;
  const int saved = errno;
  close(fd);
  const char* reason = nullptr;
  if (got < 0) {
    reason = std::strerror(buf == nullptr ? ENOMEM : saved);
  } else if (got > 65533) {
    reason = "over 65533 bytes; an APP1 segment holds no more";
  } else if (got < 6 || std::memcmp(buf, "Exif\0\0", 6) != 0) {
    reason = "not an EXIF payload: it must start with Exif and two zero bytes";
  }
  if (reason != nullptr) {
    std::fprintf(stderr, "blockwright: %s: %s\n", name, reason);
    return nullptr;
  }
  *size = static_cast<std::uint32_t>(got);
  return buf;
}

int usage_error(const char* fmt, const char* arg) {
  std::fputs("blockwright: ", stderr);
  std::fprintf(stderr, fmt, arg);
  std::fputs("; try 'blockwright --help'\n", stderr);
  return 2;
}

// A decimal number of up to 9 digits, nothing else; larger ones read as
// 999999999, which every setting refuses.
bool parse_number(const char* text, std::uint32_t* value) {
  if (*text == '\0') return false;
  std::uint32_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(*p - '0');
    if (v > 999999999) v = 999999999;
  }
  *value = v;
  return true;
}

bool parse_size(const char* text, std::uint32_t* w, std::uint32_t* h) {
  const char* x = std::strchr(text, 'x');
  if (x == nullptr || x - text > 15) return false;
  char width[16];
  std::memcpy(width, text, static_cast<std::size_t>(x - text));
  width[x - text] = '\0';
  return parse_number(width, w) && parse_number(x + 1, h);
}

enum class Parsed { run, exit_ok, usage };

// Reads the arguments; on usage, the error is printed already.
Parsed parse_arguments(int argc, char** argv, Options& opt) {
  bw_default_config(&opt.config);
  bool only_inputs = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (only_inputs || arg[0] != '-' || arg[1] == '\0') {
      if (opt.input != nullptr) {
        usage_error("a second INPUT '%s'; one picture at a time", arg);
        return Parsed::usage;
      }
      opt.input = arg;
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      only_inputs = true;
      continue;
    }
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      std::printf(usage_text, static_cast<unsigned>(opt.config.quality));
      return Parsed::exit_ok;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("blockwright %s\n", bw_version());
      return Parsed::exit_ok;
    }
    if (std::strcmp(arg, "--gray") == 0) {
      opt.config.grayscale = 1;
      continue;
    }
    // Options with a value: "-q 85", "-q85", "--quality 85", "--quality=85".
    static const struct {
      const char* shortname;
      const char* longname;
    } valued[] = {{"-o", "--output"},    {"-q", "--quality"},    {nullptr, "--restart"},
                  {nullptr, "--size"},    {nullptr, "--threads"}, {nullptr, "--sampling"},
                  {nullptr, "--format"},  {nullptr, "--comment"}, {nullptr, "--exif"}};
    int which = -1;
    const char* value = nullptr;
    for (int k = 0; k < 9 && which < 0; ++k) {
      const std::size_t len = std::strlen(valued[k].longname);
      if (valued[k].shortname && std::strncmp(arg, valued[k].shortname, 2) == 0) {
        which = k;
        value = arg[2] != '\0' ? arg + 2 : nullptr;
      } else if (std::strncmp(arg, valued[k].longname, len) == 0 && (arg[len] == '\0' || arg[len] == '=')) {
        which = k;
        value = arg[len] == '=' ? arg + len + 1 : nullptr;
      }
    }
    if (which < 0) {
      usage_error("unknown option '%s'", arg);
      return Parsed::usage;
    }
    if (value == nullptr) {
      if (i + 1 == argc) {
        usage_error("option '%s' needs a value", arg);
        return Parsed::usage;
      }
      value = argv[++i];
    }
    bool ok = true;
    switch (which) {
      case 0:
        if (*value == '\0') ok = false;
        opt.output = value;
        break;
      case 1: ok = parse_number(value, &opt.config.quality); opt.setting_text[0] = value; break;
      case 2: ok = parse_number(value, &opt.config.restart_interval); opt.setting_text[1] = value; break;
      case 3:
        ok = parse_size(value, &opt.config.width, &opt.config.height);
        opt.raw = true;
        opt.setting_text[3] = value;
        break;
      case 4: ok = parse_number(value, &opt.config.threads); opt.setting_text[2] = value; break;
      case 5:
        ok = std::strcmp(value, "444") == 0 || std::strcmp(value, "422") == 0 ||
             std::strcmp(value, "420") == 0;
        if (ok) opt.config.sampling = static_cast<std::uint32_t>(std::atoi(value));
        opt.sampling_given = true;
        opt.setting_text[4] = value;
        break;
      case 6:
        ok = parse_format(value, &opt.config.input);
        opt.format_given = true;
        break;
      case 7:
      case 8: {
        const std::uint32_t n = opt.config.segment_count;
        if (n == max_segments) {
          usage_error("more than %s --comment and --exif options", "32");
          return Parsed::usage;
        }
        if (which == 7) {
          const std::size_t len = std::strlen(value);
          ok = len <= 65533;
          opt.segments[n] = {BW_COM, static_cast<std::uint32_t>(len), value};
        } else {
          opt.segments[n] = {BW_APP(1), 0, nullptr};
          opt.exif_file[n] = value;
        }
        opt.config.segment_count = n + 1;
        break;
      }
      default: break;
    }
    if (!ok) {
      std::fprintf(stderr, "blockwright: %s: bad value '%s'; try 'blockwright --help'\n",
                   valued[which].longname, value);
      return Parsed::usage;
    }
  }
  if (opt.raw && opt.input == nullptr) {
    usage_error("%s needs an INPUT; image.y is always 1280 x 1024 with its header lines", "--size");
    return Parsed::usage;
  }
  if (opt.format_given && !opt.raw) {
    usage_error("%s needs --size: PGM and PPM files say what they hold", "--format");
    return Parsed::usage;
  }
  if (opt.sampling_given && (opt.input == nullptr || (opt.raw && opt.config.input == BW_INPUT_GRAY))) {
    usage_error("%s is for colour inputs; this one is grayscale", "--sampling");
    return Parsed::usage;
  }
  if (opt.raw && !opt.sampling_given) opt.config.sampling = own_sampling(opt.config.input);
  if (opt.config.segment_count != 0) opt.config.segments = opt.segments;
  return Parsed::run;
}

const char* display_name(const char* name, const char* std_name) {
  return std::strcmp(name, "-") == 0 ? std_name : name;
}

int ignore_bytes(void*, const std::uint8_t*, std::size_t) { return 1; }

// Checks the settings before anything is opened: the library's verdict,
// with the option at fault.
bool settings_refused(const Options& opt) {
  bw_config trial = opt.config;
  const int status = bw_encoder_init(&encoder, &trial, ignore_bytes, nullptr);
  // (Metadata goes to the callback at once, which refuses it: the settings
  // passed.)
  if (status == BW_OK || status == BW_E_CALLBACK) return false;
  const char* option = "";
  const char* value = "";
  switch (status) {
    case BW_E_QUALITY: option = "--quality"; value = opt.setting_text[0]; break;
    case BW_E_RESTART: option = "--restart"; value = opt.setting_text[1]; break;
    case BW_E_THREADS: option = "--threads"; value = opt.setting_text[2]; break;
    case BW_E_SIZE: option = "--size"; value = opt.setting_text[3]; break;
    case BW_E_SAMPLING:
      option = "--sampling";
      value = opt.setting_text[4] ? opt.setting_text[4] : format_names[opt.config.input];
      break;
    default: break;
  }
  std::fprintf(stderr, "blockwright: %s %s: %s\n", option, value ? value : "", bw_strerror(status));
  return true;
}

int fail(const char* file, const char* reason) {
  std::fprintf(stderr, "blockwright: %s: %s\n", file, reason);
  if (temp_exists) unlink(temp_name);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  switch (parse_arguments(argc, argv, opt)) {
    case Parsed::run: break;
    case Parsed::exit_ok: return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case Parsed::usage: return 2;
  }
  install_signal_handlers();
  for (std::uint32_t i = 0; i < opt.config.segment_count; ++i) {
    if (opt.exif_file[i] == nullptr) continue;
    opt.segments[i].data = read_exif(opt.exif_file[i], &opt.segments[i].size);
    if (opt.segments[i].data == nullptr) return 1;
  }
  if (settings_refused(opt)) return 1;

  const char* input_name = opt.input ? display_name(opt.input, "standard input") : default_input;
  Output& out = output;
  out.to_stdout = std::strcmp(opt.output, "-") == 0;
  out.name = out.to_stdout ? "standard output" : opt.output;

  int in = 0;
  if (opt.input == nullptr || std::strcmp(opt.input, "-") != 0) {
    in = open(opt.input ? opt.input : default_input, O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail(input_name, std::strerror(errno));
  }

  EncodeJob job{opt.config, &encoder, write_output, &out, stripe, sizeof stripe, allocate_frame,
                opt.sampling_given};
  InputOutcome result;
  if (opt.input == nullptr) {
    result = encode_image_y(job, read_fd, &in);
  } else if (opt.raw) {
    result = encode_raw(job, read_fd, &in, allocate_stripe);
  } else {
    result = encode_pgm(job, read_fd, &in, allocate_stripe);
  }
  switch (result.result) {
    case InputResult::encoded: break;
    case InputResult::read_error: return fail(input_name, std::strerror(errno));
    case InputResult::write_error: return fail(out.name, std::strerror(out.error));
    case InputResult::refused: return fail(input_name, result.reason);
  }
  if (in != 0) close(in);

  if (out.to_stdout) {
    if (!write_all(1, out.held, out.held_size)) return fail(out.name, std::strerror(errno));
    return 0;
  }
  // Syncing reports write-back failures (a full disk found late, I/O errors)
  // that close need not, and makes the data durable before the rename makes
  // it visible. fdatasync is enough: it covers the data and the size needed
  // to read it back, and skips timestamps. A file system that cannot sync
  // answers EINVAL.
  if (fdatasync(out.fd) != 0 && errno != EINVAL) return fail(out.name, std::strerror(errno));
  if (close(out.fd) != 0) return fail(out.name, std::strerror(errno));
  // Once the rename is done the run has succeeded, and a signal arriving
  // after it must not end the process with a status that says otherwise:
  // terminating signals stay blocked from here to the exit.
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  if (rename(temp_name, opt.output) != 0) return fail(out.name, std::strerror(errno));
  temp_exists = 0;
  return 0;
}
