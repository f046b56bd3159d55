// Encoders with several threads write the bytes of one thread: on random
// sizes, qualities, restart intervals, pictures and groupings of lines, with
// every code path the CPU runs; and they fail cleanly.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "blockwright.h"
#include "encoder.hpp"

namespace {

bw_config config_of(std::uint32_t width, std::uint32_t height, std::uint32_t quality,
                    std::uint32_t restart, std::uint32_t threads) {
  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = width;
  cfg.height = height;
  cfg.quality = quality;
  cfg.restart_interval = restart;
  cfg.threads = threads;
  return cfg;
}

using Bytes = std::vector<std::uint8_t>;

struct Sink {
  Bytes data;
  std::size_t fail_after = SIZE_MAX;  // the write that passes this many bytes fails
};

int collect(void* user, const std::uint8_t* data, std::size_t size) {
  auto& s = *static_cast<Sink*>(user);
  if (s.data.size() + size > s.fail_after) return 1;
  s.data.insert(s.data.end(), data, data + size);
  return 0;
}

// A picture: a gradient with noise of the given amplitude (0 to 255).
Bytes picture(std::uint32_t width, std::uint32_t height, int noise, std::mt19937& rng) {
  Bytes p(static_cast<std::size_t>(width) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const int base = static_cast<int>((x * 3 + y * 5) % 256);
      const int n = noise == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(2 * noise + 1)) - noise;
      p[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(std::clamp(base + n, 0, 255));
    }
  }
  return p;
}

// Encodes through the encoder object on `path`, the lines given in groups of
// the sizes in `groups` (cycled; multiples of 8), the last group what is left.
int encode(const bw_config& cfg, const CodePath* path, const Bytes& pic, const std::vector<std::uint32_t>& groups,
           Sink& sink) {
  bw_encoder enc;
  int status = bw_encoder_init(&enc, &cfg, collect, &sink);
  if (status != BW_OK) return status;
  Encoder& e = encoder_of(&enc);
  if (!path->serves(e.tables)) {
    bw_encoder_release(&enc);
    return -1;
  }
  e.path = path;
  std::uint32_t done = 0;
  for (std::size_t i = 0; status == BW_OK && done < cfg.height; ++i) {
    const std::uint32_t n = std::min(groups[i % groups.size()], cfg.height - done);
    status = bw_encoder_write_lines(&enc, pic.data() + static_cast<std::size_t>(done) * cfg.width,
                                    cfg.width, n);
    done += n;
  }
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);
  return status;
}

TEST(Threads, SameBytesAsOneThread) {
  std::mt19937 rng(2024);
  struct Case {
    std::uint32_t width, height, quality, restart;
    int noise;
  };
  std::vector<Case> cases = {
      {1, 1, 75, 0, 0},         {9, 17, 50, 1, 255},       {1280, 1024, 75, 0, 8},
      {999, 601, 30, 7, 255},   {1003, 377, 75, 256, 3},   {517, 515, 100, 1000, 255},
      {2047, 130, 75, 2049, 10}, {700, 300, 10, 65535, 60}, {64, 2000, 75, 37, 100},
      {4000, 24, 75, 0, 30},
  };
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t ri_choice[] = {0, 1, 2, 3, 5, 31, 160, 255, 300, 4097, 65535};
    cases.push_back({1 + static_cast<std::uint32_t>(rng() % 900), 1 + static_cast<std::uint32_t>(rng() % 600),
                     1 + static_cast<std::uint32_t>(rng() % 100), ri_choice[rng() % std::size(ri_choice)],
                     static_cast<int>(rng() % 256)});
  }
  // Whole frames at once, and streams of groups including single stripes.
  const std::vector<std::vector<std::uint32_t>> groupings = {{65535}, {64, 8, 200, 8, 8, 136}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Bytes pic = picture(c.width, c.height, c.noise, rng);
    // 2 threads on every case, 3 to 8 in turn.
    const std::uint32_t thread_counts[] = {2, 3 + static_cast<std::uint32_t>(i % 6)};
    for (const CodePath* p : all_paths()) {
      // The plain definition is slow: only on frames up to a fifth of a megapixel.
      if (p == &reference_path && c.width * c.height > 200000) continue;
      for (const auto& groups : groupings) {
        bw_config cfg = config_of(c.width, c.height, c.quality, c.restart, 1);
        Sink one;
        if (encode(cfg, p, pic, groups, one) != BW_OK) continue;  // path not here
        for (const std::uint32_t t : thread_counts) {
          cfg.threads = t;
          Sink many;
          ASSERT_EQ(encode(cfg, p, pic, groups, many), BW_OK);
          ASSERT_TRUE(many.data == one.data)
              << c.width << "x" << c.height << " q" << c.quality << " restart " << c.restart << " noise "
              << c.noise << " path " << p->name << " threads " << t
              << " groups of " << groups[0] << ": " << many.data.size() << " vs " << one.data.size()
              << " bytes";
        }
      }
    }
  }
}

// Colour frames (RGB lines and I420 planes, each sampling, with and
// without restart markers, and Y alone) on 2 to 4 threads: one thread's
// bytes, the whole frame in one call or in groups of MCU rows.
TEST(Threads, ColourFramesGiveOneThreadsBytes) {
  std::mt19937 rng(5);
  const std::uint32_t w = 733, h = 517;
  const Bytes gray = picture(3 * w, h, 40, rng);  // read as RGB: 3 bytes a pixel
  const std::uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  const std::uint8_t* planes[3] = {gray.data(), gray.data() + w * h, gray.data() + w * h + cw * ch};
  const std::size_t strides[3] = {w, cw, cw};
  struct Case {
    std::uint32_t input, sampling, restart, grayscale;
  };
  const Case cases[] = {{BW_INPUT_RGB, 420, 0, 0}, {BW_INPUT_RGB, 422, 3, 0}, {BW_INPUT_RGB, 444, 50, 0},
                        {BW_INPUT_I420, 420, 0, 0}, {BW_INPUT_I420, 420, 7, 0}, {BW_INPUT_RGB, 420, 5, 1},
                        {BW_INPUT_RGB, 420, 400, 0}};  // an interval longer than a chunk
  for (const Case& c : cases) {
    Bytes one;
    for (const std::uint32_t threads : {1u, 2u, 4u}) {
      for (const std::uint32_t group : {0u, 64u}) {
        bw_config cfg = config_of(w, h, 80, c.restart, threads);
        cfg.input = c.input, cfg.sampling = c.sampling, cfg.grayscale = c.grayscale;
        Sink sink;
        bw_encoder enc;
        ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
        for (std::uint32_t y = 0; y < h;) {
          const std::uint32_t n = group == 0 ? h : std::min(group, h - y);
          const std::uint8_t* at[3] = {planes[0] + y * strides[0] * (c.input == BW_INPUT_RGB ? 3 : 1),
                                       planes[1] + y / 2 * strides[1], planes[2] + y / 2 * strides[2]};
          const std::size_t st[3] = {strides[0] * (c.input == BW_INPUT_RGB ? 3 : 1), cw, cw};
          ASSERT_EQ(bw_encoder_write_planes(&enc, at, st, n), BW_OK);
          y += n;
        }
        ASSERT_EQ(bw_encoder_finish(&enc), BW_OK);
        if (one.empty()) one = sink.data;
        EXPECT_TRUE(sink.data == one) << c.input << " " << c.sampling << " restart " << c.restart
                                      << " threads " << threads << " group " << group;
      }
    }
  }
}

TEST(Threads, SettingsOutsideTheRangeAreRefused) {
  bw_config cfg;
  bw_default_config(&cfg);
  for (const std::uint32_t t : {0u, BW_MAX_THREADS + 1u, 0xFFFFFFFFu}) {
    cfg.threads = t;
    bw_encoder enc;
    EXPECT_EQ(bw_encoder_init(&enc, &cfg, collect, nullptr), BW_E_THREADS) << t;
    EXPECT_EQ(bw_max_encoded_size(&cfg), 0u);
    bw_encoder_release(&enc);  // harmless after a refusal
  }
}

// A write callback that fails part way stops the threads: the call reports
// it, the encoder takes nothing more, and nothing leaks or races (the
// sanitizer builds run this).
TEST(Threads, FailingCallbackStopsEveryThread) {
  std::mt19937 rng(7);
  const bw_config base = config_of(1280, 1024, 75, 0, 1);
  const Bytes pic = picture(base.width, base.height, 50, rng);
  Sink whole;
  ASSERT_EQ(encode(base, &scalar_path, pic, {65535}, whole), BW_OK);
  for (const std::uint32_t restart : {0u, 100u}) {
    for (const std::size_t fail_after : {std::size_t{0}, std::size_t{700}, std::size_t{20000},
                                         whole.data.size() / 2, whole.data.size() - 1}) {
      bw_config cfg = base;
      cfg.restart_interval = restart;
      cfg.threads = 3;
      Sink sink;
      sink.fail_after = fail_after;
      bw_encoder enc;
      ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
      int status = bw_encoder_write_lines(&enc, pic.data(), cfg.width, cfg.height);
      if (status == BW_OK) status = bw_encoder_finish(&enc);
      EXPECT_EQ(status, BW_E_CALLBACK) << fail_after;
      EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 8), BW_E_STATE);
      bw_encoder_release(&enc);

      std::vector<std::uint8_t> out(fail_after + 1);
      std::size_t size = 1;
      EXPECT_EQ(bw_encode_to_memory(&cfg, pic.data(), cfg.width, out.data(), fail_after, &size),
                BW_E_OUTPUT_FULL);
      EXPECT_EQ(size, 0u);
    }
  }
}

// An encoder abandoned mid-frame gives its threads back on release, and
// then refuses lines; a refused line count leaves it usable.
TEST(Threads, ReleaseAbandonsTheFrame) {
  std::mt19937 rng(11);
  bw_config cfg = config_of(800, 640, 75, 0, 4);
  const Bytes pic = picture(cfg.width, cfg.height, 10, rng);
  Sink sink;
  bw_encoder enc;
  ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
  ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 320), BW_OK);
  EXPECT_NE(encoder_of(&enc).parallel, nullptr);
  EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 12), BW_E_LINES);
  ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 64), BW_OK);
  bw_encoder_release(&enc);
  EXPECT_EQ(bw_encoder_write_lines(&enc, pic.data(), cfg.width, 8), BW_E_STATE);
  EXPECT_EQ(bw_encoder_finish(&enc), BW_E_STATE);
  bw_encoder_release(&enc);  // twice is harmless
}

// A callback that keeps the bytes and the largest piece it was given.
struct Pieces {
  Bytes data;
  std::size_t largest = 0;
};
int take_piece(void* user, const std::uint8_t* data, std::size_t size) {
  auto& p = *static_cast<Pieces*>(user);
  p.largest = std::max(p.largest, size);
  p.data.insert(p.data.end(), data, data + size);
  return 0;
}

// The write callback gets pieces of at most 16 KiB whatever the threads, the
// restart markers and the calls: on noise a chunk codes to hundreds of KiB,
// which the join once passed on whole.
TEST(Threads, CallbackPiecesAreAtMost16KiB) {
  std::mt19937 rng(5);
  const Bytes pic = picture(2048, 1024, 255, rng);
  const struct {
    std::uint32_t threads, restart, lines;  // lines a call
  } cases[] = {{1, 0, 1024}, {2, 0, 1024}, {4, 64, 1024}, {3, 0, 256}, {2, 2000, 512}};
  Bytes want;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, restart " + std::to_string(c.restart) + ", " +
                 std::to_string(c.lines) + " lines a call");
    const bw_config cfg = config_of(2048, 1024, 90, c.restart, c.threads);
    Pieces out;
    bw_encoder enc;
    ASSERT_EQ(bw_encoder_init(&enc, &cfg, take_piece, &out), BW_OK);
    for (std::uint32_t y = 0; y < cfg.height; y += c.lines) {
      ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data() + std::size_t{y} * cfg.width, cfg.width, c.lines), BW_OK);
    }
    ASSERT_EQ(bw_encoder_finish(&enc), BW_OK);
    EXPECT_LE(out.largest, 16384u);
    if (c.restart == 0 && want.empty()) want = out.data;
    if (c.restart == 0) {
      EXPECT_TRUE(out.data == want);
    }
  }
}

// The threads of this process, by id, as the kernel lists them (read only).
std::set<std::string> tasks() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(entry.path().filename().string());
  }
  return ids;
}

// The signals thread `id` of this process blocks.
std::uint64_t blocked_signals(const std::string& id) {
  std::ifstream status("/proc/self/task/" + id + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  return 0;
}

// Waits up to a second for the threads to be those of `want`: a joined
// thread leaves the kernel's list a moment after it has ended.
bool threads_back_to(const std::set<std::string>& want) {
  for (int i = 0; i < 1000; ++i) {
    if (tasks() == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The threads once their list has stayed the same for 100 ms (up to 2 s):
// threads joined just before may still be listed for a moment, longer
// under an emulator.
std::set<std::string> settled_tasks() {
  std::set<std::string> last = tasks();
  for (int still = 0, i = 0; still < 100 && i < 2000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::set<std::string> now = tasks();
    still = now == last ? still + 1 : 0;
    last = std::move(now);
  }
  return last;
}

// Every way an encoding with threads ends gives the threads back before the
// call returns, the refused finish (BW_E_LINES) among them; the workers
// start with every signal blocked, so a signal to the process never lands
// in one.
TEST(Threads, EveryEndingGivesTheThreadsBack) {
  std::mt19937 rng(12);
  const bw_config cfg = config_of(800, 640, 75, 0, 4);
  const Bytes pic = picture(cfg.width, cfg.height, 10, rng);
  Bytes out(bw_max_encoded_size(&cfg));
  std::size_t size = 0;
  // Once first, so that a sanitizer's own helper thread is already there.
  ASSERT_EQ(bw_encode_to_memory(&cfg, pic.data(), cfg.width, out.data(), out.size(), &size), BW_OK);
  const std::set<std::string> before = settled_tasks();

  enum End { Finish, FinishEarly, Release, CallbackFails };
  for (const End end : {Finish, FinishEarly, Release, CallbackFails}) {
    SCOPED_TRACE("ending " + std::to_string(end));
    Sink sink;
    if (end == CallbackFails) sink.fail_after = 30000;
    bw_encoder enc;
    ASSERT_EQ(bw_encoder_init(&enc, &cfg, collect, &sink), BW_OK);
    const int first = bw_encoder_write_lines(&enc, pic.data(), cfg.width, 320);
    if (end == CallbackFails) {
      EXPECT_EQ(first, BW_E_CALLBACK);
    } else {
      ASSERT_EQ(first, BW_OK);
      // The workers wait for the next call, every signal blocked.
      const std::set<std::string> now = tasks();
      EXPECT_EQ(now.size(), before.size() + 3);
      for (const std::string& id : now) {
        if (before.count(id) != 0) continue;
        const std::uint64_t mask = blocked_signals(id);
        for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGCHLD}) {
          EXPECT_TRUE(mask >> (sig - 1) & 1) << "thread " << id << " takes signal " << sig;
        }
      }
    }
    if (end == Finish) {
      ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data() + 320 * cfg.width, cfg.width, 320), BW_OK);
      EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
    } else if (end == FinishEarly) {
      EXPECT_EQ(bw_encoder_finish(&enc), BW_E_LINES);
    } else if (end == Release) {
      bw_encoder_release(&enc);
    }
    EXPECT_EQ(encoder_of(&enc).parallel, nullptr);
    EXPECT_TRUE(threads_back_to(before));
    if (end == FinishEarly) {  // refused, so the encoder goes on, threads and all
      ASSERT_EQ(bw_encoder_write_lines(&enc, pic.data() + 320 * cfg.width, cfg.width, 320), BW_OK);
      EXPECT_EQ(bw_encoder_finish(&enc), BW_OK);
      EXPECT_TRUE(sink.data == Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size)));
      EXPECT_TRUE(threads_back_to(before));
    }
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BW_SANITIZED 1
#endif
#endif

// The process's address space in bytes, as the kernel counts it.
[[maybe_unused]] std::size_t address_space() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return static_cast<std::size_t>(std::stoull(line.substr(7))) * 1024;  // in kB
  }
  return 0;
}

// With too little memory for the threads' buffers, or for the threads
// themselves, the encoder goes on with fewer threads, down to the calling
// one alone, and writes the same bytes. In a child process under an
// address-space limit (which the sanitizers' reservations rule out).
TEST(Threads, WithoutMemoryForThreadsTheSameBytes) {
#if defined(BW_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit allows";
#else
  std::mt19937 rng(21);
  const bw_config cfg = config_of(1600, 1200, 75, 0, 4);
  const Bytes pic = picture(cfg.width, cfg.height, 40, rng);
  Bytes want(bw_max_encoded_size(&cfg)), out(want.size());
  std::size_t want_size = 0;
  bw_config one = cfg;
  one.threads = 1;
  ASSERT_EQ(bw_encode_to_memory(&one, pic.data(), cfg.width, want.data(), want.size(), &want_size), BW_OK);
  const struct {
    const char* what;
    std::size_t room;  // address space left beyond what the process has
  } cases[] = {{"no memory for the buffers", 256 << 10}, {"buffers but no thread stacks", 24 << 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit limit{address_space() + c.room, address_space() + c.room};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
      std::size_t size = 0;
      const int status = bw_encode_to_memory(&cfg, pic.data(), cfg.width, out.data(), out.size(), &size);
      if (status != BW_OK) _exit(10 + status);
      _exit(size == want_size && std::memcmp(out.data(), want.data(), size) == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 + status, 2: other bytes, 3: no limit";
  }
#endif
}

// No thread of the library outlives the call that ends its encoding, so a
// program may unload the library right after: loaded and unloaded again and
// again, with encodings that end every way, nothing runs in unmapped code.
TEST(Threads, TheLibraryUnloadsOnceEncodingsEnd) {
  std::mt19937 rng(8);
  const bw_config cfg = [] {
    bw_config c;
    bw_default_config(&c);
    c.width = 800;
    c.height = 640;
    c.threads = 4;
    return c;
  }();
  const Bytes pic = picture(cfg.width, cfg.height, 30, rng);
  Bytes out(bw_max_encoded_size(&cfg));
  for (int round = 0; round < 12; ++round) {
    void* lib = dlopen(BW_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    const auto to_memory = reinterpret_cast<decltype(&bw_encode_to_memory)>(dlsym(lib, "bw_encode_to_memory"));
    const auto init = reinterpret_cast<decltype(&bw_encoder_init_sized)>(dlsym(lib, "bw_encoder_init_sized"));
    const auto lines = reinterpret_cast<decltype(&bw_encoder_write_lines)>(dlsym(lib, "bw_encoder_write_lines"));
    const auto release = reinterpret_cast<decltype(&bw_encoder_release)>(dlsym(lib, "bw_encoder_release"));
    ASSERT_TRUE(to_memory && init && lines && release);
    std::size_t size = 0;
    EXPECT_EQ(to_memory(&cfg, pic.data(), cfg.width, out.data(), out.size(), &size), BW_OK);
    Sink sink;
    bw_encoder enc;
    ASSERT_EQ(init(&enc, sizeof enc, &cfg, collect, &sink), BW_OK);
    EXPECT_EQ(lines(&enc, pic.data(), cfg.width, 320), BW_OK);  // the threads wait for more
    release(&enc);
    ASSERT_EQ(dlclose(lib), 0);
  }
}

}  // namespace
