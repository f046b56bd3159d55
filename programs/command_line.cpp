#include "command_line.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

enum class Kind {
  stop,     // prints something and ends the run: --help, --version
  flag,     // takes no value
  number,   // a decimal number from min to max
  size,     // WxH, each a decimal number from min to max
  word,     // one of the words listed
  text,     // any text of min to max bytes (a file name)
  segment,  // a metadata segment, added to the list each time the option is given
};

struct Word {
  const char* word;
  std::uint32_t value;
};

// One option. Only the fields its kind uses are given. (Laid out for
// reading the rows, not for size: the table is a few hundred bytes.)
struct Option {  // NOLINT(clang-analyzer-optin.performance.Padding)
  char short_name;         // 'q' for -q; '\0': none
  const char* long_name;   // "quality" for --quality
  Kind kind;
  const char* value_name;  // in --help: "N", "WxH", "FILE"
  const char* help;        // in --help (a line feed continues it under itself);
                           // numbers add " (default N)"
  bool Settings::*given = nullptr;            // set when the option is given
  std::uint32_t Settings::*number = nullptr;  // number, word; size: the width
  std::uint32_t Settings::*second = nullptr;  // size: the height
  const char* Settings::*text = nullptr;      // text
  std::uint32_t min = 0, max = 0;             // number, size: the range; text, segment: its bytes
  const Word* words = nullptr;                // word: the choices, ended by {nullptr, 0}
  std::uint32_t marker = 0;                   // segment: its marker
  bool from_file = false;                     // segment: the value names a file that holds it
  // A value out of range (or, for the library's settings, refused by it) is
  // refused with this library status's text ...
  int status = 0;
  // ... or with this one.
  const char* message = nullptr;
};

constexpr Word samplings[] = {{"444", BW_SAMPLING_444}, {"422", BW_SAMPLING_422}, {"420", BW_SAMPLING_420},
                              {nullptr, 0}};

constexpr Word formats[] = {{"gray", BW_INPUT_GRAY}, {"rgb", BW_INPUT_RGB},   {"bgr", BW_INPUT_BGR},
                            {"rgbx", BW_INPUT_RGBX}, {"bgrx", BW_INPUT_BGRX}, {"yuyv", BW_INPUT_YUYV},
                            {"uyvy", BW_INPUT_UYVY}, {"i444", BW_INPUT_I444}, {"i422", BW_INPUT_I422},
                            {"i420", BW_INPUT_I420}, {"nv12", BW_INPUT_NV12}, {nullptr, 0}};

// The options, in the order --help lists them.
constexpr Option options[] = {
    {.short_name = 'o', .long_name = "output", .kind = Kind::text, .value_name = "FILE",
     .help = "write FILE (default testout.jpg); - writes standard output",
     .text = &Settings::output, .min = 1, .max = UINT32_MAX},
    {.short_name = 'q', .long_name = "quality", .kind = Kind::number, .value_name = "N",
     .help = "quality 1 to 100", .number = &Settings::quality, .min = 1, .max = 100,
     .status = BW_E_QUALITY},
    {.short_name = '\0', .long_name = "restart", .kind = Kind::number, .value_name = "N",
     .help = "a marker every N MCUs, 0 (none) to 65535", .number = &Settings::restart,
     .min = 0, .max = 65535, .status = BW_E_RESTART},
    {.short_name = '\0', .long_name = "sampling", .kind = Kind::word, .value_name = "S",
     .help = "chroma sampling of a colour input: 444, 422 or 420\n(default 420; a raw YUV input's own)",
     .given = &Settings::sampling_given, .number = &Settings::sampling, .words = samplings,
     .status = BW_E_SAMPLING},
    {.short_name = '\0', .long_name = "gray", .kind = Kind::flag, .value_name = nullptr,
     .help = "encode a colour input as grayscale (its Y alone)", .given = &Settings::gray},
    {.short_name = '\0', .long_name = "size", .kind = Kind::size, .value_name = "WxH",
     .help = "INPUT is raw pixels, W x H, without a header", .given = &Settings::raw,
     .number = &Settings::width, .second = &Settings::height, .min = 1, .max = 65535,
     .status = BW_E_SIZE},
    {.short_name = '\0', .long_name = "format", .kind = Kind::word, .value_name = "F",
     .help = "what a --size INPUT holds: gray, rgb, bgr, rgbx, bgrx,\n"
             "yuyv, uyvy (lines of pixels), or i420, i422, i444, nv12\n"
             "(the Y plane, then Cb and Cr, or NV12's Cb Cr pairs);\n"
             "default gray",
     .given = &Settings::format_given, .number = &Settings::format, .words = formats},
    {.short_name = '\0', .long_name = "comment", .kind = Kind::segment, .value_name = "TEXT",
     .help = "add a comment (COM) segment holding TEXT", .min = 0, .max = 65533, .marker = BW_COM,
     .message = "a comment (COM) segment holds at most 65533 bytes"},
    {.short_name = '\0', .long_name = "exif", .kind = Kind::segment, .value_name = "FILE",
     .help = "add an APP1 segment holding FILE (its EXIF payload, which\n"
             "starts with Exif and two zero bytes; at most 65533 bytes)",
     .min = 1, .max = UINT32_MAX, .marker = BW_APP(1), .from_file = true},
    {.short_name = '\0', .long_name = "threads", .kind = Kind::number, .value_name = "N",
     .help = "encode with N threads, 1 to 64", .number = &Settings::threads, .min = 1,
     .max = BW_MAX_THREADS, .status = BW_E_THREADS},
    {.short_name = 'h', .long_name = "help", .kind = Kind::stop, .value_name = nullptr,
     .help = "print this help and exit", .given = &Settings::help},
    {.short_name = '\0', .long_name = "version", .kind = Kind::stop, .value_name = nullptr,
     .help = "print the version and exit", .given = &Settings::version},
};

constexpr std::size_t option_count = sizeof options / sizeof *options;
static_assert(option_count <= sizeof Settings{}.given / sizeof *Settings{}.given);
static_assert(BW_MAX_THREADS == 64, "--threads' help states the limit");

const char* const usage_head =
    "Usage: blockwright [OPTIONS] [INPUT]\n"
    "Encodes a grayscale or colour picture into a baseline JPEG file.\n"
    "\n"
    "INPUT is a binary PGM (P5, grayscale) or PPM (P6, colour) file, maxval 255,\n"
    "of any size; - reads standard input. Without INPUT, the 1280 x 1024 raster\n"
    "image.y in the current folder is read (three header lines, then the samples).\n"
    "\n";

const char* const usage_tail =
    "\n"
    "Success prints nothing and exits 0; a failure prints one line and exits 1,\n"
    "leaving an earlier output file as it was; a usage error exits 2.\n";

bool takes_value(const Option& o) { return o.kind != Kind::stop && o.kind != Kind::flag; }

void print_usage(const Settings& defaults) {
  std::fputs(usage_head, stdout);
  for (const Option& o : options) {
    int width = o.short_name ? std::printf("  -%c, ", o.short_name) : std::printf("      ");
    width += std::printf("--%s", o.long_name);
    if (takes_value(o)) width += std::printf(" %s", o.value_name);
    std::printf("%*s", width < 21 ? 21 - width : 1, "");
    for (const char* c = o.help; *c != '\0'; ++c) {
      if (*c == '\n') {
        std::printf("\n%21s", "");
      } else {
        std::putchar(*c);
      }
    }
    if (o.kind == Kind::number) std::printf(" (default %u)", static_cast<unsigned>(defaults.*o.number));
    std::putchar('\n');
  }
  std::fputs(usage_tail, stdout);
}

int usage_error(const char* fmt, const char* arg) {
  std::fputs("blockwright: ", stderr);
  std::fprintf(stderr, fmt, arg);
  std::fputs("; try 'blockwright --help'\n", stderr);
  return 2;
}

// A decimal number, nothing else, of any length; those past 2^32 - 1 read as
// 2^32, past every range.
bool parse_number(const char* text, const char* end, std::uint64_t* value) {
  if (text == end) return false;
  std::uint64_t v = 0;
  for (const char* p = text; p != end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(*p - '0');
    if (v > UINT32_MAX) v = std::uint64_t{UINT32_MAX} + 1;
  }
  *value = v;
  return true;
}

enum class Taken { ok, bad, out_of_range };

// Stores the value of option o into settings.
Taken take_value(const Option& o, const char* value, Settings& s) {
  const char* end = value + std::strlen(value);
  switch (o.kind) {
    case Kind::number: {
      std::uint64_t v = 0;
      if (!parse_number(value, end, &v)) return Taken::bad;
      if (v < o.min || v > o.max) return Taken::out_of_range;
      s.*o.number = static_cast<std::uint32_t>(v);
      return Taken::ok;
    }
    case Kind::size: {
      const char* x = std::strchr(value, 'x');
      std::uint64_t w = 0, h = 0;
      if (x == nullptr || !parse_number(value, x, &w) || !parse_number(x + 1, end, &h)) return Taken::bad;
      if (w < o.min || w > o.max || h < o.min || h > o.max) return Taken::out_of_range;
      s.*o.number = static_cast<std::uint32_t>(w);
      s.*o.second = static_cast<std::uint32_t>(h);
      return Taken::ok;
    }
    case Kind::word:
      for (const Word* w = o.words; w->word != nullptr; ++w) {
        if (std::strcmp(w->word, value) == 0) {
          s.*o.number = w->value;
          return Taken::ok;
        }
      }
      return Taken::bad;
    case Kind::text: {
      const std::size_t length = static_cast<std::size_t>(end - value);
      if (length < o.min) return Taken::bad;
      if (length > o.max) return Taken::out_of_range;
      s.*o.text = value;
      return Taken::ok;
    }
    case Kind::segment: {
      const std::size_t length = static_cast<std::size_t>(end - value);
      if (length < o.min) return Taken::bad;
      if (length > o.max) return Taken::out_of_range;
      bw_segment& segment = s.segments[s.segment_count];
      segment.marker = o.marker;
      if (o.from_file) {
        s.segment_file[s.segment_count] = value;
      } else {
        segment.size = static_cast<std::uint32_t>(length);
        segment.data = value;
      }
      ++s.segment_count;
      return Taken::ok;
    }
    case Kind::stop:
    case Kind::flag:
      break;
  }
  return Taken::ok;
}

// A raw YUV input's own sampling, the default for it.
std::uint32_t own_sampling(std::uint32_t format) {
  switch (format) {
    case BW_INPUT_I444: return BW_SAMPLING_444;
    case BW_INPUT_I422:
    case BW_INPUT_YUYV:
    case BW_INPUT_UYVY: return BW_SAMPLING_422;
    default: return BW_SAMPLING_420;
  }
}

int ignore_bytes(void*, const std::uint8_t*, std::size_t) { return 1; }

// The row for arg ("-q", "-q85", "--quality", "--quality=85"), and where
// its value is within arg (nullptr: none there).
const Option* find_option(const char* arg, const char** value) {
  *value = nullptr;
  for (const Option& o : options) {
    if (arg[1] != '-') {
      if (o.short_name == '\0' || arg[1] != o.short_name) continue;
      if (arg[2] != '\0') {
        if (!takes_value(o)) continue;  // "-hx" is no option
        *value = arg + 2;
      }
      return &o;
    }
    const std::size_t len = std::strlen(o.long_name);
    if (std::strncmp(arg + 2, o.long_name, len) != 0) continue;
    if (arg[2 + len] == '=') {
      *value = arg + 3 + len;
      return &o;
    }
    if (arg[2 + len] == '\0') return &o;
  }
  return nullptr;
}

// Reports a failure to print on standard output: the status to exit with.
int flushed() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "blockwright: standard output: %s\n",
               std::strerror(errno != 0 ? errno : EIO));
  return 1;
}

}  // namespace

bw_config Settings::config() const {
  bw_config c;
  bw_default_config(&c);
  if (raw) {
    c.width = width;
    c.height = height;
  }
  c.quality = quality;
  c.restart_interval = restart;
  c.threads = threads;
  c.input = format;
  c.sampling = sampling;
  c.grayscale = gray ? 1 : 0;
  c.segment_count = segment_count;
  c.segments = segment_count != 0 ? segments : nullptr;
  return c;
}

const char* format_name(std::uint32_t format) {
  for (const Word* w = formats; w->word != nullptr; ++w) {
    if (w->value == format) return w->word;
  }
  return "";
}

bool settings_refused(const Settings& s) {
  bw_encoder trial;
  const bw_config c = s.config();
  const int status = bw_encoder_init(&trial, &c, ignore_bytes, nullptr);
  // (Metadata goes to the callback at once, which refuses it: the settings
  // passed.)
  if (status == BW_OK || status == BW_E_CALLBACK) return false;
  for (std::size_t k = 0; k < option_count; ++k) {
    if (options[k].status != status) continue;
    // A refused sampling that was not given is the raw format's own.
    const char* value = s.given[k] != nullptr ? s.given[k] : "";
    if (status == BW_E_SAMPLING && s.given[k] == nullptr) value = format_name(s.format);
    std::fprintf(stderr, "blockwright: --%s %s: %s\n", options[k].long_name, value, bw_strerror(status));
    return true;
  }
  std::fprintf(stderr, "blockwright: %s\n", bw_strerror(status));
  return true;
}

int parse_command_line(int argc, char** argv, Settings& s) {
  bw_config c;
  bw_default_config(&c);
  s.quality = c.quality;
  s.restart = c.restart_interval;
  s.threads = c.threads;
  const Settings defaults = s;
  // A value out of range is reported once the whole line has been read, so
  // that a usage error, or --help, takes precedence.
  const Option* refused = nullptr;
  const char* refused_value = nullptr;
  bool only_inputs = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (only_inputs || arg[0] != '-' || arg[1] == '\0') {
      if (*arg == '\0') return usage_error("an empty INPUT name%s", "");
      if (s.input != nullptr) return usage_error("a second INPUT '%s'; one picture at a time", arg);
      s.input = arg;
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      only_inputs = true;
      continue;
    }
    const char* value = nullptr;
    const Option* o = find_option(arg, &value);
    if (o == nullptr) return usage_error("unknown option '%s'", arg);
    if (o->given != nullptr) s.*o->given = true;
    if (!takes_value(*o)) {
      if (value != nullptr) return usage_error("option '--%s' takes no value", o->long_name);
      if (o->kind == Kind::flag) continue;
      if (s.help) {
        print_usage(defaults);
      } else {
        std::printf("blockwright %s\n", bw_version());
      }
      return flushed();
    }
    if (value == nullptr) {
      if (i + 1 == argc) return usage_error("option '%s' needs a value", arg);
      value = argv[++i];
    }
    if (o->kind == Kind::segment && s.segment_count == max_segments) {
      return usage_error("more than %s --comment and --exif options", "32");
    }
    s.given[static_cast<std::size_t>(o - options)] = value;
    switch (take_value(*o, value, s)) {
      case Taken::ok:
        break;
      case Taken::bad:
        std::fprintf(stderr, "blockwright: --%s: bad value '%s'", o->long_name, value);
        for (const Word* w = o->words; w != nullptr && w->word != nullptr; ++w) {
          std::fprintf(stderr, "%s%s", w == o->words ? ", not one of " : ", ", w->word);
        }
        std::fputs("; try 'blockwright --help'\n", stderr);
        return 2;
      case Taken::out_of_range:
        if (refused == nullptr) {
          refused = o;
          refused_value = value;
        }
        break;
    }
  }
  if (s.raw && s.input == nullptr) {
    return usage_error("%s needs an INPUT; image.y is always 1280 x 1024 with its header lines", "--size");
  }
  if (s.format_given && !s.raw) {
    return usage_error("%s needs --size: PGM and PPM files say what they hold", "--format");
  }
  if (s.sampling_given && (s.input == nullptr || (s.raw && s.format == BW_INPUT_GRAY))) {
    return usage_error("%s is for colour inputs; this one is grayscale", "--sampling");
  }
  if (s.raw && !s.sampling_given) s.sampling = own_sampling(s.format);
  if (refused != nullptr) {
    const char* reason = refused->status != 0 ? bw_strerror(refused->status) : refused->message;
    if (refused->kind == Kind::text || refused->kind == Kind::segment) {
      std::fprintf(stderr, "blockwright: --%s: %s\n", refused->long_name, reason);
    } else {
      std::fprintf(stderr, "blockwright: --%s %s: %s\n", refused->long_name, refused_value, reason);
    }
    return 1;
  }
  return -1;
}
