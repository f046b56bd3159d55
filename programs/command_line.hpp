// blockwright's command line: the settings it gives and the one table of
// options that reads them. Each option is one row of that table (in
// command_line.cpp) naming its field, its kind of value, its range and its
// message; the parser, the checks and --help all work from the rows.
#pragma once

#include <cstdint>

#include "blockwright.h"

// Metadata options (--comment, --exif), in the order given.
inline constexpr int max_segments = 32;

struct Settings {
  const char* input = nullptr;  // nullptr: image.y
  const char* output = "testout.jpg";
  bool raw = false;             // --size given: INPUT is raw pixels
  std::uint32_t width = 0, height = 0;
  std::uint32_t quality = 0, restart = 0, threads = 0;  // from bw_default_config
  std::uint32_t format = BW_INPUT_GRAY;  // what a raw INPUT holds
  bool format_given = false;
  std::uint32_t sampling = BW_SAMPLING_420;
  bool sampling_given = false;
  bool gray = false;  // a colour input encoded as its Y alone
  // --comment TEXT and --exif FILE: the segments, and for --exif the file,
  // whose contents the program reads into the segment.
  bw_segment segments[max_segments] = {};
  const char* segment_file[max_segments] = {};
  std::uint32_t segment_count = 0;
  bool help = false, version = false;
  // The value given to each option of the table, for messages.
  const char* given[16] = {};

  // The library's settings for a frame of width x height.
  bw_config config() const;
};

// Reads the arguments into settings. Returns -1 to go on and encode, or the
// exit status: 0 after --help or --version, 1 when one was given but could
// not be printed or a value is out of its range, 2 for a usage error. Every
// status but 0 has printed its one line on standard error.
int parse_command_line(int argc, char** argv, Settings& settings);

// The --format word for a BW_INPUT_* kind.
const char* format_name(std::uint32_t format);

// Tries the settings on the library before anything is opened: true, with
// the line printed naming the option at fault, when it refuses them.
bool settings_refused(const Settings& settings);
