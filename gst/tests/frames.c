/* Makes the element tests' input and what the library makes of it:
 *
 *   bw_gst_frames PICTURE W H STRIDE OFFSET FRAMES QUALITY RESTART RAW DIR
 *
 * RAW gets FRAMES frames of OFFSET filler bytes, then H rows of STRIDE bytes
 * (W samples, then filler): the layout rawvideoparse is told. The samples
 * of frame k are PICTURE (a binary PGM) from a point that moves with k,
 * repeated as tiles where the frame is larger. DIR/%05d.jpg gets frame k
 * encoded by bw_encode_to_memory from a packed copy, as multifilesink
 * names the element's outputs. Fillers differ from frame to frame, so a
 * stride or offset read wrongly changes the bytes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockwright.h"

static int fail(const char *what, const char *name) {
  fprintf(stderr, "bw_gst_frames: %s: %s\n", name, what);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 11) {
    fprintf(stderr, "usage: bw_gst_frames PICTURE W H STRIDE OFFSET FRAMES QUALITY RESTART RAW DIR\n");
    return 2;
  }
  unsigned long v[7];
  for (int i = 0; i < 7; ++i) v[i] = strtoul(argv[2 + i], NULL, 10);
  size_t w = v[0], h = v[1], stride = v[2], offset = v[3], frames = v[4];
  if (w == 0 || h == 0 || stride < w || frames == 0) return fail("bad layout", argv[0]);

  FILE *in = fopen(argv[1], "rb");
  unsigned pw = 0, ph = 0, maxval = 0;
  if (in == NULL || fscanf(in, "P5 %u %u %u", &pw, &ph, &maxval) != 3 || maxval != 255 ||
      pw == 0 || ph == 0 || fgetc(in) == EOF)
    return fail("not a binary PGM", argv[1]);
  unsigned char *picture = malloc((size_t)pw * ph);
  if (picture == NULL || fread(picture, 1, (size_t)pw * ph, in) != (size_t)pw * ph)
    return fail("short picture", argv[1]);
  fclose(in);

  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = (uint32_t)w;
  cfg.height = (uint32_t)h;
  cfg.quality = (uint32_t)v[5];
  cfg.restart_interval = (uint32_t)v[6];
  size_t capacity = bw_max_encoded_size(&cfg), frame_bytes = offset + h * stride;
  unsigned char *frame = malloc(frame_bytes), *packed = malloc(w * h), *jpeg = malloc(capacity);
  FILE *raw = fopen(argv[9], "wb");
  if (frame == NULL || packed == NULL || jpeg == NULL) return fail("out of memory", argv[0]);
  if (raw == NULL) return fail("cannot create", argv[9]);

  for (size_t k = 0; k < frames; ++k) {
    memset(frame, (int)(0xA5 + 17 * k) & 0xFF, frame_bytes);
    size_t x0 = k * 97 % pw, y0 = k * 61 % ph;
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x)
        packed[y * w + x] = frame[offset + y * stride + x] =
            picture[(y0 + y) % ph * pw + (x0 + x) % pw];
    if (fwrite(frame, 1, frame_bytes, raw) != frame_bytes) return fail("cannot write", argv[9]);

    size_t size = 0;
    int status = bw_encode_to_memory(&cfg, packed, w, jpeg, capacity, &size);
    if (status != BW_OK) return fail(bw_strerror(status), argv[0]);
    char name[4096];
    snprintf(name, sizeof name, "%s/%05zu.jpg", argv[10], k);
    FILE *out = fopen(name, "wb");
    if (out == NULL || fwrite(jpeg, 1, size, out) != size || fclose(out) != 0)
      return fail("cannot write", name);
  }
  if (fclose(raw) != 0) return fail("cannot write", argv[9]);
  free(picture);
  free(frame);
  free(packed);
  free(jpeg);
  return 0;
}
