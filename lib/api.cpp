// The C interface. Nothing here throws or keeps state of its own; only
// parallel.cpp allocates, for encoders with more than one thread.
#include <cstring>
#include <new>

#include "blockwright.h"
#include "encoder.hpp"

#ifndef BLOCKWRIGHT_VERSION
#error "the build defines BLOCKWRIGHT_VERSION"
#endif

extern "C" {

void bw_default_config(bw_config* cfg) {
  if (cfg == nullptr) return;
  cfg->width = 1280;
  cfg->height = 1024;
  cfg->quality = static_cast<std::uint32_t>(builtin_quality);
  cfg->restart_interval = 0;
  cfg->threads = 1;
}

size_t bw_max_encoded_size(const bw_config* cfg) {
  if (cfg == nullptr || check_config(*cfg) != BW_OK) return 0;
  // Every block at its largest, a restart marker after each, the header
  // and EOI: at most 2^32 blocks, so the product fits 64 bits.
  const std::uint64_t blocks = std::uint64_t{(cfg->width + 7) / 8} * ((cfg->height + 7) / 8);
  const std::uint64_t bound = blocks * max_block_marker_bytes + max_header_size + 4;
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
    case BW_E_LINES: return "lines out of turn: groups of 8, the last one shorter, and all of them before finish";
    case BW_E_OUTPUT_FULL: return "output buffer too small";
    case BW_E_CALLBACK: return "the write callback stopped the encoding";
    case BW_E_STATE: return "encoder not initialised, failed or finished";
    case BW_E_MEMORY: return "out of memory";
    default: return "unknown status";
  }
}

const char* bw_version(void) { return BLOCKWRIGHT_VERSION; }

int bw_encoder_init(bw_encoder* enc, const bw_config* cfg, bw_write_fn write, void* user) {
  if (enc == nullptr || cfg == nullptr || write == nullptr) return BW_E_ARGUMENT;
  Encoder& e = *new (enc->opaque_.bytes_) Encoder;
  e.magic = 0;
  if (const int status = check_config(*cfg)) return status;
  encoder_init(e, *cfg, write, user);
  return BW_OK;
}

int bw_encoder_write_lines(bw_encoder* enc, const uint8_t* lines, size_t stride, uint32_t count) {
  if (enc == nullptr) return BW_E_ARGUMENT;
  return encoder_write_lines(encoder_of(enc), lines, stride, count);
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

}  // namespace

extern "C" int bw_encode_to_memory(const bw_config* cfg, const uint8_t* samples, size_t stride,
                                   uint8_t* out,  // NOLINT(readability-non-const-parameter): written
                                   size_t capacity, size_t* size) {
  if (size != nullptr) *size = 0;
  if (cfg == nullptr || samples == nullptr || out == nullptr || size == nullptr) return BW_E_ARGUMENT;
  MemoryOut m{out, capacity, 0};
  bw_encoder enc;
  int status = bw_encoder_init(&enc, cfg, write_memory, &m);
  if (status == BW_OK) status = bw_encoder_write_lines(&enc, samples, stride, cfg->height);
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);  // after a refused line count, the threads are still there
  if (status == BW_E_CALLBACK) return BW_E_OUTPUT_FULL;
  if (status == BW_OK) *size = m.size;
  return status;
}
