// The worker pool of one encoder: its threads, the chunk buffers, and the
// loop in which the calling thread hands out a call's chunks, codes some
// itself, and joins them in order.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "blockwright.h"
#include "chunks.hpp"

struct Encoder;

inline constexpr std::uint32_t max_slots = 2 * BW_MAX_THREADS + 2;

// Every field is guarded by mutex (`finished` is also read without it,
// atomically, as a hint); a slot's buffer and results belong to the thread
// that claimed its chunk until it sets done, then to the caller until the
// chunk is joined.
struct Parallel {
  pthread_mutex_t mutex;
  pthread_cond_t wake;     // workers: a chunk can be claimed, or quit
  pthread_cond_t coded;    // caller: a chunk is done
  const Job* job;          // the call under way, or null
  std::uint32_t next;      // next chunk to claim
  std::uint32_t chunks;    // chunks of the call (fewer after a failure)
  std::uint32_t joined;    // chunks appended to the stream
  std::uint32_t idle;      // workers waiting on wake
  bool caller_waiting;     // the caller waits on coded
  std::uint32_t finished;  // chunks coded by the workers, also read unlocked (atomics)
  bool quit;
  std::uint32_t workers;   // threads started besides the caller's
  std::uint32_t wanted;    // how many the pool tries to start
  std::uint32_t slots;     // chunks in flight at most: chunk c uses slot c % slots
  std::uint32_t chunk;     // blocks a chunk
  pthread_t thread[BW_MAX_THREADS - 1];
  Slot slot[max_slots];
};

// A pool for `threads` threads in all, the caller's among them, and chunks
// of `chunk` blocks, with no worker started yet; null when its memory or
// its lock cannot be had.
Parallel* pool_create(std::uint32_t threads, std::uint32_t chunk, std::uint32_t blocks_per_mcu = 1);

// Codes the job's chunks on the workers and the calling thread, and appends
// them to e's stream in order. The first call starts the workers, with
// every signal blocked; those the system refuses are done without (down to
// the calling thread alone: the bytes are the same). BW_OK or BW_E_CALLBACK;
// either way, no thread touches the job's lines any more when it returns.
int pool_run(Parallel& P, const Job& job, Encoder& e);

// Stops the workers, waits until every one has ended, and frees the pool.
void pool_destroy(Parallel* P);
