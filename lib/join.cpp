#include "join.hpp"

#include <bit>
#include <cstring>

#include "encoder.hpp"

namespace {

bool has_ff(std::uint64_t w) {
  return ((~w - 0x0101010101010101u) & w & 0x8080808080808080u) != 0;
}

std::uint64_t load_be64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return w;
}

void store_be64(std::uint8_t* p, std::uint64_t w) {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
}

std::uint8_t* out_end(Encoder& e) { return e.outbuffer + outbuffer_size; }  // cppcheck-suppress constParameter

// Makes room for a few bits and a marker in the buffer.
int reserve(Encoder& e) {
  return out_end(e) - e.coder.optr < 16 ? encoder_flush(e) : BW_OK;
}

// Appends n coded bytes when the stream stands on a byte boundary: through
// the buffer, or straight to the write callback when they are many, in
// pieces no larger than the buffer's, as the callback is promised.
int put_aligned(Encoder& e, const std::uint8_t* p, std::size_t n) {
  if (static_cast<std::size_t>(out_end(e) - e.coder.optr) < n + 16) {
    if (const int status = encoder_flush(e)) return status;
    while (n >= outbuffer_size / 2) {
      const std::size_t piece = n < outbuffer_size ? n : outbuffer_size;
      if (e.write(e.user, p, piece) != 0) return BW_E_CALLBACK;
      p += piece;
      n -= piece;
    }
  }
  std::memcpy(e.coder.optr, p, n);
  e.coder.optr += n;
  return BW_OK;
}

// Appends n coded bytes when the stream has 1 to 7 bits pending: drops the
// stuffed zeros, shifts every byte right by the pending bits, and stuffs the
// bytes it forms. Eight bytes at a time while neither the bytes taken nor
// those formed hold a 0xFF.
int put_shifted(Encoder& e, const std::uint8_t* in, std::size_t n) {
  CoderState& s = e.coder;
  const unsigned c = s.CodeSize;
  const std::uint64_t mask = (std::uint64_t{1} << c) - 1;
  std::uint64_t carry = pending(s).value;
  std::uint8_t* o = s.optr;
  std::size_t i = 0;
  while (i < n) {
    if (out_end(e) - o < 64) {
      s.optr = o;
      if (const int status = encoder_flush(e)) return status;
      o = s.optr;
    }
    const std::uint8_t* const limit = out_end(e) - 32;  // at most 16 bytes a step
    while (i < n && o < limit) {
      if (n - i >= 8) {
        const std::uint64_t x = load_be64(in + i);
        if (!has_ff(x)) {
          const std::uint64_t y = carry << (64 - c) | x >> c;
          carry = x & mask;
          i += 8;
          if (!has_ff(y)) {
            store_be64(o, y);
            o += 8;
          } else {
            for (int k = 56; k >= 0; k -= 8) {
              const auto b = static_cast<std::uint8_t>(y >> k);
              *o++ = b;
              if (b == 0xFF) *o++ = 0x00;
            }
          }
          continue;
        }
      }
      const std::uint64_t d = in[i++];
      if (d == 0xFF) ++i;  // its stuffed zero
      const auto b = static_cast<std::uint8_t>((carry << 8 | d) >> c);
      carry = d & mask;
      *o++ = b;
      if (b == 0xFF) *o++ = 0x00;
    }
  }
  s.optr = o;
  s.CodeVal = carry << (24 - c);
  return BW_OK;
}

int put_bits(Encoder& e, Bits b) {
  if (b.count == 0) return BW_OK;
  if (const int status = reserve(e)) return status;
  emit_code(e.coder, static_cast<std::int32_t>(b.count), static_cast<std::int32_t>(b.value));
  return BW_OK;
}

}  // namespace

int join(Encoder& e, const Slot& slot) {
  int status = e.coder.CodeSize == 0 ? put_aligned(e, slot.buf, slot.head_end)
                                     : put_shifted(e, slot.buf, slot.head_end);
  if (status == BW_OK) status = put_bits(e, slot.head_bits);
  if (status == BW_OK && slot.marker) {
    // Pads the partial byte with 1-bits; the marker follows in the chunk.
    if ((status = reserve(e)) != BW_OK) return status;
    pad_to_byte(e.coder);
    status = put_aligned(e, slot.buf + slot.head_end, slot.end - slot.head_end);
    if (status == BW_OK) status = put_bits(e, slot.tail_bits);
  }
  for (std::size_t i = 0; i < max_components; ++i) e.coder.lastDC[i] = slot.last_dc[i];
  return status;
}
