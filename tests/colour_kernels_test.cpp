// Every path's colour kernels give the bytes of the integer formulas: every
// R, G, B triple through the conversion, and random lines of every length
// up to a few vectors (so each loop and tail runs) through every kernel,
// for each pixel layout, with nothing read before or after the input and
// nothing written past the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "encode.hpp"
#include "paths.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The formulas, one sample at a time.
int y_of(int r, int g, int b) { return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16; }
int cb_of(int r, int g, int b) { return (-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16; }
int cr_of(int r, int g, int b) { return (32768 * r - 27439 * g - 5329 * b + 8421375) >> 16; }

struct Layout {
  const char* name;
  int bpp, r, g, b;
};
// The inputs' four, and two other orders the kernels must take as well.
constexpr Layout layouts[] = {{"rgb", 3, 0, 1, 2}, {"bgr", 3, 2, 1, 0}, {"rgbx", 4, 0, 1, 2},
                              {"bgrx", 4, 2, 1, 0}, {"gbr", 3, 2, 0, 1},  {"xrgb", 4, 1, 2, 3}};

constexpr std::uint32_t max_length = 140;  // past two steps of the widest loop and a tail
constexpr std::size_t guard = 40;          // bytes after each output that must stay untouched
constexpr std::uint8_t mark = 0xA5;

// An input of exactly `size` bytes in a buffer of its own, one byte in so
// the loads are unaligned: the sanitizer build catches any read outside it.
struct Input {
  Bytes buf;
  Input(std::size_t size, std::mt19937& rng) : buf(size + 1) {
    for (auto& v : buf) v = static_cast<std::uint8_t>(rng());
  }
  const std::uint8_t* data() const { return buf.data() + 1; }
  std::uint8_t at(std::size_t i) const { return buf[i + 1]; }
};

// Compares the first `count` bytes with `want` and the guard with the mark.
void expect_line(const Bytes& got, const Bytes& want, const char* what, std::uint32_t n) {
  ASSERT_EQ(got.size(), want.size() + guard);
  for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << what << ", n " << n << ", at " << i;
  for (std::size_t i = want.size(); i < got.size(); ++i)
    ASSERT_EQ(got[i], mark) << what << ", n " << n << ": written past the end at " << i;
}

Bytes out_for(std::size_t count) { return Bytes(count + guard, mark); }

// The paths with colour kernels of their own (the first of those that share
// a set), the portable paths' included.
std::vector<const CodePath*> colour_paths() {
  std::vector<const CodePath*> paths;
  for (const CodePath* p : all_paths()) {
    if (std::none_of(paths.begin(), paths.end(), [p](const CodePath* q) { return q->colour == p->colour; }))
      paths.push_back(p);
  }
  return paths;
}

class ColourPath : public testing::TestWithParam<const CodePath*> {
 protected:
  const ColourKernels& k = *GetParam()->colour;
  void SetUp() override {
    if (!GetParam()->serves(default_tables())) GTEST_SKIP() << GetParam()->name << " does not run on this CPU";
  }
};

TEST_P(ColourPath, EveryTripleGivesTheFormula) {
  // One line per R value holds every G, B pair, in a 3- and a 4-byte layout.
  for (const Layout& l : {layouts[0], layouts[3]}) {
    Bytes src(65536 * static_cast<std::size_t>(l.bpp), 0xEE), y(65536), cb(65536), cr(65536);
    for (int r = 0; r < 256; ++r) {
      for (int i = 0; i < 65536; ++i) {
        std::uint8_t* p = &src[static_cast<std::size_t>(i) * l.bpp];
        p[l.r] = static_cast<std::uint8_t>(r);
        p[l.g] = static_cast<std::uint8_t>(i >> 8);
        p[l.b] = static_cast<std::uint8_t>(i);
      }
      k.rgb_to_ycc(src.data(), l.bpp, l.r, l.g, l.b, 65536, y.data(), cb.data(), cr.data());
      for (int i = 0; i < 65536; ++i) {
        const int g = i >> 8, b = i & 255;
        const auto j = static_cast<std::size_t>(i);
        if (y[j] != y_of(r, g, b) || cb[j] != cb_of(r, g, b) || cr[j] != cr_of(r, g, b)) {
          FAIL() << l.name << " R " << r << " G " << g << " B " << b << ": " << int{y[j]} << " " << int{cb[j]}
                 << " " << int{cr[j]} << ", want " << y_of(r, g, b) << " " << cb_of(r, g, b) << " "
                 << cr_of(r, g, b);
        }
      }
    }
  }
}

TEST_P(ColourPath, RandomLinesOfEveryLength) {
  std::mt19937 rng(20);
  for (std::uint32_t n = 0; n <= max_length; ++n) {
    const std::uint32_t half = (n + 1) / 2;
    for (const Layout& l : layouts) {
      const Input src(std::size_t{n} * l.bpp, rng);
      Bytes want_y(n), want_cb(n), want_cr(n);
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::size_t p = std::size_t{i} * l.bpp;
        const int r = src.at(p + l.r), g = src.at(p + l.g), b = src.at(p + l.b);
        want_y[i] = static_cast<std::uint8_t>(y_of(r, g, b));
        want_cb[i] = static_cast<std::uint8_t>(cb_of(r, g, b));
        want_cr[i] = static_cast<std::uint8_t>(cr_of(r, g, b));
      }
      Bytes y = out_for(n), cb = out_for(n), cr = out_for(n);
      k.rgb_to_ycc(src.data(), l.bpp, l.r, l.g, l.b, n, y.data(), cb.data(), cr.data());
      expect_line(y, want_y, l.name, n);
      expect_line(cb, want_cb, l.name, n);
      expect_line(cr, want_cr, l.name, n);
    }

    // Downsampling: the last odd sample pairs with itself.
    const Input a(n, rng), b(n, rng);
    auto at = [n](const Input& in, std::uint32_t i) { return int{in.at(i < n ? i : n - 1)}; };
    Bytes want_h2(half), want_h2v2(half), want_v2(n);
    for (std::uint32_t i = 0; i < half; ++i) {
      want_h2[i] = static_cast<std::uint8_t>((at(a, 2 * i) + at(a, 2 * i + 1) + 1) >> 1);
      want_h2v2[i] =
          static_cast<std::uint8_t>((at(a, 2 * i) + at(a, 2 * i + 1) + at(b, 2 * i) + at(b, 2 * i + 1) + 2) >> 2);
    }
    for (std::uint32_t i = 0; i < n; ++i) want_v2[i] = static_cast<std::uint8_t>((at(a, i) + at(b, i) + 1) >> 1);
    Bytes h2 = out_for(half), h2v2 = out_for(half), v2 = out_for(n);
    k.down_h2(a.data(), n, h2.data());
    k.down_h2v2(a.data(), b.data(), n, h2v2.data());
    k.down_v2(a.data(), b.data(), n, v2.data());
    expect_line(h2, want_h2, "h2", n);
    expect_line(h2v2, want_h2v2, "h2v2", n);
    expect_line(v2, want_v2, "v2", n);

    // Packed 4:2:2: ceil(n / 2) groups; an odd line's last Y1 is left out.
    for (const bool y_first : {true, false}) {
      const Input src(std::size_t{half} * 4, rng);
      const int y0 = y_first ? 0 : 1, c0 = y_first ? 1 : 0;
      Bytes want_y(n), want_cb(half), want_cr(half);
      for (std::uint32_t i = 0; i < n; ++i) want_y[i] = src.at(std::size_t{i} / 2 * 4 + y0 + 2 * (i % 2));
      for (std::uint32_t i = 0; i < half; ++i) {
        want_cb[i] = src.at(std::size_t{i} * 4 + c0);
        want_cr[i] = src.at(std::size_t{i} * 4 + c0 + 2);
      }
      Bytes y = out_for(n), cb = out_for(half), cr = out_for(half);
      k.unpack_422(src.data(), y_first, n, y.data(), cb.data(), cr.data());
      const char* what = y_first ? "yuyv" : "uyvy";
      expect_line(y, want_y, what, n);
      expect_line(cb, want_cb, what, n);
      expect_line(cr, want_cr, what, n);
    }
  }
}

TEST_P(ColourPath, TwoLinesTo420InOnePass) {
  ASSERT_NE(k.rgb_to_420, nullptr);
  std::mt19937 rng(420);
  for (std::uint32_t n = 0; n <= max_length; ++n) {
    const std::uint32_t half = (n + 1) / 2;
    for (const Layout& l : layouts) {
      for (const bool single : {false, true}) {  // a last line alone: b = a, yb = ya
        const Input a(std::size_t{n} * l.bpp, rng), b(std::size_t{n} * l.bpp, rng);
        const Input& second = single ? a : b;
        auto sample = [&](const Input& in, std::uint32_t i, int (*f)(int, int, int)) {
          const std::size_t p = std::size_t{i < n ? i : n - 1} * l.bpp;
          return f(in.at(p + l.r), in.at(p + l.g), in.at(p + l.b));
        };
        Bytes want_ya(n), want_yb(n), want_cb(half), want_cr(half);
        for (std::uint32_t i = 0; i < n; ++i) {
          want_ya[i] = static_cast<std::uint8_t>(sample(a, i, y_of));
          want_yb[i] = static_cast<std::uint8_t>(sample(second, i, y_of));
        }
        for (std::uint32_t i = 0; i < half; ++i) {
          using Formula = int (*)(int, int, int);
          for (auto [f, want] : {std::pair<Formula, Bytes*>{cb_of, &want_cb}, std::pair<Formula, Bytes*>{cr_of, &want_cr}}) {
            (*want)[i] = static_cast<std::uint8_t>((sample(a, 2 * i, f) + sample(a, 2 * i + 1, f) +
                                                    sample(second, 2 * i, f) + sample(second, 2 * i + 1, f) + 2) >>
                                                   2);
          }
        }
        Bytes ya = out_for(n), yb = out_for(n), cb = out_for(half), cr = out_for(half);
        k.rgb_to_420(a.data(), second.data(), l.bpp, l.r, l.g, l.b, n, ya.data(), single ? ya.data() : yb.data(),
                     cb.data(), cr.data());
        expect_line(ya, want_ya, l.name, n);
        if (!single) expect_line(yb, want_yb, l.name, n);
        expect_line(cb, want_cb, l.name, n);
        expect_line(cr, want_cr, l.name, n);
      }
    }
  }
}

std::string path_name(const testing::TestParamInfo<const CodePath*>& info) {
  std::string name = info.param->name;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Paths, ColourPath, testing::ValuesIn(colour_paths()), path_name);
