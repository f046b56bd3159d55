/*
 * Blockwright: a small, integer-only baseline JPEG encoder for 8-bit
 * grayscale frames.
 *
 * Two ways to encode a frame:
 *   - bw_encode_to_memory: the whole frame at once into a caller's buffer;
 *   - a bw_encoder (the caller's memory: static, on the stack or inside a
 *     struct of its own) fed groups of 8 lines, whose coded bytes go to a
 *     write callback as they are completed.
 * With one thread (the default) the library never allocates: no heap, no
 * thread. It keeps no mutable global state and throws nothing. With
 * threads > 1 an encoder codes large calls on several threads of its own,
 * with the same bytes (docs/threads.md). Distinct encoders may run in
 * distinct threads at once. For given settings and samples the output is
 * the same bytes on every CPU and code path.
 *
 * Every function that can fail returns 0 (BW_OK) on success, else one of the
 * BW_E_* statuses; bw_strerror names it. docs/api.md has the details.
 */
#ifndef BLOCKWRIGHT_H
#define BLOCKWRIGHT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with its other symbols hidden; BW_API marks the
 * ones it exports. On Windows, define BLOCKWRIGHT_STATIC to link the static
 * library; elsewhere the same declarations serve both libraries. */
#if defined(_WIN32)
#if defined(BLOCKWRIGHT_BUILD)
#define BW_API __declspec(dllexport)
#elif defined(BLOCKWRIGHT_STATIC)
#define BW_API
#else
#define BW_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define BW_API __attribute__((visibility("default")))
#else
#define BW_API
#endif

/* Statuses. */
enum {
  BW_OK = 0,
  BW_E_ARGUMENT = 1,     /* a null pointer where one is needed */
  BW_E_SIZE = 2,         /* width or height outside 1 to 65535 */
  BW_E_QUALITY = 3,      /* quality outside 1 to 100 */
  BW_E_RESTART = 4,      /* restart interval above 65535 */
  BW_E_THREADS = 5,      /* threads is 0, or more than BW_MAX_THREADS */
  BW_E_LINES = 6,        /* lines given out of turn: a count that is neither
                            8, a multiple of 8 nor the rest of the frame,
                            lines past the frame's end, or finish before its
                            end */
  BW_E_OUTPUT_FULL = 7,  /* bw_encode_to_memory: the buffer is too small */
  BW_E_CALLBACK = 8,     /* the write callback returned nonzero */
  BW_E_STATE = 9,        /* the encoder was not initialised, or has failed
                            or finished: initialise it again */
  BW_E_MEMORY = 10       /* not returned by this version, kept for
                            compatibility: an encoder that cannot get memory
                            or threads for threads > 1 goes on with fewer,
                            down to the calling thread alone, with the same
                            bytes */
};

/* The most threads one encoder takes. */
#define BW_MAX_THREADS 64

/* Settings of one encoding. Start from bw_default_config. */
typedef struct bw_config {
  uint32_t width;            /* samples per line, 1 to 65535 (decoders built
                                on libjpeg refuse more than 65500) */
  uint32_t height;           /* lines, 1 to 65535 (likewise) */
  uint32_t quality;          /* 1 to 100, scaling the base quantizer table */
  uint32_t restart_interval; /* blocks between restart markers, 0 (none) to 65535 */
  uint32_t threads;          /* 1: the calling thread alone; 2 to BW_MAX_THREADS:
                                calls of many lines are coded by up to this many
                                threads, the caller's among them, with the same
                                bytes (fewer when the frame is small) */
} bw_config;

/* 1280 x 1024, the built-in quality (75 unless the build chose another), no
 * restart markers, one thread. */
BW_API void bw_default_config(bw_config *cfg);

/* A true upper bound of the bytes of one frame with these settings; 0 when
 * the settings are refused, SIZE_MAX when the bound does not fit a size_t. */
BW_API size_t bw_max_encoded_size(const bw_config *cfg);

/* Encodes a frame of cfg->height lines of cfg->width samples, line i at
 * samples + i * stride, into out. On success *size gets the file's length;
 * on any failure, BW_E_ARGUMENT included, *size is 0 (when size is not
 * null). BW_E_OUTPUT_FULL when capacity is not enough (bw_max_encoded_size
 * always is); nothing is written at or past out + capacity. Uses about
 * sizeof(bw_encoder) of stack; with threads > 1, the whole frame is shared
 * among the threads, which end before the call returns. */
BW_API int bw_encode_to_memory(const bw_config *cfg, const uint8_t *samples, size_t stride,
                               uint8_t *out, size_t capacity, size_t *size);

/* A short message for any status, unknown ones included. */
BW_API const char *bw_strerror(int status);

/* The library's version, "MAJOR.MINOR.PATCH". */
BW_API const char *bw_version(void);

/* Takes the next size bytes of the file (1 to 16384: at most 16 KiB a call,
 * on every path and with any number of threads); returns nonzero to stop
 * the encoding (which then fails with BW_E_CALLBACK). Must not call the
 * same encoder. */
typedef int (*bw_write_fn)(void *user, const uint8_t *data, size_t size);

/* The streaming encoder. Its contents are private; its size is fixed, so it
 * can be static, on the stack or part of another struct. With one thread it
 * holds every table and buffer of one encoding, needs no cleanup, and may be
 * copied or moved between calls. With threads > 1, the first call of
 * write_lines that is split among threads starts the threads (every signal
 * blocked in them) and allocates their buffers; finish, any failure and
 * bw_encoder_release end them, wait until each has ended, and free the
 * buffers. Such an encoder may be moved between calls but not copied (two
 * copies would share the threads). */
#define BW_ENCODER_SIZE 18432
typedef struct bw_encoder {
  union {
    uint64_t align_;
    unsigned char bytes_[BW_ENCODER_SIZE];
  } opaque_;
} bw_encoder;

/* Sets up enc for one frame with the settings cfg and the write callback.
 * Nothing is written yet. */
BW_API int bw_encoder_init(bw_encoder *enc, const bw_config *cfg, bw_write_fn write, void *user);

/* Codes the next group of lines: count is 8, a multiple of 8, or the rest of
 * the frame (so the last group of a frame whose height is not a multiple of
 * 8 is shorter, and the whole frame may come at once). Line i is at
 * lines + i * stride; the first call also writes the header. BW_E_LINES or
 * BW_E_ARGUMENT leave the encoder as it was; after BW_E_CALLBACK it has
 * failed. With threads > 1, a call of more than 8 lines spanning enough
 * blocks is shared among the threads. */
BW_API int bw_encoder_write_lines(bw_encoder *enc, const uint8_t *lines, size_t stride,
                                  uint32_t count);

/* Ends the frame once all its lines are coded: the last bits, then EOI.
 * Whatever the result, the encoder then holds no threads or memory, and no
 * thread of it runs. BW_E_LINES (lines are missing) leaves it otherwise as
 * it was: give the rest and finish again. After any other result it is
 * finished. */
BW_API int bw_encoder_finish(bw_encoder *enc);

/* Abandons an encoding that is not finished: ends the encoder's threads,
 * waits until each has ended (so no thread of the library runs when it
 * returns), and frees their buffers, if it has any; later calls fail with
 * BW_E_STATE until bw_encoder_init. Does nothing to an encoder that has
 * finished or failed, or whose bw_encoder_init failed. Call it before
 * bw_encoder_init reuses an encoder that was left unfinished, or its
 * threads leak. Never needed with threads = 1. */
BW_API void bw_encoder_release(bw_encoder *enc);

#ifdef __cplusplus
}
#endif

#endif /* BLOCKWRIGHT_H */
