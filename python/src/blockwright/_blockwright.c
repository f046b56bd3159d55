/* The blockwright module: numpy frames and other buffers to JPEG bytes. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

#include "blockwright.h"

/* Where the coded bytes collect. The encoder calls it without the GIL, so it
 * grows with the raw allocator. */
typedef struct {
  uint8_t *data;
  size_t size;
  size_t capacity;
  int out_of_memory;
} Sink;

static int sink_write(void *user, const uint8_t *data, size_t size) {
  Sink *s = user;
  if (size > s->capacity - s->size) {
    size_t capacity = s->capacity;
    while (size > capacity - s->size) {
      if (capacity > SIZE_MAX / 2) {
        s->out_of_memory = 1;
        return 1;
      }
      capacity *= 2;
    }
    uint8_t *grown = PyMem_RawRealloc(s->data, capacity);
    if (grown == NULL) {
      s->out_of_memory = 1;
      return 1;
    }
    s->data = grown;
    s->capacity = capacity;
  }
  memcpy(s->data + s->size, data, size);
  s->size += size;
  return 0;
}

/* A setting given as any integer (numpy's too). A value outside uint32_t
 * becomes UINT32_MAX, which the library refuses with its own message. */
static int get_setting(PyObject *value, const char *name, uint32_t *out) {
  if (value == NULL) return 0;
  if (!PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.80s", name, Py_TYPE(value)->tp_name);
    return -1;
  }
  PyObject *index = PyNumber_Index(value);
  if (index == NULL) return -1;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (v == -1 && PyErr_Occurred()) return -1;
  *out = (overflow != 0 || v < 0 || (unsigned long long)v > UINT32_MAX) ? UINT32_MAX : (uint32_t)v;
  return 0;
}

/* The settings of a call as given: NULL where one was not. */
typedef struct {
  PyObject *quality, *restart_interval, *threads, *sampling, *gray, *exif, *comment;
} Settings;

/* Samples in a buffer: height lines of width pixels of channels bytes, with
 * the steps in bytes between lines, pixels and a pixel's bytes. */
typedef struct {
  const uint8_t *first;
  Py_ssize_t height, width, channels;
  Py_ssize_t line_step, pixel_step, byte_step;
} Plane;

/* One encoding: the buffers it holds (up to three planes and the metadata),
 * its planes (one for an interleaved input) and their copies where they
 * cannot be read in place, and its metadata segments. */
typedef struct {
  Py_buffer views[5];
  int view_count;
  Plane planes[3];
  int plane_count;
  uint8_t *copies[3];
  bw_segment segments[2];
} Job;

static void job_release(Job *job) {
  for (int i = 0; i < job->view_count; i++) PyBuffer_Release(&job->views[i]);
  for (int i = 0; i < 3; i++) PyMem_RawFree(job->copies[i]);
}

/* exif= (the APP1 payload, b"Exif\0\0" and the rest) and comment= (str,
 * written as UTF-8, or bytes) as metadata segments, held by the job. */
static int add_metadata(Job *job, bw_config *cfg, const Settings *s) {
  PyObject *given[2] = {s->exif, s->comment};
  const uint32_t markers[2] = {BW_APP(1), BW_COM};
  const char *names[2] = {"exif", "comment"};
  for (int i = 0; i < 2; i++) {
    PyObject *value = given[i];
    if (value == NULL || value == Py_None) continue;
    const void *data;
    Py_ssize_t size;
    if (i == 1 && PyUnicode_Check(value)) {
      data = PyUnicode_AsUTF8AndSize(value, &size); /* kept by the str, which the call holds */
      if (data == NULL) return -1;
    } else {
      if (!PyObject_CheckBuffer(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes%s, not %.80s", names[i], i == 1 ? " or str" : "",
                     Py_TYPE(value)->tp_name);
        return -1;
      }
      Py_buffer *view = &job->views[job->view_count];
      if (PyObject_GetBuffer(value, view, PyBUF_SIMPLE) < 0) return -1;
      job->view_count++;
      data = view->buf;
      size = view->len;
    }
    bw_segment *g = &job->segments[cfg->segment_count++];
    g->marker = markers[i];
    g->size = size > 65536 ? 65536 : (uint32_t)size; /* over 65533: refused by the library */
    g->data = data;
  }
  if (cfg->segment_count != 0) cfg->segments = job->segments;
  return 0;
}

/* A 1 to 65535 dimension of a frame; anything else becomes UINT32_MAX,
 * which the library refuses. */
static uint32_t dimension(Py_ssize_t n) { return n < 0 || n > 65535 ? UINT32_MAX : (uint32_t)n; }

/* sampling= as "444", "422", "420" or the number; None keeps the default.
 * Another string becomes 0, which the library refuses with its message. */
static int get_sampling(PyObject *value, uint32_t *out) {
  if (value == NULL || value == Py_None) return 0;
  if (PyUnicode_Check(value)) {
    const char *text = PyUnicode_AsUTF8(value);
    if (text == NULL) return -1;
    *out = strcmp(text, "444") == 0 ? 444 : strcmp(text, "422") == 0 ? 422 : strcmp(text, "420") == 0 ? 420 : 0;
    return 0;
  }
  if (!PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "sampling must be \"444\", \"422\" or \"420\", not %.80s",
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  return get_setting(value, "sampling", out);
}

/* The library's message for a refused setting, with the value given. */
static void refused(int status, const char *name, PyObject *value) {
  if (value != NULL)
    PyErr_Format(PyExc_ValueError, "%s (%s=%R)", bw_strerror(status), name, value);
  else
    PyErr_SetString(PyExc_ValueError, bw_strerror(status));
}

/* Fills cfg from the frame size, the input kind and the settings; 0, or -1
 * with the exception set (the library's own message for a refused value). */
static int make_config(bw_config *cfg, Py_ssize_t width, Py_ssize_t height, uint32_t input,
                       uint32_t default_sampling, const Settings *s, Job *job) {
  bw_default_config(cfg);
  cfg->width = dimension(width);
  cfg->height = dimension(height);
  cfg->input = input;
  cfg->sampling = default_sampling;
  if (get_setting(s->quality, "quality", &cfg->quality) < 0 ||
      get_setting(s->restart_interval, "restart_interval", &cfg->restart_interval) < 0 ||
      get_setting(s->threads, "threads", &cfg->threads) < 0 || get_sampling(s->sampling, &cfg->sampling) < 0)
    return -1;
  if (s->gray != NULL) {
    const int gray = PyObject_IsTrue(s->gray);
    if (gray < 0) return -1;
    cfg->grayscale = (uint32_t)gray;
  }
  if (add_metadata(job, cfg, s) < 0) return -1;
  if (bw_max_encoded_size(cfg) != 0) return 0;
  /* Refused: ask the library which setting, and say what was given. */
  bw_encoder probe;
  const int status = bw_encoder_init(&probe, cfg, sink_write, NULL);
  switch (status) {
    case BW_E_SIZE:
      PyErr_Format(PyExc_ValueError, "%s (width %zd, height %zd)", bw_strerror(status), width, height);
      break;
    case BW_E_QUALITY: refused(status, "quality", s->quality); break;
    case BW_E_RESTART: refused(status, "restart_interval", s->restart_interval); break;
    case BW_E_THREADS: refused(status, "threads", s->threads); break;
    case BW_E_SAMPLING: refused(status, "sampling", s->sampling); break;
    default: refused(status, "", NULL);
  }
  return -1;
}

static int is_uint8(const Py_buffer *view) {
  if (view->itemsize != 1) return 0;
  const char *f = view->format == NULL ? "B" : view->format;
  if (f[0] != '\0' && strchr("@=<>!", f[0]) != NULL) f++;
  return strcmp(f, "B") == 0;
}

/* Takes obj's buffer into view: uint8 samples, or a TypeError naming what
 * it holds. */
static int get_view(PyObject *obj, const char *name, Py_buffer *view) {
  if (!PyObject_CheckBuffer(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a uint8 array or another object with the buffer protocol, not %.80s",
                 name, Py_TYPE(obj)->tp_name);
    return -1;
  }
  if (PyObject_GetBuffer(obj, view, PyBUF_RECORDS_RO) < 0) return -1;
  if (is_uint8(view)) return 0;
  /* numpy's name for the type when there is one, else the buffer's format */
  PyObject *dtype = PyObject_HasAttrString(obj, "dtype") ? PyObject_GetAttrString(obj, "dtype") : NULL;
  if (dtype != NULL)
    PyErr_Format(PyExc_TypeError, "%s: samples must be uint8, not %S", name, dtype);
  else
    PyErr_Format(PyExc_TypeError, "%s: samples must be uint8 (buffer format 'B'), not format '%.20s'", name,
                 view->format == NULL ? "B" : view->format);
  Py_XDECREF(dtype);
  PyBuffer_Release(view);
  return -1;
}

/* Reads shape=(height, width) or (height, width, channels); *channels is 1
 * for two items. */
static int get_shape(PyObject *shape, Py_ssize_t *h, Py_ssize_t *w, Py_ssize_t *channels) {
  if (!PyTuple_Check(shape) && !PyList_Check(shape)) {
    PyErr_Format(PyExc_TypeError, "shape must be a (height, width) or (height, width, channels) tuple, not %.80s",
                 Py_TYPE(shape)->tp_name);
    return -1;
  }
  const Py_ssize_t n = PySequence_Size(shape);
  if (n != 2 && n != 3) {
    PyErr_Format(PyExc_ValueError, "shape must be (height, width) or (height, width, channels), not %R", shape);
    return -1;
  }
  Py_ssize_t v[3] = {0, 0, 1};
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *item = PySequence_GetItem(shape, i);
    if (item == NULL) return -1;
    if (!PyIndex_Check(item)) {
      PyErr_Format(PyExc_TypeError, "shape must hold integers, not %.80s", Py_TYPE(item)->tp_name);
      Py_DECREF(item);
      return -1;
    }
    v[i] = PyNumber_AsSsize_t(item, NULL); /* clipped to the Py_ssize_t range */
    Py_DECREF(item);
    if (v[i] == -1 && PyErr_Occurred()) return -1;
  }
  *h = v[0];
  *w = v[1];
  *channels = v[2];
  return 0;
}


/* A 2-D (height, width) or 3-D (height, width, channels) array. */
static int plane_of(const Py_buffer *view, const char *name, Plane *p) {
  if (view->ndim != 2 && view->ndim != 3) {
    if (view->ndim == 1)
      PyErr_Format(PyExc_ValueError, "%s: a 1-D buffer needs shape=(height, width); a frame is a 2-D "
                   "(height, width) array", name);
    else
      PyErr_Format(PyExc_ValueError, "%s: a frame is a 2-D (height, width) or 3-D (height, width, channels) "
                   "array, not %d-D", name, view->ndim);
    return -1;
  }
  p->first = view->buf;
  p->height = view->shape[0];
  p->width = view->shape[1];
  p->line_step = view->strides[0];
  p->pixel_step = view->strides[1];
  p->channels = view->ndim == 3 ? view->shape[2] : 1;
  p->byte_step = view->ndim == 3 ? view->strides[2] : 1;
  return 0;
}

/* A contiguous flat buffer given shape= and maybe stride=. */
static int plane_of_flat(const Py_buffer *view, PyObject *shape, PyObject *stride, Plane *p) {
  if (!PyBuffer_IsContiguous(view, 'C')) {
    PyErr_SetString(PyExc_ValueError, "shape= needs a contiguous buffer");
    return -1;
  }
  if (get_shape(shape, &p->height, &p->width, &p->channels) < 0) return -1;
  p->first = view->buf;
  p->pixel_step = p->channels;
  p->byte_step = 1;
  p->line_step = 0;
  /* Sizes outside 1 to 65535 are left to the library's check, a channel
   * count to the caller's. */
  if (p->height < 1 || p->height > 65535 || p->width < 1 || p->width > 65535 || p->channels < 1 ||
      p->channels > 4)
    return 0;
  const Py_ssize_t line_bytes = p->width * p->channels;
  p->line_step = line_bytes;
  if (stride != NULL && stride != Py_None) {
    if (!PyIndex_Check(stride)) {
      PyErr_Format(PyExc_TypeError, "stride must be an integer, not %.80s", Py_TYPE(stride)->tp_name);
      return -1;
    }
    p->line_step = PyNumber_AsSsize_t(stride, NULL);
    if (p->line_step == -1 && PyErr_Occurred()) return -1;
  }
  if (p->line_step < line_bytes) {
    PyErr_Format(PyExc_ValueError, "stride %zd is less than a line's %zd bytes", p->line_step, line_bytes);
    return -1;
  }
  /* The last line ends at (height - 1) * stride + its bytes. */
  if (view->len < line_bytes || (p->height > 1 && (view->len - line_bytes) / (p->height - 1) < p->line_step)) {
    PyErr_Format(PyExc_ValueError, "shape %R with lines %zd bytes apart does not fit the buffer's %zd bytes",
                 shape, p->line_step, view->len);
    return -1;
  }
  return 0;
}

/* Whether the library can read the plane where it is: lines in order, each
 * one's bytes side by side. */
static int in_place(const Plane *p) {
  return (p->height == 1 || p->line_step >= 0) && (p->width == 1 || p->pixel_step == p->channels) &&
         (p->channels == 1 || p->byte_step == 1);
}

/* Copies the plane into height lines of width x channels contiguous bytes.
 * Bytes apart are gathered in tiles of 32 x 32 pixels, so that a transposed
 * frame reads whole cache lines. */
static void copy_plane(const Plane *p, uint8_t *to) {
  const size_t line_bytes = (size_t)(p->width * p->channels);
  if ((p->width == 1 || p->pixel_step == p->channels) && (p->channels == 1 || p->byte_step == 1)) {
    for (Py_ssize_t y = 0; y < p->height; y++)
      memcpy(to + (size_t)y * line_bytes, p->first + y * p->line_step, line_bytes);
    return;
  }
  enum { tile = 32 };
  for (Py_ssize_t y0 = 0; y0 < p->height; y0 += tile) {
    const Py_ssize_t y1 = y0 + tile < p->height ? y0 + tile : p->height;
    for (Py_ssize_t x0 = 0; x0 < p->width; x0 += tile) {
      const Py_ssize_t x1 = x0 + tile < p->width ? x0 + tile : p->width;
      for (Py_ssize_t y = y0; y < y1; y++) {
        const uint8_t *line = p->first + y * p->line_step;
        uint8_t *out = to + (size_t)y * line_bytes;
        for (Py_ssize_t x = x0; x < x1; x++)
          for (Py_ssize_t c = 0; c < p->channels; c++)
            out[x * p->channels + c] = line[x * p->pixel_step + c * p->byte_step];
      }
    }
  }
}

/* Codes the job's planes with cfg, without the GIL: the file's bytes, or
 * NULL with the exception set. Releases the job either way. */
static PyObject *run(Job *job, const bw_config *cfg) {
  size_t frame_bytes = 0;
  for (int i = 0; i < job->plane_count; i++) {
    const Plane *p = &job->planes[i];
    const size_t bytes = (size_t)p->height * (size_t)p->width * (size_t)p->channels;
    frame_bytes += bytes;
    if (!in_place(p) && (job->copies[i] = PyMem_RawMalloc(bytes ? bytes : 1)) == NULL) {
      job_release(job);
      return PyErr_NoMemory();
    }
  }
  /* A first guess of the file's size; the sink grows when it is not enough. */
  size_t guess = frame_bytes / 4 + 4096;
  const size_t bound = bw_max_encoded_size(cfg);
  if (guess > bound) guess = bound;
  Sink sink = {PyMem_RawMalloc(guess), 0, guess, 0};
  if (sink.data == NULL) {
    job_release(job);
    return PyErr_NoMemory();
  }

  int status;
  Py_BEGIN_ALLOW_THREADS
  const uint8_t *planes[3] = {NULL, NULL, NULL};
  size_t strides[3] = {0, 0, 0};
  for (int i = 0; i < job->plane_count; i++) {
    const Plane *p = &job->planes[i];
    const size_t line_bytes = (size_t)(p->width * p->channels);
    if (job->copies[i] != NULL) {
      copy_plane(p, job->copies[i]);
      planes[i] = job->copies[i];
      strides[i] = line_bytes;
    } else {
      planes[i] = p->first;
      strides[i] = p->height == 1 ? line_bytes : (size_t)p->line_step;
    }
  }
  bw_encoder enc;
  status = bw_encoder_init(&enc, cfg, sink_write, &sink);
  if (status == BW_OK)
    status = job->plane_count == 1 ? bw_encoder_write_lines(&enc, planes[0], strides[0], cfg->height)
                                   : bw_encoder_write_planes(&enc, planes, strides, cfg->height);
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);
  Py_END_ALLOW_THREADS

  PyObject *result = NULL;
  if (status == BW_OK)
    result = PyBytes_FromStringAndSize((const char *)sink.data, (Py_ssize_t)sink.size);
  else if (status == BW_E_MEMORY || (status == BW_E_CALLBACK && sink.out_of_memory))
    PyErr_NoMemory();
  else
    PyErr_SetString(PyExc_RuntimeError, bw_strerror(status));
  PyMem_RawFree(sink.data);
  job_release(job);
  return result;
}

/* The input kind of an interleaved frame of this many channels in this
 * order. */
static int interleaved_input(const Plane *p, PyObject *order, uint32_t *input) {
  int bgr = 0;
  if (order != NULL && order != Py_None) {
    const char *text = PyUnicode_Check(order) ? PyUnicode_AsUTF8(order) : NULL;
    if (text == NULL && PyErr_Occurred()) return -1;
    if (text == NULL || (strcmp(text, "RGB") != 0 && strcmp(text, "BGR") != 0)) {
      PyErr_Format(PyExc_ValueError, "order must be \"RGB\" or \"BGR\", not %R", order);
      return -1;
    }
    bgr = text[0] == 'B';
  }
  if (p->channels == 1) {
    *input = BW_INPUT_GRAY;
  } else if (p->channels == 3) {
    *input = bgr ? BW_INPUT_BGR : BW_INPUT_RGB;
  } else if (p->channels == 4) {
    *input = bgr ? BW_INPUT_BGRX : BW_INPUT_RGBX;
  } else {
    PyErr_Format(PyExc_ValueError, "a colour frame is (height, width, 3) or (height, width, 4), not %zd channels",
                 p->channels);
    return -1;
  }
  return 0;
}

static const char encode_doc[] =
    "encode(image, *, quality=75, restart_interval=0, threads=1, sampling=\"420\", gray=False,\n"
    "       exif=None, comment=None, order=\"RGB\", shape=None, stride=None) -> bytes\n"
    "\n"
    "Encodes a frame into a baseline JPEG file.\n"
    "\n"
    "image: a 2-D (height, width) uint8 array, grayscale, or a 3-D\n"
    "(height, width, 3) one, colour in the channel order given by order=\n"
    "(\"RGB\" or \"BGR\"; (height, width, 4) takes a fourth byte, ignored), or any\n"
    "object with the buffer protocol. Lines may be any distance apart (a crop\n"
    "of a larger array is read in place); pixels that are not side by side\n"
    "within a line (a[:, ::2], a transposed or Fortran-ordered array) and\n"
    "lines in reverse order are first copied once into a contiguous frame.\n"
    "A flat buffer (bytes, bytearray, a 1-D array) takes shape=(height, width)\n"
    "or (height, width, channels) and, when its lines are padded, stride=\n"
    "(bytes from one line to the next).\n"
    "quality 1 to 100 (default: the library's built-in quality, 75),\n"
    "restart_interval 0 to 65535 MCUs, threads 1 to 64 (the library codes\n"
    "the frame on that many threads, with the same bytes); a colour frame\n"
    "is coded at sampling \"444\", \"422\" or \"420\", or with gray=True as its\n"
    "luma alone in a grayscale file. exif= (bytes, b\"Exif\\0\\0\"...) and comment=\n"
    "(str or bytes) add those segments.\n"
    "The GIL is released while the frame is coded.";

static PyObject *encode(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"image", "quality", "restart_interval", "threads", "sampling", "gray",
                             "exif", "comment", "order", "shape", "stride", NULL};
  PyObject *image = NULL, *order = NULL, *shape = NULL, *stride = NULL;
  Settings settings = {NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOO:encode", keywords, &image, &settings.quality,
                                   &settings.restart_interval, &settings.threads, &settings.sampling,
                                   &settings.gray, &settings.exif, &settings.comment, &order, &shape, &stride))
    return NULL;
  Job job = {.view_count = 0, .plane_count = 1, .copies = {NULL, NULL, NULL}};
  if (get_view(image, "image", &job.views[0]) < 0) return NULL;
  job.view_count = 1;
  Plane *p = &job.planes[0];
  int ok;
  if (shape != NULL && shape != Py_None) {
    ok = plane_of_flat(&job.views[0], shape, stride, p) == 0;
  } else if (stride != NULL && stride != Py_None) {
    PyErr_SetString(PyExc_ValueError, "stride= is for a flat buffer given with shape=");
    ok = 0;
  } else {
    ok = plane_of(&job.views[0], "image", p) == 0;
  }
  uint32_t input = BW_INPUT_GRAY;
  bw_config cfg;
  if (!ok || interleaved_input(p, order, &input) < 0 ||
      make_config(&cfg, p->width, p->height, input, BW_SAMPLING_420, &settings, &job) < 0) {
    job_release(&job);
    return NULL;
  }
  return run(&job, &cfg);
}

/* Takes a 2-D plane of encode_yuv or encode_nv12 into the job. */
static int add_plane(Job *job, PyObject *obj, const char *name, int allow_3d) {
  Py_buffer *view = &job->views[job->view_count];
  if (get_view(obj, name, view) < 0) return -1;
  job->view_count++;
  if (view->ndim != 2 && !(allow_3d && view->ndim == 3)) {
    PyErr_Format(PyExc_ValueError, "%s: a plane is a 2-D (height, width) array, not %d-D", name, view->ndim);
    return -1;
  }
  return plane_of(view, name, &job->planes[job->plane_count++]);
}

static const char encode_yuv_doc[] =
    "encode_yuv(y, cb, cr, *, quality=75, restart_interval=0, threads=1, sampling=None,\n"
    "           gray=False, exif=None, comment=None) -> bytes\n"
    "\n"
    "Encodes a planar YCbCr frame: y is (height, width); cb and cr are both\n"
    "(height, width) for 4:4:4, (height, ceil(width / 2)) for 4:2:2, or\n"
    "(ceil(height / 2), ceil(width / 2)) for 4:2:0. The file has the planes'\n"
    "own sampling unless sampling= names a coarser one; gray=True codes y alone.\n"
    "Each plane is read in place when its samples are side by side within\n"
    "a line, else copied once. The GIL is released while the frame is coded.";

static PyObject *encode_yuv(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"y", "cb", "cr", "quality", "restart_interval", "threads", "sampling", "gray",
                             "exif", "comment", NULL};
  PyObject *obj[3];
  Settings settings = {NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOOOOO:encode_yuv", keywords, &obj[0], &obj[1],
                                   &obj[2], &settings.quality, &settings.restart_interval, &settings.threads,
                                   &settings.sampling, &settings.gray, &settings.exif, &settings.comment))
    return NULL;
  Job job = {.view_count = 0, .plane_count = 0, .copies = {NULL, NULL, NULL}};
  static const char *names[3] = {"y", "cb", "cr"};
  for (int i = 0; i < 3; i++) {
    if (add_plane(&job, obj[i], names[i], 0) < 0) {
      job_release(&job);
      return NULL;
    }
  }
  const Plane *y = &job.planes[0], *cb = &job.planes[1], *cr = &job.planes[2];
  const Py_ssize_t h = y->height, w = y->width, h2 = (h + 1) / 2, w2 = (w + 1) / 2;
  uint32_t input = 0, sampling = 0;
  if (cb->height != cr->height || cb->width != cr->width) {
    PyErr_Format(PyExc_ValueError, "cb is (%zd, %zd) but cr (%zd, %zd)", cb->height, cb->width, cr->height,
                 cr->width);
  } else if (cb->height == h && cb->width == w) {
    input = BW_INPUT_I444, sampling = 444;
  } else if (cb->height == h && cb->width == w2) {
    input = BW_INPUT_I422, sampling = 422;
  } else if (cb->height == h2 && cb->width == w2) {
    input = BW_INPUT_I420, sampling = 420;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "for a (%zd, %zd) y plane, cb and cr are (%zd, %zd), (%zd, %zd) or (%zd, %zd), not (%zd, %zd)", h,
                 w, h, w, h, w2, h2, w2, cb->height, cb->width);
  }
  bw_config cfg;
  if (input == 0 || make_config(&cfg, w, h, input, sampling, &settings, &job) < 0) {
    job_release(&job);
    return NULL;
  }
  return run(&job, &cfg);
}

static const char encode_nv12_doc[] =
    "encode_nv12(y, cbcr, *, quality=75, restart_interval=0, threads=1, sampling=None,\n"
    "            gray=False, exif=None, comment=None) -> bytes\n"
    "\n"
    "Encodes an NV12 frame: y is (height, width), cbcr the Cb Cr pairs,\n"
    "(ceil(height / 2), ceil(width / 2), 2) or (ceil(height / 2), 2 * ceil(width / 2)).\n"
    "The file is 4:2:0; gray=True codes y alone. The GIL is released while\n"
    "the frame is coded.";

static PyObject *encode_nv12(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"y", "cbcr", "quality", "restart_interval", "threads", "sampling", "gray",
                             "exif", "comment", NULL};
  PyObject *obj[2];
  Settings settings = {NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOO:encode_nv12", keywords, &obj[0], &obj[1],
                                   &settings.quality, &settings.restart_interval, &settings.threads,
                                   &settings.sampling, &settings.gray, &settings.exif, &settings.comment))
    return NULL;
  Job job = {.view_count = 0, .plane_count = 0, .copies = {NULL, NULL, NULL}};
  if (add_plane(&job, obj[0], "y", 0) < 0 || add_plane(&job, obj[1], "cbcr", 1) < 0) {
    job_release(&job);
    return NULL;
  }
  const Plane *y = &job.planes[0];
  Plane *c = &job.planes[1];
  if (c->channels == 1 && c->width % 2 == 0) {
    /* (h2, 2 * w2) bytes: w2 pairs a line */
    c->width /= 2;
    c->channels = 2;
    c->byte_step = c->pixel_step;
    c->pixel_step *= 2;
  }
  const Py_ssize_t h = y->height, w = y->width, h2 = (h + 1) / 2, w2 = (w + 1) / 2;
  bw_config cfg;
  if (c->channels != 2 || c->height != h2 || c->width != w2) {
    PyErr_Format(PyExc_ValueError, "for a (%zd, %zd) y plane, cbcr is (%zd, %zd, 2) or (%zd, %zd)", h, w, h2, w2,
                 h2, 2 * w2);
  } else if (make_config(&cfg, w, h, BW_INPUT_NV12, BW_SAMPLING_420, &settings, &job) == 0) {
    return run(&job, &cfg);
  }
  job_release(&job);
  return NULL;
}

static const char max_encoded_size_doc[] =
    "max_encoded_size(shape, *, quality=75, restart_interval=0, threads=1, sampling=\"420\",\n"
    "                 gray=False, exif=None, comment=None) -> int\n"
    "\n"
    "A true upper bound of the bytes encode() returns for a frame of\n"
    "shape=(height, width), or (height, width, 3) for colour, with these\n"
    "settings, whatever its samples.";

static PyObject *max_encoded_size(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"shape", "quality", "restart_interval", "threads", "sampling", "gray",
                             "exif", "comment", NULL};
  PyObject *shape = NULL;
  Settings settings = {NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOO:max_encoded_size", keywords, &shape,
                                   &settings.quality, &settings.restart_interval, &settings.threads,
                                   &settings.sampling, &settings.gray, &settings.exif, &settings.comment))
    return NULL;
  Plane p = {.channels = 1};
  Job job = {.view_count = 0, .plane_count = 0, .copies = {NULL, NULL, NULL}};
  uint32_t input = BW_INPUT_GRAY;
  bw_config cfg;
  const int ok = get_shape(shape, &p.height, &p.width, &p.channels) == 0 &&
                 interleaved_input(&p, NULL, &input) == 0 &&
                 make_config(&cfg, p.width, p.height, input, BW_SAMPLING_420, &settings, &job) == 0;
  const size_t bound = ok ? bw_max_encoded_size(&cfg) : 0;
  job_release(&job);
  if (!ok) return NULL;
  if (bound == SIZE_MAX) {
    PyErr_SetString(PyExc_OverflowError, "the bound does not fit a size_t on this system");
    return NULL;
  }
  return PyLong_FromSize_t(bound);
}

static PyMethodDef methods[] = {
    {"encode", (PyCFunction)(void (*)(void))encode, METH_VARARGS | METH_KEYWORDS, encode_doc},
    {"encode_yuv", (PyCFunction)(void (*)(void))encode_yuv, METH_VARARGS | METH_KEYWORDS, encode_yuv_doc},
    {"encode_nv12", (PyCFunction)(void (*)(void))encode_nv12, METH_VARARGS | METH_KEYWORDS, encode_nv12_doc},
    {"max_encoded_size", (PyCFunction)(void (*)(void))max_encoded_size, METH_VARARGS | METH_KEYWORDS,
     max_encoded_size_doc},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "blockwright._blockwright",
                                    "The C library's encoder.", -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__blockwright(void) {
  PyObject *m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  if (PyModule_AddStringConstant(m, "__version__", bw_version()) < 0 ||
      PyModule_AddIntConstant(m, "MAX_THREADS", BW_MAX_THREADS) < 0) {
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
