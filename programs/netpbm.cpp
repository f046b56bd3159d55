#include "netpbm.hpp"

#include <cstring>

namespace {

bool is_space(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool is_digit(int ch) { return ch >= '0' && ch <= '9'; }

// From ch on, skips white space and comments (from # to the end of the
// line); returns the first byte after them, or -1 at the end of the input.
int skip_space(NextByte next, void* ctx, int ch) {
  for (;;) {
    if (ch == '#') {
      while (ch >= 0 && ch != '\n' && ch != '\r') ch = next(ctx);
    }
    if (ch < 0 || !is_space(ch)) return ch;
    ch = next(ctx);
  }
}

}  // namespace

NetpbmParse parse_netpbm(NextByte next, void* ctx, NetpbmHeader* header, int* bad,
                         const char** field) {
  *header = NetpbmHeader{};
  int ch = next(ctx);
  if (ch >= 0 && ch != 'P') return NetpbmParse::not_netpbm;
  if (ch >= 0) ch = next(ctx);
  if (ch >= 0 && (ch < '1' || ch > '6')) return NetpbmParse::not_netpbm;
  header->kind = static_cast<char>(ch);
  if (ch >= 0) ch = next(ctx);
  if (ch >= 0 && !is_space(ch) && ch != '#') return NetpbmParse::not_netpbm;
  if (ch < 0) return NetpbmParse::ends_early;

  const bool bitmap = header->kind == '1' || header->kind == '4';
  const int count = bitmap ? 2 : 3;
  std::uint64_t* const fields[3] = {&header->width, &header->height, &header->maxval};
  static const char* const names[3] = {"the width", "the height", "the maxval"};
  static const char* const after[3] = {"white space after the width", "white space after the height",
                                       "white space after the maxval"};
  for (int i = 0; i < count; ++i) {
    *field = names[i];
    ch = skip_space(next, ctx, ch);
    if (ch < 0) return NetpbmParse::ends_early;
    if (!is_digit(ch)) {
      *bad = ch;
      return NetpbmParse::malformed;
    }
    std::uint64_t v = 0;
    char* text = header->written[i];
    std::size_t digits = 0;
    for (; is_digit(ch); ch = next(ctx)) {
      v = v * 10 + static_cast<std::uint64_t>(ch - '0');
      if (v > netpbm_number_limit) v = netpbm_number_limit;
      if (digits == 0 && ch == '0') continue;
      if (digits < 40) text[digits] = static_cast<char>(ch);
      ++digits;
    }
    if (digits == 0) text[digits++] = '0';
    if (digits > 40) std::memcpy(text + 40, "...", 4);
    *fields[i] = v;
    if (ch < 0) return NetpbmParse::ends_early;
    // A comment may follow a number, except the last: one white-space byte
    // ends the header.
    if (!is_space(ch) && (ch != '#' || i + 1 == count)) {
      *field = after[i];
      *bad = ch;
      return NetpbmParse::malformed;
    }
  }
  if (bitmap) {
    header->maxval = 1;
    std::memcpy(header->written[2], "1", 2);
  }
  return NetpbmParse::ok;
}

const char* netpbm_kind_name(char kind) {
  switch (kind) {
    case '1': return "a bitmap (P1)";
    case '2': return "a plain-text PGM (P2)";
    case '3': return "a plain-text colour picture (P3)";
    case '4': return "a bitmap (P4)";
    case '6': return "a colour picture (P6)";
    default: return "";
  }
}
