#include "recipgen_table.hpp"

#include <cstdio>

std::array<std::int32_t, 64> table_steps;
char table_refusal[refusal_size];

namespace {

// zz[k] is the natural index of the k-th value in zigzag order.
constexpr std::array<std::int32_t, 64> zz = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

constexpr bool is_permutation_of_64(const std::array<std::int32_t, 64>& order) {
  std::array<bool, 64> seen{};
  for (const std::int32_t i : order) {
    if (i < 0 || i > 63 || seen[static_cast<std::size_t>(i)]) return false;
    seen[static_cast<std::size_t>(i)] = true;
  }
  return true;
}
static_assert(is_permutation_of_64(zz));

// Reader state.
int values_read;        // complete values, 0 to 64
int digits;             // digits of the value being read, 0 or 1
std::int32_t value;     // the value being read
std::uint64_t offset;   // bytes taken so far
std::uint64_t value_at; // byte (counted from 1) where the current value starts
// The current run of digits: its length, where it starts, the value it
// starts and its first digits, to refuse a run of odd length (other than
// a single digit) at its start.
std::uint64_t run_digits;
std::uint64_t run_at;
int run_value;
char run_text[9];
bool refused;

bool is_space(std::uint8_t ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int hex_digit(std::uint8_t ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Refuses a character that is neither white space nor a digit; printable
// characters are quoted, others given as their byte value.
void refuse_char(std::uint8_t ch, std::uint64_t at) {
  refused = true;
  const int k = values_read + 1;
  const auto byte = static_cast<unsigned long long>(at);
  if (ch > ' ' && ch < 0x7F) {
    std::snprintf(table_refusal, refusal_size,
                  "value %d of 64 at byte %llu: '%c' is neither white space nor a hexadecimal digit",
                  k, byte, ch);
  } else {
    std::snprintf(table_refusal, refusal_size,
                  "value %d of 64 at byte %llu: byte 0x%02X is neither white space nor a hexadecimal digit",
                  k, byte, static_cast<unsigned>(ch));
  }
}

void refuse_trailing(std::uint8_t ch, std::uint64_t at) {
  refused = true;
  const auto byte = static_cast<unsigned long long>(at);
  if (ch > ' ' && ch < 0x7F) {
    std::snprintf(table_refusal, refusal_size,
                  "after value 64 at byte %llu: '%c', but a table ends after 64 values", byte, ch);
  } else {
    std::snprintf(table_refusal, refusal_size,
                  "after value 64 at byte %llu: byte 0x%02X, but a table ends after 64 values", byte,
                  static_cast<unsigned>(ch));
  }
}

// At the end of a run of digits: one digit is a value, and an even number
// are values of two digits run together; any other count has a value of
// three or more digits in it, reported where the run starts.
void end_run() {
  if (run_digits > 1 && run_digits % 2 == 1 && !refused) {
    refused = true;
    std::snprintf(table_refusal, refusal_size,
                  "value %d of 64 at byte %llu: '%s%s' is %llu hexadecimal digits in a row; a value has "
                  "one or two, and values run together come in pairs",
                  run_value, static_cast<unsigned long long>(run_at), run_text,
                  run_digits > sizeof run_text - 1 ? "..." : "",
                  static_cast<unsigned long long>(run_digits));
  }
  run_digits = 0;
}

// Stores the value just read, or refuses a 0.
void complete_value() {
  digits = 0;
  if (value == 0) {
    refused = true;
    std::snprintf(table_refusal, refusal_size,
                  "value %d of 64 at byte %llu: 0 is not a quantizer step (1 to 255)",
                  values_read + 1, static_cast<unsigned long long>(value_at));
    return;
  }
  table_steps[static_cast<std::size_t>(zz[static_cast<std::size_t>(values_read)])] = value;
  ++values_read;
}

}  // namespace

void table_reader_start() {
  table_steps.fill(0);
  table_refusal[0] = '\0';
  values_read = 0;
  digits = 0;
  value = 0;
  offset = 0;
  value_at = 0;
  run_digits = 0;
  refused = false;
}

bool table_reader_feed(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size && !refused; ++i) {
    const std::uint8_t ch = data[i];
    ++offset;
    const int d = hex_digit(ch);
    if (d >= 0) {
      if (run_digits == 0) {
        run_at = offset;
        run_value = values_read + 1;
      }
      if (run_digits < sizeof run_text - 1) {
        run_text[run_digits] = static_cast<char>(ch);
        run_text[run_digits + 1] = '\0';
      }
      ++run_digits;
    } else {
      end_run();
      if (refused) break;
    }
    if (digits == 1) {
      // Second digit, or the end of a one-digit value.
      if (d >= 0) {
        value = value * 16 + d;
        complete_value();
      } else if (is_space(ch)) {
        complete_value();
      } else {
        refuse_char(ch, offset);
      }
    } else if (is_space(ch)) {
      continue;
    } else if (values_read == 64) {
      refuse_trailing(ch, offset);
    } else if (d >= 0) {
      value = d;
      digits = 1;
      value_at = offset;
    } else {
      refuse_char(ch, offset);
    }
  }
  return !refused;
}

bool table_reader_end() {
  if (refused) return false;
  if (digits == 1) {
    complete_value();
    if (refused) return false;
  }
  end_run();
  if (refused) return false;
  if (values_read < 64) {
    refused = true;
    std::snprintf(table_refusal, refusal_size,
                  "value %d of 64: missing, the input ends after %d values", values_read + 1,
                  values_read);
    return false;
  }
  return true;
}
