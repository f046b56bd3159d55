/* Makes the element tests' input and what the library makes of it:
 *
 *   bw_gst_frames FORMAT PICTURE W H PAD OFFSET FRAMES QUALITY RESTART RAW DIR
 *
 * FORMAT is rawvideoparse's name of a raw format (gray8, i420, nv12, y42b,
 * y444, yuy2, uyvy, rgb, bgr, rgbx, bgrx). RAW gets FRAMES frames, each
 * plane after OFFSET filler bytes, its rows PAD filler bytes longer than
 * their samples; standard output gets that layout as rawvideoparse's
 * properties. The samples are bytes of PICTURE (a binary PGM) from points
 * that move with the frame, the plane and the byte of the pixel, repeated
 * as tiles where the frame is larger. DIR/%05d.jpg gets frame k encoded by
 * the library from packed planes, as multifilesink names the element's
 * outputs. Fillers differ from frame to frame, so a stride or offset read
 * wrongly changes the bytes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockwright.h"

typedef struct {
  const char *name;
  uint32_t input;
  uint32_t sampling; /* 0: the library's default */
  int planes;
  int bytes[3];   /* bytes of a pixel (of a pixel pair for yuy2, uyvy) */
  int x_shift[3]; /* a plane's width is the frame's >> this, rounded up */
  int y_shift[3];
} Format;

static const Format formats[] = {
    {"gray8", BW_INPUT_GRAY, 0, 1, {1}, {0}, {0}},
    {"i420", BW_INPUT_I420, BW_SAMPLING_420, 3, {1, 1, 1}, {0, 1, 1}, {0, 1, 1}},
    {"nv12", BW_INPUT_NV12, BW_SAMPLING_420, 2, {1, 2}, {0, 1}, {0, 1}},
    {"y42b", BW_INPUT_I422, BW_SAMPLING_422, 3, {1, 1, 1}, {0, 1, 1}, {0, 0, 0}},
    {"y444", BW_INPUT_I444, BW_SAMPLING_444, 3, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}},
    {"yuy2", BW_INPUT_YUYV, BW_SAMPLING_422, 1, {4}, {1}, {0}},
    {"uyvy", BW_INPUT_UYVY, BW_SAMPLING_422, 1, {4}, {1}, {0}},
    {"rgb", BW_INPUT_RGB, 0, 1, {3}, {0}, {0}},
    {"bgr", BW_INPUT_BGR, 0, 1, {3}, {0}, {0}},
    {"rgbx", BW_INPUT_RGBX, 0, 1, {4}, {0}, {0}},
    {"bgrx", BW_INPUT_BGRX, 0, 1, {4}, {0}, {0}},
};

static int fail(const char *what, const char *name) {
  fprintf(stderr, "bw_gst_frames: %s: %s\n", name, what);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 12) {
    fprintf(stderr, "usage: bw_gst_frames FORMAT PICTURE W H PAD OFFSET FRAMES QUALITY RESTART RAW DIR\n");
    return 2;
  }
  const Format *f = NULL;
  for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i)
    if (strcmp(argv[1], formats[i].name) == 0) f = &formats[i];
  if (f == NULL) return fail("unknown format", argv[1]);
  unsigned long v[7];
  for (int i = 0; i < 7; ++i) v[i] = strtoul(argv[3 + i], NULL, 10);
  size_t w = v[0], h = v[1], pad = v[2], offset = v[3], frames = v[4];
  if (w == 0 || h == 0 || frames == 0) return fail("bad layout", argv[0]);

  FILE *in = fopen(argv[2], "rb");
  unsigned pw = 0, ph = 0, maxval = 0;
  if (in == NULL || fscanf(in, "P5 %u %u %u", &pw, &ph, &maxval) != 3 || maxval != 255 ||
      pw == 0 || ph == 0 || fgetc(in) == EOF)
    return fail("not a binary PGM", argv[2]);
  unsigned char *picture = malloc((size_t)pw * ph);
  if (picture == NULL || fread(picture, 1, (size_t)pw * ph, in) != (size_t)pw * ph)
    return fail("short picture", argv[2]);
  fclose(in);

  /* Each plane's size, packed and in the raw layout. */
  size_t rows[3], row_bytes[3], plane_offset[3], packed_offset[3], frame_bytes = 0, packed_bytes = 0;
  for (int p = 0; p < f->planes; ++p) {
    rows[p] = (h + (1u << f->y_shift[p]) - 1) >> f->y_shift[p];
    row_bytes[p] = ((w + (1u << f->x_shift[p]) - 1) >> f->x_shift[p]) * (size_t)f->bytes[p];
    plane_offset[p] = frame_bytes + offset;
    frame_bytes = plane_offset[p] + rows[p] * (row_bytes[p] + pad);
    packed_offset[p] = packed_bytes;
    packed_bytes += rows[p] * row_bytes[p];
  }

  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = (uint32_t)w;
  cfg.height = (uint32_t)h;
  cfg.quality = (uint32_t)v[5];
  cfg.restart_interval = (uint32_t)v[6];
  cfg.input = f->input;
  if (f->sampling != 0) cfg.sampling = f->sampling;
  size_t capacity = bw_max_encoded_size(&cfg);
  unsigned char *frame = malloc(frame_bytes), *packed = malloc(packed_bytes), *jpeg = malloc(capacity);
  FILE *raw = fopen(argv[10], "wb");
  if (capacity == 0 || frame == NULL || packed == NULL || jpeg == NULL)
    return fail("out of memory", argv[0]);
  if (raw == NULL) return fail("cannot create", argv[10]);

  for (size_t k = 0; k < frames; ++k) {
    memset(frame, (int)(0xA5 + 17 * k) & 0xFF, frame_bytes);
    const uint8_t *planes[3] = {NULL, NULL, NULL};
    size_t strides[3] = {0, 0, 0};
    for (int p = 0; p < f->planes; ++p) {
      planes[p] = packed + packed_offset[p];
      strides[p] = row_bytes[p];
      for (size_t b = 0; b < (size_t)f->bytes[p]; ++b) {
        size_t x0 = (k * 97 + (size_t)p * 389 + b * 131) % pw;
        size_t y0 = (k * 61 + (size_t)p * 211 + b * 53) % ph;
        for (size_t y = 0; y < rows[p]; ++y)
          for (size_t x = b; x < row_bytes[p]; x += (size_t)f->bytes[p])
            packed[packed_offset[p] + y * row_bytes[p] + x] =
                frame[plane_offset[p] + y * (row_bytes[p] + pad) + x] =
                    picture[(y0 + y) % ph * pw + (x0 + x / (size_t)f->bytes[p]) % pw];
      }
    }
    if (fwrite(frame, 1, frame_bytes, raw) != frame_bytes) return fail("cannot write", argv[10]);

    size_t size = 0;
    int status = f->planes > 1 ? bw_encode_planes_to_memory(&cfg, planes, strides, jpeg, capacity, &size)
                               : bw_encode_to_memory(&cfg, packed, row_bytes[0], jpeg, capacity, &size);
    if (status != BW_OK) return fail(bw_strerror(status), argv[0]);
    char name[4096];
    snprintf(name, sizeof name, "%s/%05zu.jpg", argv[11], k);
    FILE *out = fopen(name, "wb");
    if (out == NULL || fwrite(jpeg, 1, size, out) != size || fclose(out) != 0)
      return fail("cannot write", name);
  }
  if (fclose(raw) != 0) return fail("cannot write", argv[10]);

  printf("plane-strides=<");
  for (int p = 0; p < f->planes; ++p) printf("%s%zu", p ? "," : "", row_bytes[p] + pad);
  printf("> plane-offsets=<");
  for (int p = 0; p < f->planes; ++p) printf("%s%zu", p ? "," : "", plane_offset[p]);
  printf("> frame-size=%zu\n", frame_bytes);
  free(picture);
  free(frame);
  free(packed);
  free(jpeg);
  return 0;
}
