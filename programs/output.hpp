// Where blockwright's stream goes, and how it gets there without ever
// leaving a partial file.
//
// A regular file (or a name not yet taken, a link to a regular file, a
// dangling link) is replaced: the stream goes to a temporary file in the
// output's folder, which is synced and renamed over the name only once it
// is complete. Anything else that is there already is written into, never
// replaced: standard output ("-"), a character or block device, a FIFO,
// a socket, a link leading to one of these, and a name in /proc/self/fd or
// /dev/fd or a link leading there (so "/dev/stdout" is standard output,
// whatever that is). These get the stream once it is complete, held in
// memory until then, so a refused input writes nothing into them.
#pragma once

#include <cstddef>
#include <cstdint>

struct Output {
  const char* name = nullptr;  // for messages: as given, or "standard output"
  const char* path = nullptr;  // the name to rename over or open; nullptr: fd
  bool replace = true;         // a temporary file renamed over path
  int fd = -1;                 // the temporary file, or the descriptor written into
  int error = 0;               // errno of the first failure
  // The stream, held until it is complete (when written into).
  std::uint8_t* held = nullptr;
  std::size_t held_size = 0, held_capacity = 0;
};

// Ignores SIGPIPE and SIGXFSZ (their failures are reported instead), and
// has every terminating signal that the program inherited with its default
// action remove the temporary file before it ends the process.
void install_signal_handlers();

// Settles how `name` ("-": standard output) gets the stream. Returns 0, or
// the errno that refuses it (a name in /proc/self/fd whose descriptor is
// not open for writing: EBADF).
int prepare_output(Output& out, const char* name);

// The encoder's write callback, with an Output as user. A temporary file is
// created with the first bytes, so that an input refused before any output
// leaves nothing to clean up.
int write_output(void* user, const std::uint8_t* data, std::size_t size);

// Delivers the complete stream: syncs, closes and renames the temporary
// file, or writes the held stream into its destination. Returns 0, or the
// errno of the failure (the temporary file is then still there: see
// discard_output). From a successful rename on, terminating signals stay
// blocked, so the exit status agrees with the file.
int complete_output(Output& out);

// Removes the temporary file, if there is one.
void discard_output(Output& out);

// For a name in /proc/self/fd, /proc/thread-self/fd, /proc/<pid>/fd or
// /dev/fd, or a chain of symbolic links that reaches one: the descriptor
// number. -1 otherwise.
int descriptor_named(const char* name);
