/*
 * Blockwright: a small, integer-only baseline JPEG encoder for 8-bit
 * grayscale and colour (YCbCr) frames.
 *
 * Two ways to encode a frame:
 *   - bw_encode_to_memory: the whole frame at once into a caller's buffer;
 *   - a bw_encoder (the caller's memory: static, on the stack or inside a
 *     struct of its own) fed groups of lines (rows of MCUs: 8 lines, 16 for
 *     colour at 4:2:0), whose coded bytes go to a write callback as they
 *     are completed;
 * each with a variant for planar YUV input (*_planes).
 * With one thread (the default) the library takes nothing from the heap and
 * starts no thread. It keeps no mutable global state and throws nothing. With
 * threads > 1 an encoder codes large calls on several threads of its own,
 * with the same bytes (docs/threads.md). Distinct encoders may run in
 * distinct threads at once. For given settings and samples the output is
 * the same bytes on every CPU and code path.
 *
 * Every function that can fail returns 0 (BW_OK) on success, else one of the
 * BW_E_* statuses; bw_strerror names it. docs/api.md has the details.
 *
 * Growing safely: bw_config starts with its own size and the encoder is
 * set up with the size of the caller's bw_encoder (the inline wrappers
 * bw_default_config and bw_encoder_init pass them), so a program built
 * against another version of this header gets BW_E_VERSION, never memory
 * written past its structs.
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
                            one MCU row (8 lines, 16 for colour at 4:2:0), a
                            multiple of it nor the rest of the frame, lines
                            past the frame's end, or finish before its end */
  BW_E_OUTPUT_FULL = 7,  /* bw_encode_to_memory: the buffer is too small */
  BW_E_CALLBACK = 8,     /* the write callback returned nonzero */
  BW_E_STATE = 9,        /* the encoder was not initialised, or has failed
                            or finished: initialise it again */
  BW_E_MEMORY = 10,      /* not returned by this version, kept for
                            compatibility: an encoder that cannot get memory
                            or threads for threads > 1 goes on with fewer,
                            down to the calling thread alone, with the same
                            bytes */
  BW_E_VERSION = 11,     /* cfg->struct_size or the encoder's size is not
                            what this library takes: the program was built
                            against another version of blockwright.h */
  BW_E_INPUT = 12,       /* an unknown input kind, or a planar one given to
                            a call for interleaved lines */
  BW_E_SAMPLING = 13,    /* sampling other than 444, 422 or 420, or one the
                            input cannot give (it would need upsampling) */
  BW_E_SEGMENT = 14      /* a metadata segment with a marker other than
                            APP1 to APP15 or COM, over 65533 bytes, or with
                            null data */
};

/* What the samples are (bw_config.input). Interleaved kinds are one line
 * of pixels after another, given to bw_encode_to_memory and
 * bw_encoder_write_lines; planar ones are up to three planes, given to the
 * *_planes calls. */
enum {
  BW_INPUT_GRAY = 0,  /* 1 byte a pixel */
  BW_INPUT_RGB = 1,   /* R G B */
  BW_INPUT_BGR = 2,   /* B G R */
  BW_INPUT_RGBX = 3,  /* R G B X, X ignored */
  BW_INPUT_BGRX = 4,  /* B G R X */
  BW_INPUT_YUYV = 5,  /* packed 4:2:2, Y0 Cb Y1 Cr per 2 pixels; odd widths
                         end with a whole group whose Y1 is ignored */
  BW_INPUT_UYVY = 6,  /* packed 4:2:2, Cb Y0 Cr Y1 */
  BW_INPUT_I444 = 7,  /* planar: Y, Cb, Cr, all width x height */
  BW_INPUT_I422 = 8,  /* planar: Y; Cb and Cr ceil(width/2) x height */
  BW_INPUT_I420 = 9,  /* planar: Y; Cb and Cr ceil(width/2) x ceil(height/2) */
  BW_INPUT_NV12 = 10  /* planar: Y; then one plane of Cb Cr pairs,
                         ceil(width/2) pairs x ceil(height/2) lines */
};

/* Chroma sampling of a colour frame (bw_config.sampling). */
enum { BW_SAMPLING_444 = 444, BW_SAMPLING_422 = 422, BW_SAMPLING_420 = 420 };

/* Markers of metadata segments: APPn (n = 1 to 15) and COM. */
#define BW_APP(n) (0xE0 + (n))
#define BW_COM 0xFE

/* A metadata segment, written right after the JFIF APP0 segment as marker,
 * length (size + 2) and the size bytes at data (at most 65533). */
typedef struct bw_segment {
  uint32_t marker;   /* BW_APP(1) to BW_APP(15), or BW_COM */
  uint32_t size;     /* payload bytes, 0 to 65533 */
  const void *data;  /* the payload (may be null when size is 0) */
} bw_segment;

/* The most threads one encoder takes. */
#define BW_MAX_THREADS 64

/* Settings of one encoding. Start from bw_default_config. */
typedef struct bw_config {
  uint32_t struct_size;      /* sizeof(bw_config), as bw_default_config sets it */
  uint32_t width;            /* pixels per line, 1 to 65535 (decoders built
                                on libjpeg refuse more than 65500) */
  uint32_t height;           /* lines, 1 to 65535 (likewise) */
  uint32_t quality;          /* 1 to 100, scaling the base quantizer tables */
  uint32_t restart_interval; /* MCUs between restart markers, 0 (none) to 65535;
                                an MCU is one 8 x 8 block of a grayscale frame,
                                8 x 8, 16 x 8 or 16 x 16 pixels of a colour one */
  uint32_t threads;          /* 1: the calling thread alone; 2 to BW_MAX_THREADS:
                                calls of many lines are coded by up to this many
                                threads, the caller's among them, with the same
                                bytes (fewer when the frame is small) */
  uint32_t input;            /* BW_INPUT_*: what the samples are */
  uint32_t sampling;         /* BW_SAMPLING_*: chroma sampling of a colour frame */
  uint32_t grayscale;        /* nonzero: a colour input is encoded as its Y alone,
                                in a one-component (grayscale) file */
  uint32_t segment_count;    /* metadata segments to write, 0: none */
  const bw_segment *segments; /* segment_count of them, in order; read only by
                                bw_encoder_init (or the *_to_memory call) */
} bw_config;

/* Fills the first size bytes of *cfg (size = sizeof(bw_config), which the
 * inline bw_default_config passes) with 1280 x 1024 grayscale, the built-in
 * quality (75 unless the build chose another), no restart markers, one
 * thread, 4:2:0 for colour inputs, no metadata. BW_E_VERSION (and nothing
 * written) when size is not a bw_config this library knows; BW_E_ARGUMENT for
 * a null cfg. */
BW_API int bw_default_config_sized(bw_config *cfg, size_t size);
static inline int bw_default_config(bw_config *cfg) {
  return bw_default_config_sized(cfg, sizeof *cfg);
}

/* A true upper bound of the bytes of one frame with these settings; 0 when
 * the settings are refused, SIZE_MAX when the bound does not fit a size_t. */
BW_API size_t bw_max_encoded_size(const bw_config *cfg);

/* Encodes a frame of cfg->height lines of cfg->width pixels of an
 * interleaved input (gray, RGB, BGR, RGBX, BGRX, YUYV, UYVY), line i at
 * samples + i * stride, into out. On success *size gets the file's length;
 * on any failure, BW_E_ARGUMENT included, *size is 0 (when size is not
 * null). BW_E_OUTPUT_FULL when capacity is not enough (bw_max_encoded_size
 * always is); nothing is written at or past out + capacity. Uses about
 * 37 KiB of stack on x86-64 (its bw_encoder and the calls below it; 40 KiB
 * for 4:2:0 colour; 46 and 49 KiB with threads > 1; docs/api.md); with threads > 1, the whole frame is
 * shared among the threads, which end before the call returns. */
BW_API int bw_encode_to_memory(const bw_config *cfg, const uint8_t *samples, size_t stride,
                               uint8_t *out, size_t capacity, size_t *size);

/* The same for a planar input (I444, I422, I420, NV12; interleaved kinds
 * take planes[0] alone): plane p's line i at planes[p] + i * strides[p].
 * NV12 has its Cb Cr pairs in planes[1] and no planes[2]. With
 * cfg->grayscale only planes[0] is read; the others may be null. */
BW_API int bw_encode_planes_to_memory(const bw_config *cfg, const uint8_t *const planes[3],
                                      const size_t strides[3], uint8_t *out, size_t capacity,
                                      size_t *size);

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
#define BW_ENCODER_SIZE 32768
typedef struct bw_encoder {
  union {
    uint64_t align_;
    unsigned char bytes_[BW_ENCODER_SIZE];
  } opaque_;
} bw_encoder;

/* Sets up enc, of enc_size bytes (sizeof(bw_encoder), which the inline
 * bw_encoder_init passes), for one frame with the settings cfg and the write
 * callback. Nothing is written yet, unless cfg has metadata segments: then
 * the file up to the end of them goes to the callback here (so cfg->segments
 * need not outlive the call). */
BW_API int bw_encoder_init_sized(bw_encoder *enc, size_t enc_size, const bw_config *cfg,
                                 bw_write_fn write, void *user);
static inline int bw_encoder_init(bw_encoder *enc, const bw_config *cfg, bw_write_fn write,
                                  void *user) {
  return bw_encoder_init_sized(enc, sizeof *enc, cfg, write, user);
}

/* Codes the next group of lines of an interleaved input: count is a whole
 * number of MCU rows (8 lines; 16 for a colour frame at 4:2:0), a multiple
 * of that, or the rest of the frame (so the last group of a frame whose
 * height is not a whole number of MCU rows is shorter, and the whole frame
 * may come at once). Line i is at lines + i * stride; the first call also
 * writes the header. BW_E_LINES or BW_E_ARGUMENT leave the encoder as it
 * was; after BW_E_CALLBACK it has failed. With threads > 1, a call of more
 * than one MCU row spanning enough blocks is shared among the threads. */
BW_API int bw_encoder_write_lines(bw_encoder *enc, const uint8_t *lines, size_t stride,
                                  uint32_t count);

/* The same for a planar input: count lines of the Y plane at planes[0], and
 * the chroma lines that go with them (half as many, rounded up, for I420
 * and NV12) at planes[1] and planes[2]. */
BW_API int bw_encoder_write_planes(bw_encoder *enc, const uint8_t *const planes[3],
                                   const size_t strides[3], uint32_t count);

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
