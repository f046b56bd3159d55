#include "parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "encoder.hpp"

namespace {

// Chunks: at least min_chunk blocks (so the seed transform, the locking and
// the join's bookkeeping stay far below the coding), at most max_chunk (so a
// chunk's buffer stays under a megabyte), and about 16 a thread for a frame,
// so that the last chunks, coded while other threads may idle, are short.
// With restart markers every few blocks, chunks are whole intervals, so that
// every chunk starts on a byte boundary and joins by copying.
constexpr std::uint32_t min_chunk = 256;
constexpr std::uint32_t max_chunk = 2048;
constexpr std::uint32_t chunks_per_thread = 16;
static_assert(max_chunk * max_block_marker_bytes < (std::uint32_t{1} << 31));

// Threads that can share the frame: no more than asked, and no more than
// its blocks make chunks of min_chunk.
std::uint32_t threads_used(const Encoder& e) {
  return std::min(e.threads, std::max<std::uint32_t>(1, e.blocks_total / min_chunk));
}

std::uint32_t chunk_blocks(const Encoder& e, std::uint32_t threads) {
  const std::uint32_t per = chunks_per_thread * threads;
  std::uint32_t k = std::clamp((e.blocks_total + per - 1) / per, min_chunk, max_chunk);
  const std::uint32_t ri = e.restart_interval;
  if (ri != 0 && ri <= max_chunk) k = std::max<std::uint32_t>(k / ri, 1) * ri;
  return k;
}

// Up to 7 bits not yet in a whole byte, right-aligned.
struct Bits {
  std::uint32_t count, value;
};

Bits pending(const CoderState& s) {
  const std::uint32_t n = s.CodeSize;
  return {n, static_cast<std::uint32_t>(s.CodeVal >> (24 - n)) & ((1u << n) - 1u)};
}

// One chunk's coded bytes (stuffed, as in the stream), in two parts when a
// restart marker falls inside it: the head, up to that marker, whose bits go
// wherever the stream has got to; and the rest, from the marker on, which
// starts on a byte boundary and is copied as it is.
struct Slot {
  std::uint8_t* buf;
  std::uint32_t head_end, end;  // bytes of the head; of the whole chunk
  Bits head_bits, tail_bits;    // bits after the head's bytes; after the last byte
  std::int32_t last_dc;         // the DC prediction after the chunk
  bool marker;                  // a restart marker ends the head
  bool done;                    // coded, ready to join (under the mutex)
};

// One call's work: its lines and where its blocks lie in the frame.
struct Job {
  const std::uint8_t* lines;
  std::size_t stride;
  std::uint32_t count;         // lines of the call
  std::uint32_t first_stripe;  // stripe of the call's first line
  std::uint32_t begin, end;    // blocks of the call, frame-wide indices
  std::uint32_t chunk;         // blocks a chunk; chunk c covers c * chunk onwards
  std::uint32_t first_chunk;   // begin / chunk
  std::uint32_t width, blocks_x, blocks_total, restart_interval;
  std::int32_t last_dc;  // the DC prediction before begin
  const CodePath* path;
  Component component;
};

constexpr std::uint32_t max_slots = 2 * BW_MAX_THREADS + 2;

}  // namespace

// The threads and chunk buffers of one encoder. Every field is guarded by
// mutex (`finished` is also read without it, atomically, as a hint); a
// slot's buffer and results belong to the thread that claimed its chunk until
// it sets done, then to the caller until the chunk is joined.
struct Parallel {
  pthread_mutex_t mutex;
  pthread_cond_t wake;       // workers: a chunk can be claimed, or quit
  pthread_cond_t coded;      // caller: a chunk is done
  const Job* job;            // the call under way, or null
  std::uint32_t next;        // next chunk to claim
  std::uint32_t chunks;      // chunks of the call (fewer after a failure)
  std::uint32_t joined;      // chunks appended to the stream
  std::uint32_t idle;        // workers waiting on wake
  bool caller_waiting;       // the caller waits on coded
  std::uint32_t finished;    // chunks coded by the workers, also read unlocked (atomics)
  bool quit;
  std::uint32_t workers;     // threads started besides the caller's
  std::uint32_t wanted;      // how many of them the encoder runs
  std::uint32_t users;       // the encoder and its running threads: the last frees it
  std::uint32_t slots;       // chunks in flight at most: chunk c uses slot c % slots
  std::uint32_t chunk;       // blocks a chunk
  Slot slot[max_slots];
};

namespace {

// The samples of stripe s of the call, and how many lines it has.
const std::uint8_t* stripe_at(const Job& j, std::uint32_t s, std::uint32_t& rows) {
  const std::uint32_t line = 8 * (s - j.first_stripe);
  rows = std::min<std::uint32_t>(8, j.count - line);
  return j.lines + line * j.stride;
}

// Codes the n blocks from frame block b on, all in one stripe, as
// code_stripe does: whole blocks in place, the others from an edge copy.
void code_range(const Job& j, CoderState& s, std::uint8_t* edge, std::uint32_t b, std::uint32_t n) {
  std::uint32_t rows;
  const std::uint8_t* p = stripe_at(j, b / j.blocks_x, rows);
  std::uint32_t x = b % j.blocks_x;
  const std::uint32_t whole = rows == 8 ? j.width / 8 : 0;
  if (x < whole) {
    const std::uint32_t m = std::min(n, whole - x);
    j.path->code_blocks(s, j.component, p + 8 * static_cast<std::size_t>(x), j.stride, static_cast<int>(m));
    x += m;
    n -= m;
  }
  while (n > 0) {
    const std::uint32_t m = std::min<std::uint32_t>(n, edge_blocks);
    copy_edge(edge, p, j.stride, rows, j.width, x, m);
    j.path->code_blocks(s, j.component, edge, edge_stride, static_cast<int>(m));
    x += m;
    n -= m;
  }
}

// The DC prediction a single thread holds before block b of the call: what
// the encoder held before the call, 0 after a restart marker, else the
// quantized DC of block b - 1, transformed once more.
std::int32_t seed(const Job& j, std::uint32_t b, std::uint8_t* edge) {
  if (b == j.begin) return j.last_dc;
  if (j.restart_interval != 0 && b % j.restart_interval == 0) return 0;
  --b;
  std::uint32_t rows;
  const std::uint8_t* p = stripe_at(j, b / j.blocks_x, rows);
  const std::uint32_t x = b % j.blocks_x;
  std::size_t stride = j.stride;
  if (rows == 8 && x < j.width / 8) {
    p += 8 * static_cast<std::size_t>(x);
  } else {
    copy_edge(edge, p, j.stride, rows, j.width, x, 1);
    p = edge;
    stride = edge_stride;
  }
  std::int32_t block[64];
  std::uint32_t codes[64];
  j.path->dct_quant(p, stride, *j.component.quant, block, codes);
  return block[0];
}

// Codes chunk c of the call (counted from the call's first) into slot.
void code_chunk(const Job& j, std::uint32_t c, Slot& slot) {
  alignas(32) std::uint8_t edge[8 * edge_stride];
  const std::uint32_t first = (j.first_chunk + c) * j.chunk;
  const std::uint32_t from = std::max(j.begin, first), to = std::min(j.end, first + j.chunk);
  const std::uint32_t ri = j.restart_interval;
  CoderState s{};
  s.optr = slot.buf;
  s.lastDC[j.component.index] = seed(j, from, edge);
  slot.marker = false;
  for (std::uint32_t b = from; b < to;) {
    std::uint32_t n = std::min(to - b, j.blocks_x - b % j.blocks_x);
    if (ri != 0) n = std::min(n, ri - b % ri);
    code_range(j, s, edge, b, n);
    b += n;
    if (ri != 0 && b % ri == 0 && b < j.blocks_total) {
      // The first marker's padding depends on where the stream stands when
      // the chunk is joined: the join writes it. Later ones are padded here.
      if (!slot.marker) {
        slot.marker = true;
        slot.head_end = static_cast<std::uint32_t>(s.optr - slot.buf);
        slot.head_bits = pending(s);
      } else {
        pad_to_byte(s);
      }
      put_restart_marker(s, b / ri - 1);
    }
  }
  slot.end = static_cast<std::uint32_t>(s.optr - slot.buf);
  slot.tail_bits = pending(s);
  slot.last_dc = s.lastDC[j.component.index];
  if (!slot.marker) {
    slot.head_end = slot.end;
    slot.head_bits = slot.tail_bits;
  }
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

// Waits until a worker has coded another chunk; under the mutex. Spins a
// while first (some tens of microseconds), since the chunk is often nearly
// done and waking a sleeping thread costs about as much.
void wait_coded(Parallel& P) {
  const std::uint32_t seen = P.finished;
  pthread_mutex_unlock(&P.mutex);
  for (int i = 0; i < 4000 && __atomic_load_n(&P.finished, __ATOMIC_ACQUIRE) == seen; ++i) cpu_relax();
  pthread_mutex_lock(&P.mutex);
  if (P.finished != seen) return;
  P.caller_waiting = true;
  pthread_cond_wait(&P.coded, &P.mutex);
  P.caller_waiting = false;
}

bool claimable(const Parallel& P) {
  return P.job != nullptr && P.next < P.chunks && P.next < P.joined + P.slots;
}

// Claims the next chunk; under the mutex.
std::uint32_t claim(Parallel& P) {
  const std::uint32_t c = P.next++;
  P.slot[c % P.slots].done = false;
  return c;
}

// Frees the struct once its last user has let it go; under the mutex,
// which it unlocks.
void leave(Parallel* P) {
  const bool last = --P->users == 0;
  pthread_mutex_unlock(&P->mutex);
  if (!last) return;
  pthread_cond_destroy(&P->coded);
  pthread_cond_destroy(&P->wake);
  pthread_mutex_destroy(&P->mutex);
  std::free(P);
}

void* worker(void* arg) {
  Parallel& P = *static_cast<Parallel*>(arg);
  pthread_mutex_lock(&P.mutex);
  for (;;) {
    if (P.quit) break;
    if (!claimable(P)) {
      ++P.idle;
      pthread_cond_wait(&P.wake, &P.mutex);
      --P.idle;
      continue;
    }
    const std::uint32_t c = claim(P);
    const Job& job = *P.job;
    Slot& slot = P.slot[c % P.slots];
    pthread_mutex_unlock(&P.mutex);
    code_chunk(job, c, slot);
    pthread_mutex_lock(&P.mutex);
    slot.done = true;
    __atomic_add_fetch(&P.finished, 1, __ATOMIC_RELEASE);
    if (P.caller_waiting) pthread_cond_signal(&P.coded);
  }
  leave(&P);
  return nullptr;
}

// ---- The join: the calling thread appends chunks to the stream.

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
// the buffer, or straight to the write callback when they are many.
int put_aligned(Encoder& e, const std::uint8_t* p, std::size_t n) {
  if (static_cast<std::size_t>(out_end(e) - e.coder.optr) < n + 16) {
    if (const int status = encoder_flush(e)) return status;
    if (n >= outbuffer_size / 2) return e.write(e.user, p, n) != 0 ? BW_E_CALLBACK : BW_OK;
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

// Appends a coded chunk to the stream, as if the encoder had coded it.
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
  e.coder.lastDC[0] = slot.last_dc;
  return status;
}

// Sets up the buffers and the mutex and conditions, with no thread yet:
// BW_E_MEMORY when they cannot be had. malloc, not calloc: the buffers need
// no clearing, and a frame's encoder often gets memory just freed by the last.
int start(Encoder& e) {
  const std::uint32_t threads = threads_used(e);
  const std::uint32_t chunk = chunk_blocks(e, threads);
  const std::uint32_t slots = 2 * threads + 2;
  const std::size_t capacity = static_cast<std::size_t>(chunk) * max_block_marker_bytes + 16;
  // The buffers follow the struct; a chunk of 2048 blocks needs about 870 KB
  // at most, though only what is coded is ever touched.
  auto* P = static_cast<Parallel*>(std::malloc(sizeof(Parallel) + slots * capacity));
  if (P == nullptr) return BW_E_MEMORY;
  std::memset(static_cast<void*>(P), 0, sizeof(Parallel));
  auto* bufs = reinterpret_cast<std::uint8_t*>(P + 1);
  for (std::uint32_t i = 0; i < slots; ++i) P->slot[i].buf = bufs + i * capacity;
  P->slots = slots;
  P->chunk = chunk;
  P->wanted = threads - 1;
  P->users = 1;
  if (pthread_mutex_init(&P->mutex, nullptr) != 0) {
    std::free(P);
    return BW_E_MEMORY;
  }
  if (pthread_cond_init(&P->wake, nullptr) != 0) {
    pthread_mutex_destroy(&P->mutex);
    std::free(P);
    return BW_E_MEMORY;
  }
  if (pthread_cond_init(&P->coded, nullptr) != 0) {
    pthread_cond_destroy(&P->wake);
    pthread_mutex_destroy(&P->mutex);
    std::free(P);
    return BW_E_MEMORY;
  }
  e.parallel = P;
  return BW_OK;
}

// Starts the threads not yet running, once a job is there for them to
// take at once. Under the mutex. They are detached: the encoder never waits
// for one to be scheduled just to end it (on a busy machine that can take
// milliseconds); the last one out frees the struct.
int spawn(Parallel& P) {
  if (P.workers == P.wanted) return BW_OK;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return BW_E_MEMORY;
  int status = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 ? BW_OK : BW_E_MEMORY;
  while (status == BW_OK && P.workers < P.wanted) {
    pthread_t thread;
    if (pthread_create(&thread, &attr, worker, &P) != 0) {
      status = BW_E_MEMORY;
    } else {
      ++P.workers;
      ++P.users;
    }
  }
  pthread_attr_destroy(&attr);
  return status;
}

}  // namespace

bool parallel_takes(const Encoder& e, std::uint32_t count) {
  if (e.threads < 2 || count <= 8) return false;
  const std::uint32_t threads = threads_used(e);
  if (threads < 2) return false;
  const std::uint32_t k = chunk_blocks(e, threads);
  const std::uint32_t begin = e.blocks_done;
  const std::uint32_t end = begin + (count + 7) / 8 * e.blocks_x;
  return (end - 1) / k > begin / k;
}

int parallel_write_lines(Encoder& e, const std::uint8_t* lines, std::size_t stride,
                         std::uint32_t count) {
  if (e.parallel == nullptr) {
    if (const int status = start(e)) return status;
  }
  Parallel& P = *e.parallel;
  Job job{};
  job.lines = lines;
  job.stride = stride;
  job.count = count;
  job.first_stripe = e.lines_done / 8;
  job.begin = e.blocks_done;
  job.end = job.begin + (count + 7) / 8 * e.blocks_x;
  job.chunk = P.chunk;
  job.first_chunk = job.begin / P.chunk;
  job.width = e.width;
  job.blocks_x = e.blocks_x;
  job.blocks_total = e.blocks_total;
  job.restart_interval = e.restart_interval;
  job.last_dc = e.coder.lastDC[0];
  job.path = e.path;
  job.component = luma(e);

  int status = BW_OK;
  pthread_mutex_lock(&P.mutex);
  P.job = &job;
  P.next = 0;
  P.joined = 0;
  P.chunks = (job.end - 1) / P.chunk - job.first_chunk + 1;
  if (P.idle != 0) pthread_cond_broadcast(&P.wake);
  status = spawn(P);
  // The caller joins the next chunk as soon as it is coded, else codes one
  // itself, else waits.
  while (status == BW_OK && P.joined < P.chunks) {
    const Slot& next = P.slot[P.joined % P.slots];
    if (P.joined < P.next && next.done) {
      pthread_mutex_unlock(&P.mutex);
      status = join(e, next);
      pthread_mutex_lock(&P.mutex);
      if (status != BW_OK) break;
      ++P.joined;
      if (P.idle != 0 && claimable(P)) pthread_cond_signal(&P.wake);
    } else if (claimable(P)) {
      const std::uint32_t c = claim(P);
      Slot& slot = P.slot[c % P.slots];
      pthread_mutex_unlock(&P.mutex);
      code_chunk(job, c, slot);
      pthread_mutex_lock(&P.mutex);
      slot.done = true;
    } else {
      wait_coded(P);
    }
  }
  if (status != BW_OK) {
    // No more claims; wait until no thread codes from the caller's lines.
    P.chunks = P.next;
    for (std::uint32_t c = P.joined; c < P.next;) {
      if (P.slot[c % P.slots].done) {
        ++c;
        continue;
      }
      wait_coded(P);
    }
  }
  P.job = nullptr;
  pthread_mutex_unlock(&P.mutex);
  if (status != BW_OK) return status;

  e.blocks_done = job.end;
  if (e.restart_interval != 0) {
    e.restart_left = e.restart_interval - job.end % e.restart_interval;
    e.next_rst = (job.end / e.restart_interval) & 7;
  }
  return BW_OK;
}

void parallel_release(Encoder& e) {
  Parallel* P = e.parallel;
  if (P == nullptr) return;
  e.parallel = nullptr;
  pthread_mutex_lock(&P->mutex);
  P->quit = true;
  pthread_cond_broadcast(&P->wake);
  leave(P);
}
