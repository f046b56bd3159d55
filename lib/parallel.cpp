// One frame on several threads: the encoder's side. chunks.cpp codes
// chunks, pool.cpp runs the threads and hands the chunks out, join.cpp
// appends them to the stream; calls go one way, from here down.
#include "parallel.hpp"

#include "encoder.hpp"
#include "pool.hpp"

bool parallel_takes(Encoder& e, std::uint32_t count) {
  const std::uint32_t row = mcu_lines(e);
  if (e.threads < 2 || count <= row) return false;
  const std::uint32_t threads = threads_used(e);
  if (threads < 2) return false;
  const std::uint32_t k = chunk_blocks(e, threads);
  const std::uint32_t begin = e.blocks_done;
  const std::uint32_t end = begin + (count + row - 1) / row * e.blocks_x;
  if ((end - 1) / k == begin / k) return false;
  if (e.parallel == nullptr) {
    e.parallel = pool_create(threads, k, blocks_per_mcu(e));
    if (e.parallel == nullptr) {
      e.threads = 1;  // no memory for the pool: on with the calling thread alone
      return false;
    }
  }
  return true;
}

int parallel_write_lines(Encoder& e, const std::uint8_t* lines, std::size_t stride,
                         std::uint32_t count) {
  return parallel_write_planes(e, Planes{{lines, nullptr, nullptr}, {stride, 0, 0}}, count);
}

int parallel_write_planes(Encoder& e, const Planes& in, std::uint32_t count) {
  Parallel& P = *e.parallel;
  ColourCall colour{};
  if (e.colour) colour = {&e.col, e.path, &e.tables, in, count, e.lines_done / mcu_lines(e), e.width, e.blocks_x};
  const Job job = make_job(e, in.p[0], in.stride[0], count, P.chunk, e.colour ? &colour : nullptr);
  if (const int status = pool_run(P, job, e)) return status;
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
  pool_destroy(P);
}
