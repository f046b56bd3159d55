// Every status of the C API, each from the call that should give it: refused
// settings, null pointers, lines out of turn, a full buffer, a refusing
// callback, an encoder that was never set up, failed or finished. After a
// failure nothing reports a size, and nothing is written past the buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "blockwright.h"

namespace {

bw_config config(std::uint32_t width, std::uint32_t height, std::uint32_t restart = 0) {
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = width;
  cfg.height = height;
  cfg.restart_interval = restart;
  return cfg;
}

// Noise codes to the longest blocks: a stripe fills the encoder's buffer.
std::vector<std::uint8_t> noise(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = 12345;
  for (auto& b : v) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  return v;
}

// A write callback collecting the bytes, refusing from call `refuse_at` on.
struct Sink {
  std::vector<std::uint8_t> bytes;
  int calls = 0;
  int refuse_at = -1;
};
int sink_write(void* user, const std::uint8_t* data, std::size_t size) {
  auto& s = *static_cast<Sink*>(user);
  if (s.calls++ == s.refuse_at) return 1;
  s.bytes.insert(s.bytes.end(), data, data + size);
  return 0;
}

TEST(ApiStatus, RefusedSettings) {
  const struct {
    const char* what;
    std::function<void(bw_config&)> change;
    int status;
  } cases[] = {
      {"width 0", [](bw_config& c) { c.width = 0; }, BW_E_SIZE},
      {"height 0", [](bw_config& c) { c.height = 0; }, BW_E_SIZE},
      {"width 65536", [](bw_config& c) { c.width = 65536; }, BW_E_SIZE},
      {"height 65536", [](bw_config& c) { c.height = 65536; }, BW_E_SIZE},
      {"quality 0", [](bw_config& c) { c.quality = 0; }, BW_E_QUALITY},
      {"quality 101", [](bw_config& c) { c.quality = 101; }, BW_E_QUALITY},
      {"restart 65536", [](bw_config& c) { c.restart_interval = 65536; }, BW_E_RESTART},
      {"threads 0", [](bw_config& c) { c.threads = 0; }, BW_E_THREADS},
  };
  const std::vector<std::uint8_t> samples(64 * 64, 128);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bw_config cfg = config(64, 64);
    c.change(cfg);
    EXPECT_EQ(bw_max_encoded_size(&cfg), 0u);
    std::vector<std::uint8_t> out(1 << 16);
    std::size_t size = 1;
    EXPECT_EQ(bw_encode_to_memory(&cfg, samples.data(), 64, out.data(), out.size(), &size),
              c.status);
    EXPECT_EQ(size, 0u);
    bw_encoder enc;
    Sink sink;
    EXPECT_EQ(bw_encoder_init(&enc, &cfg, sink_write, &sink), c.status);
    EXPECT_EQ(bw_encoder_write_lines(&enc, samples.data(), 64, 8), BW_E_STATE);
    EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
    EXPECT_EQ(sink.calls, 0);
  }
}

TEST(ApiStatus, NullPointers) {
  const bw_config cfg = config(16, 16);
  const std::vector<std::uint8_t> samples(256, 7);
  std::vector<std::uint8_t> out(4096);
  const std::uint8_t* in = samples.data();
  std::uint8_t* buf = out.data();
  std::size_t size = 0;
  bw_encoder enc;
  Sink sink;
  const struct {
    const char* what;
    std::function<int()> call;
  } cases[] = {
      {"memory: cfg", [&] { return bw_encode_to_memory(nullptr, in, 16, buf, 4096, &size); }},
      {"memory: samples", [&] { return bw_encode_to_memory(&cfg, nullptr, 16, buf, 4096, &size); }},
      {"memory: out", [&] { return bw_encode_to_memory(&cfg, in, 16, nullptr, 4096, &size); }},
      {"memory: size", [&] { return bw_encode_to_memory(&cfg, in, 16, buf, 4096, nullptr); }},
      {"init: encoder", [&] { return bw_encoder_init(nullptr, &cfg, sink_write, &sink); }},
      {"init: cfg", [&] { return bw_encoder_init(&enc, nullptr, sink_write, &sink); }},
      {"init: callback", [&] { return bw_encoder_init(&enc, &cfg, nullptr, &sink); }},
      {"lines: encoder", [&] { return bw_encoder_write_lines(nullptr, in, 16, 8); }},
      {"lines: lines",
       [&] {
         EXPECT_EQ(bw_encoder_init(&enc, &cfg, sink_write, &sink), BW_OK);
         return bw_encoder_write_lines(&enc, nullptr, 16, 8);
       }},
      {"finish: encoder", [&] { return bw_encoder_finish(nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    size = 7;
    EXPECT_EQ(c.call(), BW_E_ARGUMENT);
    // bw_encode_to_memory reports no size after any failure, this one too.
    const bool memory = std::strncmp(c.what, "memory", 6) == 0 && std::strcmp(c.what, "memory: size") != 0;
    EXPECT_EQ(size, memory ? 0u : 7u);
  }
  EXPECT_EQ(bw_max_encoded_size(nullptr), 0u);
  bw_default_config(nullptr);  // does nothing
}

// Streaming calls in order on a 16 x 20 frame (groups of 8, 8 and 4 lines):
// each call's status; a refused call leaves the encoder as it was, so the
// sequences that end in success give the bytes of an encoding in one call.
TEST(ApiStatus, LinesAndState) {
  enum Op { Lines, Finish, Init, Zero };
  struct Step {
    Op op;
    std::uint32_t count;
    int status;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
    bool complete;  // the stream is the whole frame's
  } cases[] = {
      {"whole frame",
       {{Init, 0, BW_OK}, {Lines, 8, BW_OK}, {Lines, 8, BW_OK}, {Lines, 4, BW_OK},
        {Finish, 0, BW_OK}},
       true},
      {"all at once", {{Init, 0, BW_OK}, {Lines, 20, BW_OK}, {Finish, 0, BW_OK}}, true},
      {"16 then the rest",
       {{Init, 0, BW_OK}, {Lines, 16, BW_OK}, {Lines, 4, BW_OK}, {Finish, 0, BW_OK}}, true},
      {"a group not of 8",
       {{Init, 0, BW_OK}, {Lines, 5, BW_E_LINES}, {Lines, 0, BW_E_LINES}, {Lines, 8, BW_OK},
        {Lines, 12, BW_OK}, {Finish, 0, BW_OK}}, true},
      {"past the end",
       {{Init, 0, BW_OK}, {Lines, 16, BW_OK}, {Lines, 8, BW_E_LINES}, {Lines, 24, BW_E_LINES},
        {Lines, 4, BW_OK}, {Lines, 8, BW_E_LINES}, {Finish, 0, BW_OK}}, true},
      {"finish early",
       {{Init, 0, BW_OK}, {Finish, 0, BW_E_LINES}, {Lines, 8, BW_OK}, {Finish, 0, BW_E_LINES},
        {Lines, 12, BW_OK}, {Finish, 0, BW_OK}}, true},
      {"after finish",
       {{Init, 0, BW_OK}, {Lines, 20, BW_OK}, {Finish, 0, BW_OK}, {Lines, 8, BW_E_STATE},
        {Finish, 0, BW_E_STATE}}, true},
      {"never set up", {{Zero, 0, BW_OK}, {Lines, 8, BW_E_STATE}, {Finish, 0, BW_E_STATE}},
       false},
  };
  const std::vector<std::uint8_t> frame = noise(16 * 20);
  const bw_config cfg = config(16, 20);
  std::vector<std::uint8_t> whole(bw_max_encoded_size(&cfg));
  std::size_t whole_size = 0;
  ASSERT_EQ(bw_encode_to_memory(&cfg, frame.data(), 16, whole.data(), whole.size(), &whole_size),
            BW_OK);
  whole.resize(whole_size);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bw_encoder enc;
    Sink sink;
    std::uint32_t line = 0;
    for (const Step& s : c.steps) {
      int status = BW_OK;
      switch (s.op) {
        case Init: status = bw_encoder_init(&enc, &cfg, sink_write, &sink); break;
        case Zero: std::memset(&enc, 0, sizeof enc); break;
        case Finish: status = bw_encoder_finish(&enc); break;
        case Lines:
          status = bw_encoder_write_lines(&enc, &frame[16 * std::min(line, 19u)], 16, s.count);
          if (status == BW_OK) line += s.count;
          break;
      }
      EXPECT_EQ(status, s.status) << "step " << &s - c.steps.data();
    }
    if (c.complete) {
      EXPECT_EQ(sink.bytes, whole);
    }
  }
}

// The output buffer one byte short, and far too short, of a stream, and a
// callback refusing at its first and at a later call: their own statuses,
// no size, no byte past the buffer, and the encoder unusable after.
TEST(ApiStatus, OutputRefused) {
  const bw_config cfg = config(2048, 64, 1);  // noise with a marker after every block
  const std::vector<std::uint8_t> frame = noise(2048 * 64);
  const std::size_t bound = bw_max_encoded_size(&cfg);
  std::vector<std::uint8_t> out(bound + 1);
  std::size_t size = 0;
  ASSERT_EQ(bw_encode_to_memory(&cfg, frame.data(), 2048, out.data(), bound, &size), BW_OK);
  ASSERT_LE(size, bound);
  ASSERT_GT(size, 3 * 16384u);  // the encoder's buffer was sent several times
  const std::vector<std::uint8_t> whole(out.data(), out.data() + size);

  for (const std::size_t capacity : {std::size_t{0}, std::size_t{100}, size / 2, size - 1}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    std::fill(out.begin(), out.end(), 0xA5);
    std::size_t got = 1;
    EXPECT_EQ(bw_encode_to_memory(&cfg, frame.data(), 2048, out.data(), capacity, &got),
              BW_E_OUTPUT_FULL);
    EXPECT_EQ(got, 0u);
    for (std::size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "byte " << i;
  }
  std::size_t got = 0;
  EXPECT_EQ(bw_encode_to_memory(&cfg, frame.data(), 2048, out.data(), size, &got), BW_OK);
  EXPECT_EQ(got, size);

  for (const int refuse_at : {0, 2}) {
    SCOPED_TRACE("refusing call " + std::to_string(refuse_at));
    bw_encoder enc;
    Sink sink;
    sink.refuse_at = refuse_at;
    ASSERT_EQ(bw_encoder_init(&enc, &cfg, sink_write, &sink), BW_OK);
    EXPECT_EQ(bw_encoder_write_lines(&enc, frame.data(), 2048, 64), BW_E_CALLBACK);
    EXPECT_EQ(sink.calls, refuse_at + 1);
    EXPECT_EQ(bw_encoder_write_lines(&enc, frame.data(), 2048, 8), BW_E_STATE);
    EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
    EXPECT_EQ(sink.calls, refuse_at + 1);
    ASSERT_LE(sink.bytes.size(), whole.size());
    EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), whole.begin()));
  }
  // The last call, in finish.
  const bw_config small = config(16, 8);
  bw_encoder enc;
  Sink sink;
  sink.refuse_at = 0;
  ASSERT_EQ(bw_encoder_init(&enc, &small, sink_write, &sink), BW_OK);
  ASSERT_EQ(bw_encoder_write_lines(&enc, frame.data(), 16, 8), BW_OK);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_CALLBACK);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
}

TEST(ApiStatus, Messages) {
  std::set<std::string> seen;
  for (int status = BW_OK; status <= BW_E_SEGMENT; ++status) {
    const char* m = bw_strerror(status);
    ASSERT_NE(m, nullptr);
    EXPECT_GT(std::strlen(m), 5u);
    EXPECT_TRUE(seen.insert(m).second) << "status " << status << " shares its message";
  }
  for (const int unknown : {-1, BW_E_SEGMENT + 1, 1 << 30}) {
    EXPECT_STREQ(bw_strerror(unknown), "unknown status");
  }
}

}  // namespace
