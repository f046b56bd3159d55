// Throughput of colour frames against libjpeg-turbo, in memory: 4:2:0 from
// RGB (both encoders convert and reduce the colour), and from I420 planes
// (libjpeg-turbo through its raw-data interface, given planes padded to
// whole MCUs as it requires, outside the timing).
//
//   bw_colour_frames [--rounds N] [--threads N] [--path NAME]
//
// The three colour pictures of the shared folder and a 1920 x 1080 frame
// tiled from them; quality 75, libjpeg-turbo with the fast integer DCT and
// no Huffman optimisation. The encoders alternate, round by round; the
// medians give megapixels per second and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "blockwright.h"
#include "colour.hpp"
#include "encoder.hpp"
#include "paths.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
  std::string name;
  std::uint32_t w = 0, h = 0;
  Bytes rgb;
  Bytes y, cb, cr;  // I420
  // libjpeg-turbo's raw input: planes padded to multiples of 16 (Y) and 8.
  std::uint32_t pw = 0, ph = 0;
  Bytes py, pcb, pcr;
};

[[noreturn]] void die(const std::string& what, const char* reason) {
  std::fprintf(stderr, "bw_colour_frames: %s: %s\n", what.c_str(), reason);
  std::exit(1);
}

Frame load_ppm(const std::string& dir, const std::string& name) {
  std::ifstream in(dir + "/" + name, std::ios::binary);
  if (!in) die(name, "cannot open");
  const Bytes f{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  unsigned w = 0, h = 0, maxval = 0;
  int used = 0;
  const std::string head(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(f.size(), 32)));
  if (std::sscanf(head.c_str(), "P6 %u %u %u%n", &w, &h, &maxval, &used) != 3 || maxval != 255)
    die(name, "not a P6 PPM with maxval 255");
  Frame fr;
  fr.name = name;
  fr.w = w;
  fr.h = h;
  fr.rgb.assign(f.begin() + used + 1, f.end());
  if (fr.rgb.size() < 3u * w * h) die(name, "short");
  return fr;
}

// 1920 x 1080 tiled from the pictures, a third of the width each.
Frame tiled(const std::vector<Frame>& src) {
  Frame fr;
  fr.name = "1920x1080";
  fr.w = 1920;
  fr.h = 1080;
  fr.rgb.resize(3u * fr.w * fr.h);
  for (std::uint32_t y = 0; y < fr.h; ++y) {
    for (std::uint32_t x = 0; x < fr.w; ++x) {
      const Frame& s = src[(x / 640 + y / 540) % src.size()];
      const std::size_t from = 3 * (std::size_t{y % s.h} * s.w + x % s.w);
      std::memcpy(&fr.rgb[3 * (std::size_t{y} * fr.w + x)], &s.rgb[from], 3);
    }
  }
  return fr;
}

void make_planes(Frame& f) {
  const std::uint32_t cw = (f.w + 1) / 2, ch = (f.h + 1) / 2;
  Bytes fy(f.w * f.h), fcb(f.w * f.h), fcr(f.w * f.h);
  for (std::uint32_t r = 0; r < f.h; ++r) {
    const std::size_t o = std::size_t{r} * f.w;
    rgb_to_ycc_line(&f.rgb[3 * o], 3, 0, 1, 2, f.w, &fy[o], &fcb[o], &fcr[o]);
  }
  f.y = fy;
  f.cb.resize(std::size_t{cw} * ch);
  f.cr.resize(std::size_t{cw} * ch);
  for (std::uint32_t r = 0; r < ch; ++r) {
    const std::size_t a = std::size_t{2 * r} * f.w, b = std::size_t{std::min(2 * r + 1, f.h - 1)} * f.w;
    down_h2v2_line(&fcb[a], &fcb[b], f.w, &f.cb[r * cw]);
    down_h2v2_line(&fcr[a], &fcr[b], f.w, &f.cr[r * cw]);
  }
  f.pw = (f.w + 15) / 16 * 16;
  f.ph = (f.h + 15) / 16 * 16;
  auto pad = [](const Bytes& p, std::uint32_t w, std::uint32_t h, std::uint32_t pw, std::uint32_t ph) {
    Bytes o(std::size_t{pw} * ph);
    for (std::uint32_t r = 0; r < ph; ++r)
      for (std::uint32_t c = 0; c < pw; ++c) o[std::size_t{r} * pw + c] = p[std::size_t{std::min(r, h - 1)} * w + std::min(c, w - 1)];
    return o;
  };
  f.py = pad(f.y, f.w, f.h, f.pw, f.ph);
  f.pcb = pad(f.cb, cw, ch, f.pw / 2, f.ph / 2);
  f.pcr = pad(f.cr, cw, ch, f.pw / 2, f.ph / 2);
}

Bytes out_bw, out_ljt;
std::size_t bw_size = 0;
const CodePath* forced = nullptr;  // --path

int to_out(void*, const std::uint8_t* data, std::size_t size) {
  if (size > out_bw.size() - bw_size) return 1;
  std::memcpy(out_bw.data() + bw_size, data, size);
  bw_size += size;
  return 0;
}
unsigned long ljt_size = 0;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double encode_bw(const Frame& f, bool planar, std::uint32_t threads) {
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = f.w;
  cfg.height = f.h;
  cfg.threads = threads;
  cfg.sampling = BW_SAMPLING_420;
  cfg.input = planar ? BW_INPUT_I420 : BW_INPUT_RGB;
  const std::uint8_t* planes[3] = {planar ? f.y.data() : f.rgb.data(), f.cb.data(), f.cr.data()};
  const std::size_t strides[3] = {planar ? f.w : 3 * std::size_t{f.w}, (f.w + 1) / 2, (f.w + 1) / 2};
  const auto t0 = Clock::now();
  int status;
  if (forced == nullptr) {
    status = bw_encode_planes_to_memory(&cfg, planes, strides, out_bw.data(), out_bw.size(), &bw_size);
  } else {
    bw_size = 0;
    bw_encoder enc;
    status = bw_encoder_init(&enc, &cfg, to_out, nullptr);
    if (status == BW_OK) {
      encoder_of(&enc).path = forced;
      status = bw_encoder_write_planes(&enc, planes, strides, f.h);
    }
    if (status == BW_OK) status = bw_encoder_finish(&enc);
    bw_encoder_release(&enc);
  }
  const auto t1 = Clock::now();
  if (status != BW_OK) die(f.name, bw_strerror(status));
  return seconds(t0, t1);
}

double encode_ljt(jpeg_compress_struct& c, const Frame& f, bool planar) {
  const auto t0 = Clock::now();
  unsigned char* buf = out_ljt.data();
  ljt_size = out_ljt.size();
  jpeg_mem_dest(&c, &buf, &ljt_size);
  c.image_width = f.w;
  c.image_height = f.h;
  c.input_components = 3;
  c.in_color_space = planar ? JCS_YCbCr : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 75, TRUE);
  c.dct_method = JDCT_IFAST;
  c.optimize_coding = FALSE;
  c.comp_info[0].h_samp_factor = 2;
  c.comp_info[0].v_samp_factor = 2;
  c.raw_data_in = planar ? TRUE : FALSE;
  jpeg_start_compress(&c, TRUE);
  if (planar) {
    JSAMPROW ry[16], rcb[8], rcr[8];
    JSAMPARRAY planes[3] = {ry, rcb, rcr};
    for (std::uint32_t y = 0; y < f.h; y += 16) {
      for (int i = 0; i < 16; ++i) ry[i] = const_cast<JSAMPROW>(&f.py[std::size_t{y + i} * f.pw]);
      for (int i = 0; i < 8; ++i) {
        rcb[i] = const_cast<JSAMPROW>(&f.pcb[std::size_t{y / 2 + i} * (f.pw / 2)]);
        rcr[i] = const_cast<JSAMPROW>(&f.pcr[std::size_t{y / 2 + i} * (f.pw / 2)]);
      }
      jpeg_write_raw_data(&c, planes, 16);
    }
  } else {
    while (c.next_scanline < c.image_height) {
      JSAMPROW row = const_cast<JSAMPROW>(&f.rgb[std::size_t{c.next_scanline} * 3 * f.w]);
      jpeg_write_scanlines(&c, &row, 1);
    }
  }
  jpeg_finish_compress(&c);
  const auto t1 = Clock::now();
  if (buf != out_ljt.data()) die(f.name, "libjpeg output outgrew its buffer");
  return seconds(t0, t1);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 21;
  std::uint32_t threads = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--threads" && i + 1 < argc) {
      threads = static_cast<std::uint32_t>(std::max(1, std::atoi(argv[++i])));
    } else if (a == "--path" && i + 1 < argc) {
      forced = find_path(argv[++i]);
      if (forced == nullptr) die(argv[i], "no such path in this build");
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N] [--threads N] [--path NAME]\n", argv[0]);
      return 1;
    }
  }
  std::vector<Frame> frames;
  for (const char* n : {"astronaut.ppm", "coffee.ppm", "chelsea.ppm"}) frames.push_back(load_ppm(BW_IMAGES_DIR, n));
  frames.push_back(tiled(frames));
  for (auto& f : frames) make_planes(f);
  out_bw.resize(16 << 20);
  out_ljt.resize(16 << 20);
  jpeg_compress_struct c;
  jpeg_error_mgr jerr;
  c.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&c);
  std::printf("4:2:0, quality 75, %d rounds, %u thread(s), %s path; MP/s = megapixels per second (median)\n",
              rounds, threads, forced != nullptr ? forced->name : "the best");
  std::printf("%-14s %-5s %9s %9s %9s %9s %7s\n", "picture", "input", "bw bytes", "bw MP/s", "ljt bytes",
              "ljt MP/s", "ratio");
  double worst = 1e9;
  for (const bool planar : {false, true}) {
    for (const auto& f : frames) {
      std::vector<double> tb, tl;
      encode_bw(f, planar, threads);
      encode_ljt(c, f, planar);
      for (int r = 0; r < rounds; ++r) {
        tb.push_back(encode_bw(f, planar, threads));
        tl.push_back(encode_ljt(c, f, planar));
      }
      const double mp = static_cast<double>(f.w) * f.h / 1e6;
      const double bw = mp / median(tb), ljt = mp / median(tl);
      worst = std::min(worst, bw / ljt);
      std::printf("%-14s %-5s %9zu %9.1f %9lu %9.1f %6.2fx\n", f.name.c_str(), planar ? "I420" : "RGB", bw_size,
                  bw, ljt_size, ljt, bw / ljt);
    }
  }
  std::printf("lowest ratio: %.2fx\n", worst);
  jpeg_destroy_compress(&c);
  return 0;
}
