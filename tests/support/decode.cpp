#include "decode.hpp"

// jpeglib.h needs FILE and size_t declared first.
#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <jpeglib.h>

#include "encode.hpp"

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  Decoded* result;
};

void on_error(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  err->result->error = text;
  std::longjmp(err->jump, 1);
}

void on_message(j_common_ptr cinfo, int level) {
  // Level -1 is a warning: corrupt data, premature end and the like.
  if (level < 0) reinterpret_cast<ErrorManager*>(cinfo->err)->result->warnings++;
}

}  // namespace

Decoded decode_jpeg(const std::vector<std::uint8_t>& jpeg) {
  Decoded out;
  jpeg_decompress_struct cinfo{};
  ErrorManager err{};
  err.result = &out;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = on_error;
  err.pub.emit_message = on_message;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    out.ok = false;
    return out;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.output_components;
  const std::size_t stride = static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.components);
  out.pixels.resize(stride * static_cast<std::size_t>(out.height));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.pixels.data() + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  out.ok = true;
  return out;
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0) return INFINITY;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / sum);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string images_dir() { return BW_IMAGES_DIR; }

std::vector<std::uint8_t> make_input(const std::vector<std::uint8_t>& samples) {
  const std::string header = "P5\n1280 1024\n255\n";
  std::vector<std::uint8_t> input(header.size() + samples.size());
  std::copy(header.begin(), header.end(), input.begin());
  std::copy(samples.begin(), samples.end(), input.begin() + static_cast<std::ptrdiff_t>(header.size()));
  return input;
}

std::vector<std::uint8_t> samples_of(const std::vector<std::uint8_t>& input) {
  if (input.size() < frame_samples) throw std::runtime_error("input too short");
  return {input.end() - static_cast<std::ptrdiff_t>(frame_samples), input.end()};
}

std::vector<std::uint8_t> encode_in_memory(const std::uint8_t* samples) {
  bw_config cfg;
  bw_default_config(&cfg);
  return encode_frame(cfg, samples, 1280);
}
