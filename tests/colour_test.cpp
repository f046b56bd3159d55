// Colour frames: the sample pictures give their listed bytes on every code
// path, thread count and grouping of lines; every input kind made from the
// same planes gives the same bytes; edge MCUs and restart intervals decode;
// quality stays with a peer's; metadata segments and refused settings.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <random>
#include <string>
#include <vector>

#include "colour.hpp"
#include "decode.hpp"
#include "encode.hpp"
#include "encoder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Picture {
  std::uint32_t width = 0, height = 0;
  Bytes rgb;
};

// A binary PPM with maxval 255.
Picture read_ppm(const std::string& name) {
  const Bytes f = read_file(images_dir() + "/" + name);
  Picture p;
  unsigned w = 0, h = 0, maxval = 0;
  int used = 0;
  const std::string head(f.begin(), f.begin() + 32);
  if (std::sscanf(head.c_str(), "P6 %u %u %u%n", &w, &h, &maxval, &used) != 3 || maxval != 255)
    throw std::runtime_error(name + ": not a P6 with maxval 255");
  p.width = w;
  p.height = h;
  p.rgb.assign(f.begin() + used + 1, f.end());
  if (p.rgb.size() != 3u * w * h) throw std::runtime_error(name + ": short");
  return p;
}

// The frame's lines: one interleaved plane, or up to three.
struct Input {
  std::uint32_t kind = BW_INPUT_RGB;
  Bytes plane[3];
  std::size_t stride[3] = {0, 0, 0};
};

bw_config colour_config(std::uint32_t w, std::uint32_t h, std::uint32_t input, std::uint32_t sampling,
                        std::uint32_t quality = 75, std::uint32_t restart = 0) {
  bw_config cfg = make_config(w, h, quality, restart);
  cfg.input = input;
  cfg.sampling = sampling;
  return cfg;
}

int append(void* user, const std::uint8_t* data, std::size_t size) {
  auto* v = static_cast<Bytes*>(user);
  v->insert(v->end(), data, data + size);
  return 0;
}

// Encodes through a bw_encoder on a path (null: its own choice), in calls
// of `lines` lines (0: the whole frame in one call). Nothing when the path
// cannot run with the frame's quantizers.
Bytes encode(const bw_config& cfg, const Input& in, const CodePath* path = nullptr, std::uint32_t lines = 0) {
  Bytes out;
  bw_encoder enc;
  EXPECT_EQ(bw_encoder_init(&enc, &cfg, append, &out), BW_OK);
  if (path != nullptr) {
    Encoder& e = encoder_of(&enc);
    if (!path->serves(e.tables) || (e.col.components == 3 && !path->serves(e.col.chroma))) return {};
    e.path = path;
  }
  const std::uint32_t vy = in.kind == BW_INPUT_I420 || in.kind == BW_INPUT_NV12 ? 2 : 1;
  for (std::uint32_t y = 0; y < cfg.height;) {
    const std::uint32_t n = lines == 0 ? cfg.height : std::min(lines, cfg.height - y);
    const std::uint8_t* planes[3];
    for (int p = 0; p < 3; ++p) {
      const std::size_t row = p == 0 ? y : y / vy;
      planes[p] = in.plane[p].empty() ? nullptr : in.plane[p].data() + row * in.stride[p];
    }
    EXPECT_EQ(bw_encoder_write_planes(&enc, planes, in.stride, n), BW_OK) << "line " << y;
    y += n;
  }
  EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
  return out;
}

Input rgb_input(const Picture& p) {
  Input in;
  in.plane[0] = p.rgb;
  in.stride[0] = 3 * p.width;
  return in;
}

std::uint32_t vy_of(std::uint32_t sampling) { return sampling == 420 ? 2 : 1; }

// ---- The sample pictures' bytes.

struct Expected {
  const char* file;
  std::uint32_t sampling, quality, restart;
  bool gray;
  std::size_t bytes;
  const char* sha256;
};

const Expected expected[] = {
    {"astronaut.ppm", 420, 75, 0, false, 40116, "f280924e345586ad4806629d3fad1501d55f195814227d08487041e1c607000f"},
    {"astronaut.ppm", 422, 75, 0, false, 43803, "160a94d1398ff156fd571d57f9b61ee1f1aeeb18cdc8681a7e7bf03cd9229709"},
    {"astronaut.ppm", 444, 75, 0, false, 49552, "385e90e53c14effd867930c6216e9dc7caf3343ae2becaf1aa7acb2add9ae560"},
    {"coffee.ppm", 420, 75, 0, false, 41661, "5ec155d26e76d15964ff556d4a0ebe03ad9923a98ca8e67f4f61b20e67440b4b"},
    {"coffee.ppm", 422, 75, 0, false, 45656, "25edbf06a713f1e0ae1ec19f1db3652b2858a1f49c9538496f40b14a7c0d9583"},
    {"coffee.ppm", 444, 75, 0, false, 52202, "c7fe51e6f4384ab699b625455f205d02d5f2ebf7d7a9acf32ad82e92643f39e6"},
    {"chelsea.ppm", 420, 75, 0, false, 20644, "3121f40e140cb159e3d3983a1a61b6bacfdff50ed84266944ba5343ea9a0e6c1"},
    {"chelsea.ppm", 422, 75, 0, false, 22134, "8458eea0c753828fcc80bf852c2a53f978ced0df716ae48c11b08c5a945ff2bd"},
    {"chelsea.ppm", 444, 75, 0, false, 24459, "bc9ea1834e3c1c63022e361527b833269474345bd1481dc0cfd48c022f91b91c"},
    {"chelsea.ppm", 420, 90, 5, false, 35407, "c3c716c5003f1c8b6e29e9c176c909e49f2615e125d534dc24fb0509666034e2"},
    {"chelsea.ppm", 422, 30, 7, false, 11366, "96f7a8068558dfc528f4c58ed1c75ee5ec2a54f8c728acc2ee164fd23dd3ded4"},
    {"chelsea.ppm", 420, 75, 0, true, 18384, "f98d369c8278881fe25017d8ab87cf8e05590064b8e6f9d30bd32e2995221a77"},
};

TEST(Colour, SamplePicturesOnEveryPathThreadCountAndGrouping) {
  for (const auto& x : expected) {
    const Picture pic = read_ppm(x.file);
    const Input in = rgb_input(pic);
    bw_config cfg = colour_config(pic.width, pic.height, BW_INPUT_RGB, x.sampling, x.quality, x.restart);
    cfg.grayscale = x.gray;
    const std::uint32_t group = 8 * (x.gray ? 1 : vy_of(x.sampling));
    for (const CodePath* path : all_paths()) {
      for (const std::uint32_t threads : {1u, 2u, 4u}) {
        for (const std::uint32_t lines : {0u, group, 5 * group}) {
          cfg.threads = threads;
          const Bytes jpeg = encode(cfg, in, path, lines);
          if (jpeg.empty()) continue;  // not on this CPU, or not with these tables
          EXPECT_EQ(jpeg.size(), x.bytes) << x.file << " " << x.sampling << " " << path->name;
          EXPECT_EQ(sha256_hex(jpeg), x.sha256)
              << x.file << " " << x.sampling << " q" << x.quality << " " << path->name << " threads "
              << threads << " lines " << lines;
        }
      }
    }
  }
}

// ---- Every input kind from the same planes.

// The planes of a picture as each input kind holds them.
struct Planes3 {
  std::uint32_t w, h;
  Bytes y, cb, cr;  // full size
};

Planes3 ycc_of(const Picture& p) {
  Planes3 q{p.width, p.height, Bytes(p.width * p.height), Bytes(p.width * p.height), Bytes(p.width * p.height)};
  for (std::uint32_t r = 0; r < p.height; ++r) {
    const std::size_t o = std::size_t{r} * p.width;
    rgb_to_ycc_line(p.rgb.data() + 3 * o, 3, 0, 1, 2, p.width, q.y.data() + o, q.cb.data() + o, q.cr.data() + o);
  }
  return q;
}

Input make_input_kind(const Picture& pic, const Planes3& q, std::uint32_t kind) {
  const std::uint32_t w = q.w, h = q.h, cw = (w + 1) / 2, ch = (h + 1) / 2;
  Input in;
  in.kind = kind;
  // Chroma reduced horizontally (4:2:2 planes) and both ways (4:2:0).
  Bytes cb2(cw * h), cr2(cw * h), cb4(cw * ch), cr4(cw * ch);
  for (std::uint32_t r = 0; r < h; ++r) {
    down_h2_line(q.cb.data() + r * w, w, cb2.data() + r * cw);
    down_h2_line(q.cr.data() + r * w, w, cr2.data() + r * cw);
  }
  for (std::uint32_t r = 0; r < ch; ++r) {
    const std::uint32_t a = 2 * r, b = std::min(2 * r + 1, h - 1);
    down_h2v2_line(q.cb.data() + a * w, q.cb.data() + b * w, w, cb4.data() + r * cw);
    down_h2v2_line(q.cr.data() + a * w, q.cr.data() + b * w, w, cr4.data() + r * cw);
  }
  auto interleaved = [&](int bytes, int ro, int go, int bo) {
    in.plane[0].assign(std::size_t{w} * h * bytes, 0xA5);
    for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
      in.plane[0][i * bytes + ro] = pic.rgb[3 * i];
      in.plane[0][i * bytes + go] = pic.rgb[3 * i + 1];
      in.plane[0][i * bytes + bo] = pic.rgb[3 * i + 2];
    }
    in.stride[0] = std::size_t{w} * bytes;
  };
  switch (kind) {
    case BW_INPUT_RGB: interleaved(3, 0, 1, 2); break;
    case BW_INPUT_BGR: interleaved(3, 2, 1, 0); break;
    case BW_INPUT_RGBX: interleaved(4, 0, 1, 2); break;
    case BW_INPUT_BGRX: interleaved(4, 2, 1, 0); break;
    case BW_INPUT_YUYV:
    case BW_INPUT_UYVY: {
      const int y0 = kind == BW_INPUT_YUYV ? 0 : 1, c0 = 1 - y0;
      in.stride[0] = 4 * cw + 3;  // a stride wider than the line
      in.plane[0].assign(in.stride[0] * h, 0x5A);
      for (std::uint32_t r = 0; r < h; ++r) {
        std::uint8_t* line = in.plane[0].data() + r * in.stride[0];
        for (std::uint32_t i = 0; i < cw; ++i) {
          line[4 * i + y0] = q.y[r * w + 2 * i];
          if (2 * i + 1 < w) line[4 * i + y0 + 2] = q.y[r * w + 2 * i + 1];
          line[4 * i + c0] = cb2[r * cw + i];
          line[4 * i + c0 + 2] = cr2[r * cw + i];
        }
      }
      break;
    }
    case BW_INPUT_I444:
      in.plane[0] = q.y, in.plane[1] = q.cb, in.plane[2] = q.cr;
      in.stride[0] = in.stride[1] = in.stride[2] = w;
      break;
    case BW_INPUT_I422:
      in.plane[0] = q.y, in.plane[1] = cb2, in.plane[2] = cr2;
      in.stride[0] = w, in.stride[1] = in.stride[2] = cw;
      break;
    case BW_INPUT_I420:
      in.plane[0] = q.y, in.plane[1] = cb4, in.plane[2] = cr4;
      in.stride[0] = w, in.stride[1] = in.stride[2] = cw;
      break;
    case BW_INPUT_NV12:
      in.plane[0] = q.y;
      in.plane[1].resize(2 * cw * ch);
      for (std::size_t i = 0; i < std::size_t{cw} * ch; ++i) {
        in.plane[1][2 * i] = cb4[i];
        in.plane[1][2 * i + 1] = cr4[i];
      }
      in.stride[0] = w, in.stride[1] = 2 * cw;
      break;
    default: break;
  }
  return in;
}

// A small picture with odd sizes: smooth colour with a little noise.
Picture synthetic(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  Picture p{w, h, Bytes(3u * w * h)};
  std::mt19937 rng(seed);
  for (std::uint32_t r = 0; r < h; ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      const std::size_t i = 3 * (std::size_t{r} * w + c);
      p.rgb[i] = static_cast<std::uint8_t>((c * 255) / (w + 1) ^ (rng() & 7));
      p.rgb[i + 1] = static_cast<std::uint8_t>((r * 255) / (h + 1) ^ (rng() & 7));
      p.rgb[i + 2] = static_cast<std::uint8_t>(((r + c) * 128) / (w + h) + (rng() & 63));
    }
  }
  return p;
}

TEST(Colour, InputKindsFromTheSamePlanesGiveTheSameBytes) {
  struct Same {
    std::uint32_t sampling;
    std::vector<std::uint32_t> kinds;  // all give the first one's bytes
  };
  const Same cases[] = {
      {444, {BW_INPUT_RGB, BW_INPUT_BGR, BW_INPUT_RGBX, BW_INPUT_BGRX, BW_INPUT_I444}},
      {422, {BW_INPUT_RGB, BW_INPUT_BGR, BW_INPUT_RGBX, BW_INPUT_BGRX, BW_INPUT_I444, BW_INPUT_I422,
             BW_INPUT_YUYV, BW_INPUT_UYVY}},
      {420, {BW_INPUT_RGB, BW_INPUT_BGR, BW_INPUT_RGBX, BW_INPUT_BGRX, BW_INPUT_I444, BW_INPUT_I420,
             BW_INPUT_NV12}},
      {420, {BW_INPUT_I422, BW_INPUT_YUYV, BW_INPUT_UYVY}},  // 4:2:2 reduced vertically
  };
  const std::uint32_t all[] = {BW_INPUT_RGB,  BW_INPUT_BGR,  BW_INPUT_RGBX, BW_INPUT_BGRX,
                               BW_INPUT_YUYV, BW_INPUT_UYVY, BW_INPUT_I444, BW_INPUT_I422,
                               BW_INPUT_I420, BW_INPUT_NV12};
  for (const Picture& pic : {read_ppm("chelsea.ppm"), synthetic(37, 23, 1), synthetic(1, 1, 2)}) {
    const Planes3 q = ycc_of(pic);
    for (const auto& c : cases) {
      Bytes first;
      for (const std::uint32_t kind : c.kinds) {
        const Input in = make_input_kind(pic, q, kind);
        const bw_config cfg = colour_config(pic.width, pic.height, kind, c.sampling, 80, 3);
        const Bytes got = encode(cfg, in, nullptr, 8 * vy_of(c.sampling));
        if (first.empty()) first = got;
        EXPECT_EQ(got, first) << pic.width << "x" << pic.height << " " << c.sampling << " kind " << kind;
      }
    }
    // I420 lines of whole MCUs are coded where they are: on every path.
    const Input i420 = make_input_kind(pic, q, BW_INPUT_I420);
    for (const std::uint32_t restart : {0u, 3u}) {
      const bw_config cfg = colour_config(pic.width, pic.height, BW_INPUT_I420, 420, 80, restart);
      const Bytes want = encode(cfg, i420, &reference_path);
      for (const CodePath* path : all_paths()) {
        const Bytes got = encode(cfg, i420, path);
        if (!got.empty()) {
          EXPECT_EQ(got, want) << pic.width << "x" << pic.height << " I420 " << path->name;
        }
      }
    }
    // Y alone, from every kind, is the grayscale frame of the Y plane.
    const bw_config gray = make_config(pic.width, pic.height, 80, 3);
    const Bytes want = encode_frame(gray, q.y.data(), pic.width);
    for (const std::uint32_t kind : all) {
      Input in = make_input_kind(pic, q, kind);
      if (kind >= BW_INPUT_I444) in.plane[1].clear(), in.plane[2].clear();  // not read
      bw_config cfg = colour_config(pic.width, pic.height, kind, 444, 80, 3);
      cfg.grayscale = 1;
      EXPECT_EQ(encode(cfg, in, nullptr, 8), want) << pic.width << "x" << pic.height << " kind " << kind;
    }
  }
}

// ---- Partial edge MCUs and restart intervals.

std::size_t count_markers(const Bytes& jpeg) {
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < jpeg.size(); ++i) n += jpeg[i] == 0xFF && (jpeg[i + 1] & 0xF8) == 0xD0;
  return n;
}

TEST(Colour, EdgeMcusAndRestartIntervalsDecode) {
  // 257 and 250 wide: a chunk of one pixel after a whole one; one whose
  // last MCU is padded from close to the end of the chunk's lines.
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1},  {2, 3},   {7, 9},   {17, 17},
                                                           {33, 9}, {16, 16}, {31, 33}, {8, 1},
                                                           {1, 40}, {129, 18}, {257, 17}, {250, 9}};
  for (const auto& [w, h] : sizes) {
    const Picture pic = synthetic(w, h, w * 100 + h);
    for (const std::uint32_t sampling : {444u, 422u, 420u}) {
      const std::uint32_t hy = sampling == 444 ? 1 : 2, vy = vy_of(sampling);
      const std::uint32_t mcus = ((w + 8 * hy - 1) / (8 * hy)) * ((h + 8 * vy - 1) / (8 * vy));
      for (const std::uint32_t restart : {0u, 1u, 2u, mcus + 1}) {
        // Quality 100: chroma steps of 1, whose reciprocals do not fit the
        // 16-bit paths, which must then give way; 97: reciprocals of 2^14 and
        // more, which the AVX-512 path quantizes its other way.
        const std::uint32_t quality = restart == 2 ? 100 : restart == 1 ? 97 : 90;
        const bw_config cfg = colour_config(w, h, BW_INPUT_RGB, sampling, quality, restart);
        const Bytes whole = encode(cfg, rgb_input(pic));
        const std::string what = std::to_string(w) + "x" + std::to_string(h) + " " +
                                 std::to_string(sampling) + " restart " + std::to_string(restart);
        const Decoded d = decode_jpeg(whole);
        ASSERT_TRUE(d.ok) << what << ": " << d.error;
        EXPECT_EQ(d.warnings, 0) << what;
        EXPECT_EQ(d.width, static_cast<int>(w));
        EXPECT_EQ(d.height, static_cast<int>(h));
        ASSERT_EQ(d.components, 3) << what;
        EXPECT_GT(psnr(pic.rgb.data(), d.pixels.data(), pic.rgb.size()), 20.0) << what;
        EXPECT_EQ(count_markers(whole), restart == 0 ? 0 : (mcus - 1) / restart) << what;
        EXPECT_LE(whole.size(), bw_max_encoded_size(&cfg));
        for (const CodePath* path : all_paths()) {
          const Bytes got = encode(cfg, rgb_input(pic), path, 8 * vy);
          if (!got.empty()) {
            EXPECT_EQ(got, whole) << what << " " << path->name;
          }
        }
      }
    }
  }
}

// ---- Quality against a peer.

// libjpeg-turbo's own encoding of the picture at a quality and sampling.
Bytes peer_encode(const Picture& p, int quality, std::uint32_t sampling) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = p.width;
  c.image_height = p.height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.comp_info[0].h_samp_factor = sampling == 444 ? 1 : 2;
  c.comp_info[0].v_samp_factor = sampling == 420 ? 2 : 1;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(p.rgb.data()) + std::size_t{c.next_scanline} * 3 * p.width;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(buf, buf + size);
  std::free(buf);
  return out;
}

TEST(Colour, QualityWithinAPeersAtTheSameSettings) {
  for (const char* file : {"astronaut.ppm", "coffee.ppm", "chelsea.ppm"}) {
    const Picture pic = read_ppm(file);
    for (const std::uint32_t sampling : {444u, 422u, 420u}) {
      const Decoded ours = decode_jpeg(encode(colour_config(pic.width, pic.height, BW_INPUT_RGB, sampling), rgb_input(pic)));
      const Decoded peer = decode_jpeg(peer_encode(pic, 75, sampling));
      ASSERT_TRUE(ours.ok && peer.ok);
      const double a = psnr(pic.rgb.data(), ours.pixels.data(), pic.rgb.size());
      const double b = psnr(pic.rgb.data(), peer.pixels.data(), pic.rgb.size());
      EXPECT_GT(a, b - 0.3) << file << " " << sampling << ": " << a << " dB against " << b;
    }
  }
}

// ---- Metadata segments.

TEST(Colour, MetadataSegmentsFollowApp0InOrder) {
  const Picture pic = synthetic(40, 24, 9);
  const Bytes exif = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42};
  const Bytes big(65533, 0xFF);
  const std::string text = "made by a test";
  const bw_segment segs[] = {{BW_APP(1), static_cast<std::uint32_t>(exif.size()), exif.data()},
                             {BW_COM, static_cast<std::uint32_t>(text.size()), text.data()},
                             {BW_APP(15), 0, nullptr},
                             {BW_APP(2), 65533, big.data()}};
  Bytes expect_meta;
  for (const auto& g : segs) {
    const std::uint32_t length = g.size + 2;
    expect_meta.insert(expect_meta.end(), {0xFF, static_cast<std::uint8_t>(g.marker),
                                           static_cast<std::uint8_t>(length >> 8),
                                           static_cast<std::uint8_t>(length)});
    const auto* d = static_cast<const std::uint8_t*>(g.data);
    if (g.size != 0) expect_meta.insert(expect_meta.end(), d, d + g.size);
  }
  for (const std::uint32_t gray : {0u, 1u}) {
    bw_config cfg = colour_config(pic.width, pic.height, BW_INPUT_RGB, 420);
    cfg.grayscale = gray;
    const Bytes plain = encode(cfg, rgb_input(pic));
    cfg.segments = segs;
    cfg.segment_count = 4;
    const Bytes with = encode(cfg, rgb_input(pic));
    Bytes want(plain.begin(), plain.begin() + 20);
    want.insert(want.end(), expect_meta.begin(), expect_meta.end());
    want.insert(want.end(), plain.begin() + 20, plain.end());
    EXPECT_TRUE(with == want) << "grayscale " << gray;
    EXPECT_LE(with.size(), bw_max_encoded_size(&cfg));
    EXPECT_TRUE(decode_jpeg(with).ok);
  }
}

// ---- Settings and calls refused.

TEST(Colour, RefusedSettingsAndCalls) {
  const Bytes seg(65534, 0);
  const bw_segment bad_size{BW_COM, 65534, seg.data()};
  const bw_segment app0{BW_APP(0), 1, seg.data()};
  const bw_segment sof{0xC0, 1, seg.data()};
  const bw_segment null_data{BW_COM, 1, nullptr};
  const struct {
    const char* what;
    void (*change)(bw_config&);
    const bw_segment* segment;
    int status;
  } cases[] = {
      {"struct_size 0", [](bw_config& c) { c.struct_size = 0; }, nullptr, BW_E_VERSION},
      {"struct_size + 8", [](bw_config& c) { c.struct_size += 8; }, nullptr, BW_E_VERSION},
      {"input 11", [](bw_config& c) { c.input = 11; }, nullptr, BW_E_INPUT},
      {"sampling 0", [](bw_config& c) { c.sampling = 0; }, nullptr, BW_E_SAMPLING},
      {"sampling 411", [](bw_config& c) { c.sampling = 411; }, nullptr, BW_E_SAMPLING},
      {"I420 at 444", [](bw_config& c) { c.input = BW_INPUT_I420, c.sampling = 444; }, nullptr, BW_E_SAMPLING},
      {"NV12 at 422", [](bw_config& c) { c.input = BW_INPUT_NV12, c.sampling = 422; }, nullptr, BW_E_SAMPLING},
      {"I422 at 444", [](bw_config& c) { c.input = BW_INPUT_I422, c.sampling = 444; }, nullptr, BW_E_SAMPLING},
      {"YUYV at 444", [](bw_config& c) { c.input = BW_INPUT_YUYV, c.sampling = 444; }, nullptr, BW_E_SAMPLING},
      {"UYVY at 444", [](bw_config& c) { c.input = BW_INPUT_UYVY, c.sampling = 444; }, nullptr, BW_E_SAMPLING},
      {"I420 at 444, Y alone", [](bw_config& c) { c.input = BW_INPUT_I420, c.sampling = 444, c.grayscale = 1; }, nullptr, BW_OK},
      {"segment of 65534", nullptr, &bad_size, BW_E_SEGMENT},
      {"APP0 segment", nullptr, &app0, BW_E_SEGMENT},
      {"SOF marker", nullptr, &sof, BW_E_SEGMENT},
      {"null payload", nullptr, &null_data, BW_E_SEGMENT},
      {"segments null", [](bw_config& c) { c.segment_count = 1; }, nullptr, BW_E_SEGMENT},
  };
  for (const auto& c : cases) {
    bw_config cfg = colour_config(16, 16, BW_INPUT_RGB, 420);
    if (c.change) c.change(cfg);
    if (c.segment) cfg.segments = c.segment, cfg.segment_count = 1;
    bw_encoder enc;
    Bytes out;
    EXPECT_EQ(bw_encoder_init(&enc, &cfg, append, &out), c.status) << c.what;
    EXPECT_EQ(bw_max_encoded_size(&cfg) == 0, c.status != BW_OK) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }

  // The caller's struct sizes.
  bw_config cfg;
  EXPECT_EQ(bw_default_config_sized(&cfg, sizeof cfg - 4), BW_E_VERSION);
  EXPECT_EQ(bw_default_config_sized(&cfg, sizeof cfg + 8), BW_E_VERSION);
  ASSERT_EQ(bw_default_config(&cfg), BW_OK);
  bw_encoder enc;
  EXPECT_EQ(bw_encoder_init_sized(&enc, sizeof enc - 8, &cfg, append, nullptr), BW_E_VERSION);
  EXPECT_EQ(bw_encoder_write_lines(&enc, seg.data(), 1280, 8), BW_E_STATE);

  // Calls that do not fit the input.
  Bytes out;
  const Picture pic = synthetic(20, 20, 3);
  const Input i420 = make_input_kind(pic, ycc_of(pic), BW_INPUT_I420);
  cfg = colour_config(20, 20, BW_INPUT_I420, 420);
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, append, &out), BW_OK);
  EXPECT_EQ(bw_encoder_write_lines(&enc, i420.plane[0].data(), 20, 16), BW_E_INPUT);
  const std::uint8_t* no_cr[3] = {i420.plane[0].data(), i420.plane[1].data(), nullptr};
  EXPECT_EQ(bw_encoder_write_planes(&enc, no_cr, i420.stride, 16), BW_E_ARGUMENT);
  const std::uint8_t* planes[3] = {i420.plane[0].data(), i420.plane[1].data(), i420.plane[2].data()};
  EXPECT_EQ(bw_encoder_write_planes(&enc, planes, i420.stride, 8), BW_E_LINES);  // 16 at 4:2:0
  EXPECT_EQ(bw_encoder_write_planes(&enc, planes, i420.stride, 20), BW_OK);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
  // The same file in memory.
  Bytes mem(bw_max_encoded_size(&cfg));
  std::size_t size = 0;
  EXPECT_EQ(bw_encode_planes_to_memory(&cfg, planes, i420.stride, mem.data(), mem.size(), &size), BW_OK);
  EXPECT_EQ(Bytes(mem.begin(), mem.begin() + static_cast<std::ptrdiff_t>(size)), out);
  EXPECT_EQ(bw_encode_to_memory(&cfg, planes[0], 20, mem.data(), mem.size(), &size), BW_E_INPUT);
  EXPECT_EQ(size, 0u);

  // A buffer too small, and a callback that stops the frame.
  Picture big{300, 200, Bytes(3 * 300 * 200)};  // noise: well over the encoder's 16 KiB buffer
  std::mt19937 rng(4);
  for (auto& v : big.rgb) v = static_cast<std::uint8_t>(rng());
  cfg = colour_config(300, 200, BW_INPUT_RGB, 444);
  size = 1;
  EXPECT_EQ(bw_encode_to_memory(&cfg, big.rgb.data(), 900, mem.data(), 2000, &size), BW_E_OUTPUT_FULL);
  EXPECT_EQ(size, 0u);
  auto refuse = [](void*, const std::uint8_t*, std::size_t) { return 1; };
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, refuse, nullptr), BW_OK);
  EXPECT_EQ(bw_encoder_write_lines(&enc, big.rgb.data(), 900, 200), BW_E_CALLBACK);
  EXPECT_EQ(bw_encoder_write_lines(&enc, big.rgb.data(), 900, 8), BW_E_STATE);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
}

}  // namespace
