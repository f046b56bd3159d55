// The C interface. Nothing here throws or keeps state of its own; only
// parallel.cpp allocates, for encoders with more than one thread.
#include <cstring>
#include <new>

#include "blockwright.h"
#include "colour_tables.hpp"
#include "encoder.hpp"

#ifndef BLOCKWRIGHT_VERSION
#error "the build defines BLOCKWRIGHT_VERSION"
#endif

namespace {

// The settings, checked: first that the caller's bw_config is the one this
// library knows (a later version that adds fields accepts the sizes of the
// earlier ones, taking defaults for what they lack).
int checked(const bw_config* cfg) {
  if (cfg->struct_size != sizeof(bw_config)) return BW_E_VERSION;
  return check_config(*cfg);
}

}  // namespace

extern "C" {

int bw_default_config_sized(bw_config* cfg, size_t size) {
  if (cfg == nullptr) return BW_E_ARGUMENT;
  if (size != sizeof(bw_config)) return BW_E_VERSION;
  *cfg = bw_config{};
  cfg->struct_size = sizeof(bw_config);
  cfg->width = 1280;
  cfg->height = 1024;
  cfg->quality = static_cast<std::uint32_t>(builtin_quality);
  cfg->restart_interval = 0;
  cfg->threads = 1;
  cfg->input = BW_INPUT_GRAY;
  cfg->sampling = BW_SAMPLING_420;
  cfg->grayscale = 0;
  cfg->segment_count = 0;
  cfg->segments = nullptr;
  return BW_OK;
}

size_t bw_max_encoded_size(const bw_config* cfg) {
  if (cfg == nullptr || checked(cfg) != BW_OK) return 0;
  // Every block at its largest, a restart marker after each, the header,
  // the metadata and EOI: at most 6 * 2^32 blocks and 2^32 segments of
  // 64 KiB, so the sums fit 64 bits.
  std::uint32_t hy = 1, vy = 1, per_mcu = 1;
  std::uint64_t header = max_header_size;
  if (cfg->input != BW_INPUT_GRAY && cfg->grayscale == 0) {
    hy = cfg->sampling == BW_SAMPLING_444 ? 1 : 2;
    vy = cfg->sampling == BW_SAMPLING_420 ? 2 : 1;
    per_mcu = hy * vy + 2;
    header = colour_header_size + 6;
  }
  const std::uint64_t mcus =
      std::uint64_t{(cfg->width + 8 * hy - 1) / (8 * hy)} * ((cfg->height + 8 * vy - 1) / (8 * vy));
  std::uint64_t bound = mcus * per_mcu * max_block_marker_bytes + header + 4;
  for (std::uint32_t i = 0; i < cfg->segment_count; ++i) bound += 4 + std::uint64_t{cfg->segments[i].size};
  return bound > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(bound);
}

const char* bw_strerror(int status) {
  switch (status) {
    case BW_OK: return "success";
    case BW_E_ARGUMENT: return "a required pointer is null";
    case BW_E_SIZE: return "width and height must be 1 to 65535";
    case BW_E_QUALITY: return "quality must be 1 to 100";
    case BW_E_RESTART: return "restart interval must be 0 to 65535";
    case BW_E_THREADS: return "threads must be 1 to 64";
    case BW_E_LINES: return "lines out of turn: groups of 8 (16 at 4:2:0), the last one shorter, and all of them before finish";
    case BW_E_OUTPUT_FULL: return "output buffer too small";
    case BW_E_CALLBACK: return "the write callback stopped the encoding";
    case BW_E_STATE: return "encoder not initialised, failed or finished";
    case BW_E_MEMORY: return "out of memory";
    case BW_E_VERSION: return "built against another version of blockwright.h";
    case BW_E_INPUT: return "unknown input kind, or a planar one given as interleaved lines";
    case BW_E_SAMPLING: return "sampling must be 444, 422 or 420, and no finer than the input's";
    case BW_E_SEGMENT: return "metadata segments must be APP1 to APP15 or COM, of at most 65533 bytes";
    default: return "unknown status";
  }
}

const char* bw_version(void) { return BLOCKWRIGHT_VERSION; }

int bw_encoder_init_sized(bw_encoder* enc, size_t enc_size, const bw_config* cfg, bw_write_fn write,
                          void* user) {
  if (enc == nullptr || cfg == nullptr || write == nullptr) return BW_E_ARGUMENT;
  // A caller's encoder smaller than this library's is never written to
  // beyond its first word, which marks it unusable (a size of 4 or more).
  if (enc_size != sizeof(bw_encoder)) {
    if (enc_size >= sizeof(std::uint32_t)) std::memset(enc, 0, sizeof(std::uint32_t));
    return BW_E_VERSION;
  }
  Encoder& e = *new (enc->opaque_.bytes_) Encoder;
  e.magic = 0;
  if (const int status = checked(cfg)) return status;
  return encoder_init(e, *cfg, write, user);
}

int bw_encoder_write_lines(bw_encoder* enc, const uint8_t* lines, size_t stride, uint32_t count) {
  if (enc == nullptr) return BW_E_ARGUMENT;
  return encoder_write_lines(encoder_of(enc), lines, stride, count);
}

int bw_encoder_write_planes(bw_encoder* enc, const uint8_t* const planes[3], const size_t strides[3],
                            uint32_t count) {
  if (enc == nullptr || planes == nullptr || strides == nullptr) return BW_E_ARGUMENT;
  return encoder_write_planes(encoder_of(enc), Planes{{planes[0], planes[1], planes[2]},
                                                      {strides[0], strides[1], strides[2]}},
                              count);
}

int bw_encoder_finish(bw_encoder* enc) {
  if (enc == nullptr) return BW_E_ARGUMENT;
  return encoder_finish(encoder_of(enc));
}

void bw_encoder_release(bw_encoder* enc) {
  if (enc == nullptr) return;
  Encoder& e = encoder_of(enc);
  if (e.magic != encoder_ready) return;  // finished, failed or never set up: nothing held
  e.magic = 0;
  parallel_release(e);
}

}  // extern "C"

namespace {

struct MemoryOut {
  std::uint8_t* data;
  size_t capacity;
  size_t size;
};

int write_memory(void* user, const std::uint8_t* data, size_t size) {
  auto& m = *static_cast<MemoryOut*>(user);
  if (size > m.capacity - m.size) return 1;
  std::memcpy(m.data + m.size, data, size);
  m.size += size;
  return 0;
}

// One whole frame into memory, from interleaved lines (planes null) or
// planes. *size is 0 on every failure.
int encode_to_memory(const bw_config* cfg, const std::uint8_t* samples, std::size_t stride,
                     const Planes* planes,
                     std::uint8_t* out,  // NOLINT(readability-non-const-parameter): written
                     size_t capacity, size_t* size) {
  if (size != nullptr) *size = 0;
  if (cfg == nullptr || out == nullptr || size == nullptr) return BW_E_ARGUMENT;
  if (planes == nullptr && samples == nullptr) return BW_E_ARGUMENT;
  MemoryOut m{out, capacity, 0};
  bw_encoder enc;
  int status = bw_encoder_init(&enc, cfg, write_memory, &m);
  if (status == BW_OK) {
    Encoder& e = encoder_of(&enc);
    status = planes != nullptr ? encoder_write_planes(e, *planes, cfg->height)
                               : encoder_write_lines(e, samples, stride, cfg->height);
  }
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);  // after a refused line count, the threads are still there
  if (status == BW_E_CALLBACK) return BW_E_OUTPUT_FULL;
  if (status == BW_OK) *size = m.size;
  return status;
}

}  // namespace

extern "C" int bw_encode_to_memory(const bw_config* cfg, const uint8_t* samples, size_t stride,
                                   uint8_t* out,  // NOLINT(readability-non-const-parameter): written
                                   size_t capacity, size_t* size) {
  if (samples == nullptr) {
    if (size != nullptr) *size = 0;
    return BW_E_ARGUMENT;
  }
  return encode_to_memory(cfg, samples, stride, nullptr, out, capacity, size);
}

extern "C" int bw_encode_planes_to_memory(const bw_config* cfg, const uint8_t* const planes[3],
                                          const size_t strides[3],
                                          uint8_t* out,  // NOLINT(readability-non-const-parameter)
                                          size_t capacity, size_t* size) {
  if (planes == nullptr || strides == nullptr) {
    if (size != nullptr) *size = 0;
    return BW_E_ARGUMENT;
  }
  const Planes p{{planes[0], planes[1], planes[2]}, {strides[0], strides[1], strides[2]}};
  return encode_to_memory(cfg, nullptr, 0, &p, out, capacity, size);
}
