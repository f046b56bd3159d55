// blockwright's command line: the settings it gives and the one table of
// options that reads them. Each option is one row of that table (in
// command_line.cpp) naming its field, its kind of value, its range and its
// message; the parser, the checks and --help all work from the rows.
#pragma once

#include <cstdint>

#include "blockwright.h"

struct Settings {
  const char* input = nullptr;  // nullptr: image.y
  const char* output = "testout.jpg";
  bool raw = false;             // --size given: INPUT is raw samples
  std::uint32_t width = 0, height = 0;
  std::uint32_t quality = 0, restart = 0, threads = 0;  // from bw_default_config
  bool help = false, version = false;

  // The library's settings for a frame of width x height.
  bw_config config() const;
};

// Reads the arguments into settings. Returns -1 to go on and encode, or the
// exit status: 0 after --help or --version, 1 when one was given but could
// not be printed or a value is out of its range, 2 for a usage error. Every
// status but 0 has printed its one line on standard error.
int parse_command_line(int argc, char** argv, Settings& settings);
