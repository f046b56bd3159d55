// Reading a quantizer table as recipgen takes it, and computing the
// encoder's reciprocal of one step.
//
// The reader is fed the input in pieces of any size and keeps its state at
// file level, so recipgen can stream standard input through a fixed buffer
// and the fuzz target can feed it any bytes; it never allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "quant.hpp"  // scale_factor, reciprocal

// What the reader accepts: white space (space, tab, line feed, vertical tab,
// form feed, carriage return) is skipped; each value is one or two
// hexadecimal digits, a third digit starting the next value, so "08 06 06"
// and "080606" read alike. 64 values in zigzag order, each 1 to 255; after
// the 64th only white space may follow. Anything else is refused: fewer
// than 64 values, any other character (a sign or an 0x prefix included), a
// value of 0, a 65th value or other trailing text, and a run of digits of
// odd length other than 1 ("123"), which holds a value of three digits or
// more: it is reported where it starts, not as a 65th value at the end.

// Quantizer steps in natural order (8 * row + column) once a table is read.
extern std::array<std::int32_t, 64> table_steps;
// Why the input was refused: one line, no line feed, naming the position.
inline constexpr std::size_t refusal_size = 160;
extern char table_refusal[refusal_size];

// Starts reading a new table.
void table_reader_start();
// Takes the next size bytes of input. Returns false once the input is
// refused; later calls change nothing.
bool table_reader_feed(const std::uint8_t* data, std::size_t size);
// Ends the input. Returns true when a complete, valid table was read.
bool table_reader_end();
