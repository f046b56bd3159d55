/* blockwrightenc: a GStreamer video encoder element on Blockwright's C API.
 *
 * Takes frames of any size from 1 x 1 to 65535 x 65535, GRAY8 (a grayscale
 * file) or colour, each coded at its own chroma sampling: I420 and NV12 at
 * 4:2:0, Y42B, YUY2 and UYVY at 4:2:2, Y444 at 4:4:4; RGB, BGR, RGBx and
 * BGRx at the library's default for them, 4:2:0. Gives one
 * complete baseline JPEG file per frame (image/jpeg, sof-marker=0), byte for
 * byte what bw_encode_to_memory or bw_encode_planes_to_memory writes for
 * that frame and the properties' settings. Every output buffer is a key
 * frame. Frames are read where they are, through the plane strides and
 * offsets of their video meta (or the caps' default layout): nothing is
 * copied on the way in.
 *
 * The output of a frame is encoded into a block of bw_max_encoded_size
 * bytes, which is then shrunk to the file's length and handed downstream
 * as it is. Where that bound is very large (frames of tens of millions of
 * samples), or cannot be allocated, the streaming encoder fills a buffer
 * that grows with the file instead: the same bytes.
 *
 * A frame that cannot be encoded posts an error naming the library's reason
 * and returns GST_FLOW_ERROR; nothing is pushed for it.
 */
#include <stdint.h>
#include <string.h>

#include <gst/gst.h>
#include <gst/video/video.h>
#include <gst/video/gstvideoencoder.h>

#include "blockwright.h"

GST_DEBUG_CATEGORY_STATIC(blockwrightenc_debug);
#define GST_CAT_DEFAULT blockwrightenc_debug

#define DEFAULT_QUALITY 85
#define DEFAULT_RESTART_INTERVAL 0
#define DEFAULT_THREADS 1

/* Above this bound (a frame of about 158 000 blocks, e.g. 8192 x 1240), the
 * output grows with the file rather than being allocated at its bound. */
#define MAX_BOUND_ALLOCATION ((gsize)64 << 20)

enum { PROP_0, PROP_QUALITY, PROP_RESTART_INTERVAL, PROP_THREADS };

/* The raw formats taken, and how the library is told of each. */
typedef struct {
  GstVideoFormat format;
  uint32_t input;    /* BW_INPUT_* */
  uint32_t sampling; /* BW_SAMPLING_*, or 0: the library's default */
  gboolean planar;   /* given through the *_planes calls */
} InputFormat;

static const InputFormat input_formats[] = {
    {GST_VIDEO_FORMAT_GRAY8, BW_INPUT_GRAY, 0, FALSE},
    {GST_VIDEO_FORMAT_I420, BW_INPUT_I420, BW_SAMPLING_420, TRUE},
    {GST_VIDEO_FORMAT_NV12, BW_INPUT_NV12, BW_SAMPLING_420, TRUE},
    {GST_VIDEO_FORMAT_Y42B, BW_INPUT_I422, BW_SAMPLING_422, TRUE},
    {GST_VIDEO_FORMAT_Y444, BW_INPUT_I444, BW_SAMPLING_444, TRUE},
    {GST_VIDEO_FORMAT_YUY2, BW_INPUT_YUYV, BW_SAMPLING_422, FALSE},
    {GST_VIDEO_FORMAT_UYVY, BW_INPUT_UYVY, BW_SAMPLING_422, FALSE},
    {GST_VIDEO_FORMAT_RGB, BW_INPUT_RGB, 0, FALSE},
    {GST_VIDEO_FORMAT_BGR, BW_INPUT_BGR, 0, FALSE},
    {GST_VIDEO_FORMAT_RGBx, BW_INPUT_RGBX, 0, FALSE},
    {GST_VIDEO_FORMAT_BGRx, BW_INPUT_BGRX, 0, FALSE},
};

#define GST_TYPE_BLOCKWRIGHT_ENC (gst_blockwright_enc_get_type())
G_DECLARE_FINAL_TYPE(GstBlockwrightEnc, gst_blockwright_enc, GST, BLOCKWRIGHT_ENC, GstVideoEncoder)

struct _GstBlockwrightEnc {
  GstVideoEncoder parent;
  GstVideoCodecState *input_state;
  const InputFormat *input; /* of input_state */
  /* The properties, under the object lock: read once per frame, so a change
   * applies from the next frame on. */
  guint quality;
  guint restart_interval;
  guint threads;
  /* The streaming encoder of the growing-output path. */
  bw_encoder stream;
};

G_DEFINE_TYPE(GstBlockwrightEnc, gst_blockwright_enc, GST_TYPE_VIDEO_ENCODER)

#define SIZE_RANGE "[ 1, 65535 ]"

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) { GRAY8, I420, NV12, Y42B, Y444, YUY2, UYVY, RGB, "
                    "BGR, RGBx, BGRx }, "
                    "width = (int) " SIZE_RANGE ", height = (int) " SIZE_RANGE
                    ", framerate = (fraction) [ 0/1, MAX ]"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("image/jpeg, width = (int) " SIZE_RANGE ", height = (int) " SIZE_RANGE
                    ", framerate = (fraction) [ 0/1, MAX ], sof-marker = (int) 0"));

static void gst_blockwright_enc_set_property(GObject *object, guint id, const GValue *value,
                                             GParamSpec *pspec) {
  GstBlockwrightEnc *self = GST_BLOCKWRIGHT_ENC(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_QUALITY: self->quality = g_value_get_uint(value); break;
    case PROP_RESTART_INTERVAL: self->restart_interval = g_value_get_uint(value); break;
    case PROP_THREADS: self->threads = g_value_get_uint(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_blockwright_enc_get_property(GObject *object, guint id, GValue *value,
                                             GParamSpec *pspec) {
  GstBlockwrightEnc *self = GST_BLOCKWRIGHT_ENC(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_QUALITY: g_value_set_uint(value, self->quality); break;
    case PROP_RESTART_INTERVAL: g_value_set_uint(value, self->restart_interval); break;
    case PROP_THREADS: g_value_set_uint(value, self->threads); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static gboolean gst_blockwright_enc_stop(GstVideoEncoder *encoder) {
  GstBlockwrightEnc *self = GST_BLOCKWRIGHT_ENC(encoder);
  g_clear_pointer(&self->input_state, gst_video_codec_state_unref);
  self->input = NULL;
  return TRUE;
}

static gboolean gst_blockwright_enc_set_format(GstVideoEncoder *encoder,
                                               GstVideoCodecState *state) {
  GstBlockwrightEnc *self = GST_BLOCKWRIGHT_ENC(encoder);
  const InputFormat *input = NULL;
  for (gsize i = 0; i < G_N_ELEMENTS(input_formats); ++i)
    if (input_formats[i].format == GST_VIDEO_INFO_FORMAT(&state->info)) input = &input_formats[i];
  if (input == NULL) return FALSE; /* the template keeps others out */
  g_clear_pointer(&self->input_state, gst_video_codec_state_unref);
  self->input_state = gst_video_codec_state_ref(state);
  self->input = input;

  /* Width, height, frame rate and pixel aspect ratio come from the input. */
  GstCaps *caps = gst_caps_new_simple("image/jpeg", "sof-marker", G_TYPE_INT, 0, NULL);
  GstVideoCodecState *out = gst_video_encoder_set_output_state(encoder, caps, state);
  gst_video_codec_state_unref(out);
  return TRUE;
}

/* Lets upstream hand over frames with padded rows or an offset plane. */
static gboolean gst_blockwright_enc_propose_allocation(GstVideoEncoder *encoder,
                                                       GstQuery *query) {
  gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL);
  return GST_VIDEO_ENCODER_CLASS(gst_blockwright_enc_parent_class)
      ->propose_allocation(encoder, query);
}

/* The output of the streaming path: a block that doubles when it is full. */
typedef struct {
  guint8 *data;
  gsize size;
  gsize capacity;
} GrowingOutput;

static int append_output(void *user, const uint8_t *data, size_t size) {
  GrowingOutput *out = user;
  if (size > out->capacity - out->size) {
    gsize need = out->size + size;
    if (need < out->size) return 1;
    gsize capacity = out->capacity > G_MAXSIZE / 2 ? G_MAXSIZE : out->capacity * 2;
    if (capacity < need) capacity = need;
    guint8 *grown = g_try_realloc(out->data, capacity);
    if (grown == NULL) return 1;
    out->data = grown;
    out->capacity = capacity;
  }
  memcpy(out->data + out->size, data, size);
  out->size += size;
  return 0;
}

/* Where a frame's samples are: plane p's line i at planes[p] + i * strides[p]
 * (an interleaved input has planes[0] alone). */
typedef struct {
  gboolean planar;
  const uint8_t *planes[3];
  size_t strides[3];
} Samples;

/* Encodes with the streaming encoder, the whole frame in one call; on
 * success *data (g_free) holds the file. */
static int encode_growing(GstBlockwrightEnc *self, const bw_config *cfg, const Samples *in,
                          guint8 **data, gsize *size) {
  /* A start that real pictures rarely outgrow (a quarter byte a sample),
   * within reason. */
  GrowingOutput out = {NULL, 0, MIN((gsize)cfg->width * cfg->height / 4 + 4096, (gsize)16 << 20)};
  out.data = g_try_malloc(out.capacity);
  if (out.data == NULL) return BW_E_MEMORY;
  int status = bw_encoder_init(&self->stream, cfg, append_output, &out);
  if (status == BW_OK) {
    status = in->planar
                 ? bw_encoder_write_planes(&self->stream, in->planes, in->strides, cfg->height)
                 : bw_encoder_write_lines(&self->stream, in->planes[0], in->strides[0], cfg->height);
  }
  if (status == BW_OK) status = bw_encoder_finish(&self->stream);
  bw_encoder_release(&self->stream);
  if (status == BW_E_CALLBACK) status = BW_E_MEMORY; /* only a failed allocation stops it */
  if (status != BW_OK) {
    g_free(out.data);
    return status;
  }
  *data = g_try_realloc(out.data, out.size);
  if (*data == NULL) *data = out.data;
  *size = out.size;
  return BW_OK;
}

/* Encodes the frame into a block of its bound, shrunk to the file; falls
 * back to the streaming path where the bound is too large to allocate. */
static int encode_frame(GstBlockwrightEnc *self, const bw_config *cfg, const Samples *in,
                        guint8 **data, gsize *size) {
  size_t bound = bw_max_encoded_size(cfg);
  if (bound == 0) {
    /* Refused settings: the encoder's set-up names the reason. */
    int status = bw_encoder_init(&self->stream, cfg, append_output, NULL);
    bw_encoder_release(&self->stream);
    return status != BW_OK ? status : BW_E_ARGUMENT;
  }
  guint8 *block = bound <= MAX_BOUND_ALLOCATION ? g_try_malloc(bound) : NULL;
  if (block == NULL) return encode_growing(self, cfg, in, data, size);
  size_t written = 0;
  int status =
      in->planar
          ? bw_encode_planes_to_memory(cfg, in->planes, in->strides, block, bound, &written)
          : bw_encode_to_memory(cfg, in->planes[0], in->strides[0], block, bound, &written);
  if (status != BW_OK) {
    g_free(block);
    return status;
  }
  *data = g_try_realloc(block, written);
  if (*data == NULL) *data = block;
  *size = written;
  return BW_OK;
}

/* The bytes from a plane's first sample to the end of the mapped memory
 * that holds it. */
static gsize plane_room(const GstVideoFrame *video, guint plane) {
  const guint8 *data = GST_VIDEO_FRAME_PLANE_DATA(video, plane);
  for (guint m = 0; m < GST_VIDEO_MAX_PLANES; ++m) {
    const GstMapInfo *map = &video->map[m];
    if (map->data != NULL && data >= map->data && data < map->data + map->size)
      return (gsize)(map->data + map->size - data);
  }
  return 0;
}

static GstFlowReturn gst_blockwright_enc_handle_frame(GstVideoEncoder *encoder,
                                                      GstVideoCodecFrame *frame) {
  GstBlockwrightEnc *self = GST_BLOCKWRIGHT_ENC(encoder);
  if (self->input_state == NULL) {
    gst_video_codec_frame_unref(frame);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("a frame before any caps"));
    return GST_FLOW_NOT_NEGOTIATED;
  }

  GstVideoFrame video;
  if (!gst_video_frame_map(&video, &self->input_state->info, frame->input_buffer,
                           GST_MAP_READ)) {
    gst_video_codec_frame_unref(frame);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Could not read the frame"),
                      ("the buffer does not hold a frame of the negotiated size"));
    return GST_FLOW_ERROR;
  }

  bw_config cfg;
  bw_default_config(&cfg);
  cfg.width = (uint32_t)GST_VIDEO_FRAME_WIDTH(&video);
  cfg.height = (uint32_t)GST_VIDEO_FRAME_HEIGHT(&video);
  cfg.input = self->input->input;
  if (self->input->sampling != 0) cfg.sampling = self->input->sampling;
  GST_OBJECT_LOCK(self);
  cfg.quality = self->quality;
  cfg.restart_interval = self->restart_interval;
  cfg.threads = self->threads;
  GST_OBJECT_UNLOCK(self);

  /* Each plane's rows must hold its samples, and all of them must lie in
   * the plane's memory: a stride below a row (or negative, rows bottom up),
   * or video meta that places rows past the buffer, is refused rather than
   * read. */
  Samples in = {self->input->planar, {NULL, NULL, NULL}, {0, 0, 0}};
  guint bad_plane = 0;
  gint bad_stride = 0;
  gboolean readable = TRUE;
  for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(&video); ++p) {
    gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&video, p);
    in.planes[p] = GST_VIDEO_FRAME_PLANE_DATA(&video, p);
    in.strides[p] = stride < 0 ? 0 : (size_t)stride;
    gsize room = plane_room(&video, p);
    for (guint c = 0; c < GST_VIDEO_FRAME_N_COMPONENTS(&video); ++c) {
      if (GST_VIDEO_FRAME_COMP_PLANE(&video, c) != p) continue;
      gint row = GST_VIDEO_FRAME_COMP_POFFSET(&video, c) +
                 (GST_VIDEO_FRAME_COMP_WIDTH(&video, c) - 1) * GST_VIDEO_FRAME_COMP_PSTRIDE(&video, c) + 1;
      gsize rows = (gsize)GST_VIDEO_FRAME_COMP_HEIGHT(&video, c);
      if (stride < row || (rows - 1) * (gsize)stride + (gsize)row > room) {
        readable = FALSE;
        bad_plane = p;
        bad_stride = stride;
      }
    }
  }
  guint8 *data = NULL;
  gsize size = 0;
  int status = readable ? encode_frame(self, &cfg, &in, &data, &size) : BW_E_ARGUMENT;
  gst_video_frame_unmap(&video);

  if (status != BW_OK) {
    gst_video_codec_frame_unref(frame);
    if (!readable) {
      GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Could not read the frame"),
                        ("plane %u: a stride of %d bytes for %u pixels a row, or rows past "
                         "the buffer", bad_plane, bad_stride, cfg.width));
    } else {
      GST_ELEMENT_ERROR(self, STREAM, ENCODE, ("Could not encode the frame: %s",
                        bw_strerror(status)), ("%u x %u, quality %u, restart interval %u, "
                        "threads %u: status %d", cfg.width, cfg.height, cfg.quality,
                        cfg.restart_interval, cfg.threads, status));
    }
    return GST_FLOW_ERROR;
  }

  frame->output_buffer = gst_buffer_new_wrapped(data, size);
  GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
  return gst_video_encoder_finish_frame(encoder, frame);
}

static void gst_blockwright_enc_class_init(GstBlockwrightEncClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstVideoEncoderClass *encoder_class = GST_VIDEO_ENCODER_CLASS(klass);

  gobject_class->set_property = gst_blockwright_enc_set_property;
  gobject_class->get_property = gst_blockwright_enc_get_property;
  const GParamFlags flags =
      G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING;
  g_object_class_install_property(
      gobject_class, PROP_QUALITY,
      g_param_spec_uint("quality", "Quality", "Quality of the encoding, scaling the quantizer table",
                        1, 100, DEFAULT_QUALITY, flags));
  g_object_class_install_property(
      gobject_class, PROP_RESTART_INTERVAL,
      g_param_spec_uint("restart-interval", "Restart interval",
                        "MCUs between restart markers, 0: none (an MCU is a block of a grayscale frame)", 0, 65535,
                        DEFAULT_RESTART_INTERVAL, flags));
  g_object_class_install_property(
      gobject_class, PROP_THREADS,
      g_param_spec_uint("threads", "Threads", "Threads that share the encoding of each frame", 1,
                        BW_MAX_THREADS, DEFAULT_THREADS, flags));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "Blockwright JPEG encoder", "Codec/Encoder/Image",
      "Encodes 8-bit grayscale and colour frames into baseline JPEG files with Blockwright",
      "The Blockwright developers");

  encoder_class->stop = gst_blockwright_enc_stop;
  encoder_class->set_format = gst_blockwright_enc_set_format;
  encoder_class->propose_allocation = gst_blockwright_enc_propose_allocation;
  encoder_class->handle_frame = gst_blockwright_enc_handle_frame;

  GST_DEBUG_CATEGORY_INIT(blockwrightenc_debug, "blockwrightenc", 0, "Blockwright JPEG encoder");
}

static void gst_blockwright_enc_init(GstBlockwrightEnc *self) {
  self->quality = DEFAULT_QUALITY;
  self->restart_interval = DEFAULT_RESTART_INTERVAL;
  self->threads = DEFAULT_THREADS;
}

static gboolean plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "blockwrightenc", GST_RANK_SECONDARY,
                              GST_TYPE_BLOCKWRIGHT_ENC);
}

/* The plugin's description; GST_PLUGIN_DEFINE names PACKAGE. */
#define PACKAGE "blockwright"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, blockwright,
                  "Baseline JPEG encoding with Blockwright", plugin_init,
                  BLOCKWRIGHT_GST_VERSION, GST_LICENSE_UNKNOWN, "Blockwright", "Blockwright")
