/* Encodes one frame in memory with Blockwright's C API.
 *
 *   encode_frame input.y output.jpg
 *
 * input.y: three header lines (such as a PGM's "P5", "1280 1024", "255"),
 * then 1024 lines of 1280 8-bit samples. Build it with
 *   cc encode_frame.c $(pkg-config --cflags --libs blockwright)
 */
#include <stdio.h>
#include <stdlib.h>

#include <blockwright.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: encode_frame input.y output.jpg\n");
    return 2;
  }
  bw_config cfg;
  bw_default_config(&cfg); /* 1280 x 1024, quality 75, no restarts */
  size_t frame = (size_t)cfg.width * cfg.height;
  size_t capacity = bw_max_encoded_size(&cfg);
  uint8_t *samples = malloc(frame), *jpeg = malloc(capacity);
  if (samples == NULL || jpeg == NULL) {
    fprintf(stderr, "encode_frame: out of memory\n");
    return 1;
  }

  FILE *in = fopen(argv[1], "rb");
  int lines = 0, c = 0;
  while (in != NULL && lines < 3 && (c = getc(in)) != EOF) lines += c == '\n';
  if (in == NULL || lines < 3 || fread(samples, 1, frame, in) != frame) {
    fprintf(stderr, "encode_frame: %s: cannot read a frame\n", argv[1]);
    return 1;
  }
  fclose(in);

  size_t size = 0;
  int status = bw_encode_to_memory(&cfg, samples, cfg.width, jpeg, capacity, &size);
  if (status != BW_OK) {
    fprintf(stderr, "encode_frame: %s\n", bw_strerror(status));
    return 1;
  }

  FILE *out = fopen(argv[2], "wb");
  if (out == NULL || fwrite(jpeg, 1, size, out) != size || fclose(out) != 0) {
    fprintf(stderr, "encode_frame: %s: cannot write\n", argv[2]);
    return 1;
  }
  free(samples);
  free(jpeg);
  return 0;
}
