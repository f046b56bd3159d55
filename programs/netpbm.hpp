// Netpbm headers ("P5 1280 1024 255" with white space and # comments), read
// from a stream one byte at a time. Used for PGM inputs, and to recognise a
// picture of another kind or size behind the header lines of an image.y.
#pragma once

#include <cstddef>
#include <cstdint>

struct NetpbmHeader {
  char kind = 0;  // the digit after 'P': '1' to '6'
  std::uint64_t width = 0, height = 0;
  std::uint64_t maxval = 0;  // 1 for the bitmaps (P1, P4), which state none
  // Width, height and maxval as written, for messages: without leading
  // zeros, and cut to their first 40 digits and "..." when longer. Numbers
  // past netpbm_number_limit are told by these alone.
  char written[3][44] = {};
};

enum class NetpbmParse {
  ok,          // a complete header and the one white-space byte after it
  not_netpbm,  // the input does not start with P1 to P6 and white space
  ends_early,  // the input ends within the header
  malformed,   // something other than a number where one belongs
};

// Returns the next byte of the input, or -1 at its end.
using NextByte = int (*)(void* ctx);

// Reads a header up to and including the single white-space byte that ends
// it; on malformed, *bad gets the byte at fault and *field names what was
// expected there ("the width", "the height", "the maxval", or "white space
// after the width" and so on when the number was read).
NetpbmParse parse_netpbm(NextByte next, void* ctx, NetpbmHeader* header, int* bad,
                         const char** field);

// Describes a kind other than binary gray in a few words, e.g. "a colour
// picture (P6)"; "" for P5.
const char* netpbm_kind_name(char kind);

// Numbers in a header saturate at this value, far above any valid one.
inline constexpr std::uint64_t netpbm_number_limit = 999999999999;
