#include "pool.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "join.hpp"

namespace {

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

void* worker(void* arg) {
  Parallel& P = *static_cast<Parallel*>(arg);
  pthread_mutex_lock(&P.mutex);
  for (;;) {
    if (P.quit) break;
    if (!claimable(P)) {
      // Once the frame's last chunk is claimed, no call can bring more: end
      // now, so that pool_destroy seldom has to wait for a thread to be
      // scheduled just to end it.
      if (P.job != nullptr && P.job->end == P.job->blocks_total && P.next >= P.chunks) break;
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
  pthread_mutex_unlock(&P.mutex);
  return nullptr;
}

// Starts the workers not yet running, once a job is there for them to take
// at once; under the mutex. They start with every signal blocked (a signal
// sent to the process is then always taken by one of the caller's threads),
// and are joinable: pool_destroy waits for each. Those the system refuses
// are done without, and not asked for again.
void spawn(Parallel& P) {
  if (P.workers == P.wanted) return;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  while (P.workers < P.wanted) {
    if (pthread_create(&P.thread[P.workers], nullptr, worker, &P) != 0) {
      P.wanted = P.workers;
      break;
    }
    ++P.workers;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

// malloc, not calloc: the buffers need no clearing, and a frame's encoder
// often gets memory just freed by the last.
Parallel* pool_create(std::uint32_t threads, std::uint32_t chunk, std::uint32_t blocks_per_mcu) {
  const std::uint32_t slots = 2 * threads + 2;
  const std::size_t capacity = chunk_capacity(chunk * blocks_per_mcu);
  // The buffers follow the struct; a chunk of 2048 blocks needs about 880 KiB
  // at most, though only what is coded is ever touched.
  auto* P = static_cast<Parallel*>(std::malloc(sizeof(Parallel) + slots * capacity));
  if (P == nullptr) return nullptr;
  std::memset(static_cast<void*>(P), 0, sizeof(Parallel));
  auto* bufs = reinterpret_cast<std::uint8_t*>(P + 1);
  for (std::uint32_t i = 0; i < slots; ++i) P->slot[i].buf = bufs + i * capacity;
  P->slots = slots;
  P->chunk = chunk;
  P->wanted = threads - 1;
  if (pthread_mutex_init(&P->mutex, nullptr) != 0) {
    std::free(P);
    return nullptr;
  }
  if (pthread_cond_init(&P->wake, nullptr) != 0) {
    pthread_mutex_destroy(&P->mutex);
    std::free(P);
    return nullptr;
  }
  if (pthread_cond_init(&P->coded, nullptr) != 0) {
    pthread_cond_destroy(&P->wake);
    pthread_mutex_destroy(&P->mutex);
    std::free(P);
    return nullptr;
  }
  return P;
}

int pool_run(Parallel& P, const Job& job, Encoder& e) {
  int status = BW_OK;
  pthread_mutex_lock(&P.mutex);
  P.job = &job;
  P.next = 0;
  P.joined = 0;
  P.chunks = job_chunks(job);
  if (P.idle != 0) pthread_cond_broadcast(&P.wake);
  spawn(P);
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
      // The frame's last chunk: idle workers can end now, while this one
      // is coded and joined.
      if (P.next == P.chunks && job.end == job.blocks_total && P.idle != 0) pthread_cond_broadcast(&P.wake);
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
  return status;
}

void pool_destroy(Parallel* P) {
  pthread_mutex_lock(&P->mutex);
  P->quit = true;
  pthread_cond_broadcast(&P->wake);
  pthread_mutex_unlock(&P->mutex);
  for (std::uint32_t i = 0; i < P->workers; ++i) pthread_join(P->thread[i], nullptr);
  pthread_cond_destroy(&P->coded);
  pthread_cond_destroy(&P->wake);
  pthread_mutex_destroy(&P->mutex);
  std::free(P);
}
