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

typedef struct {
  PyObject *quality, *restart_interval, *threads;
} Settings;

/* A 1 to 65535 dimension of a frame; anything else becomes UINT32_MAX,
 * which the library refuses. */
static uint32_t dimension(Py_ssize_t n) { return n < 0 || n > 65535 ? UINT32_MAX : (uint32_t)n; }

/* Fills cfg from the frame size and the settings; 0, or -1 with the exception
 * set (the library's own message for a refused value). */
static int make_config(bw_config *cfg, Py_ssize_t width, Py_ssize_t height, const Settings *s) {
  bw_default_config(cfg);
  cfg->width = dimension(width);
  cfg->height = dimension(height);
  if (get_setting(s->quality, "quality", &cfg->quality) < 0 ||
      get_setting(s->restart_interval, "restart_interval", &cfg->restart_interval) < 0 ||
      get_setting(s->threads, "threads", &cfg->threads) < 0)
    return -1;
  if (bw_max_encoded_size(cfg) != 0) return 0;
  /* Refused: ask the library which setting, and say what was given. */
  bw_encoder probe;
  const int status = bw_encoder_init(&probe, cfg, sink_write, NULL);
  const char *message = bw_strerror(status);
  switch (status) {
    case BW_E_SIZE:
      PyErr_Format(PyExc_ValueError, "%s (width %zd, height %zd)", message, width, height);
      break;
    case BW_E_QUALITY:
      PyErr_Format(PyExc_ValueError, "%s (quality=%R)", message, s->quality);
      break;
    case BW_E_RESTART:
      PyErr_Format(PyExc_ValueError, "%s (restart_interval=%R)", message, s->restart_interval);
      break;
    case BW_E_THREADS:
      PyErr_Format(PyExc_ValueError, "%s (threads=%R)", message, s->threads);
      break;
    default:
      PyErr_SetString(PyExc_ValueError, message);
  }
  return -1;
}

static int is_uint8(const Py_buffer *view) {
  if (view->itemsize != 1) return 0;
  const char *f = view->format == NULL ? "B" : view->format;
  if (f[0] != '\0' && strchr("@=<>!", f[0]) != NULL) f++;
  return strcmp(f, "B") == 0;
}

/* Reads shape=(height, width) into h and w. */
static int get_shape(PyObject *shape, Py_ssize_t *h, Py_ssize_t *w) {
  if (!PyTuple_Check(shape) && !PyList_Check(shape)) {
    PyErr_Format(PyExc_TypeError, "shape must be a (height, width) tuple, not %.80s",
                 Py_TYPE(shape)->tp_name);
    return -1;
  }
  if (PySequence_Size(shape) != 2) {
    PyErr_Format(PyExc_ValueError, "shape must be (height, width), not %R", shape);
    return -1;
  }
  Py_ssize_t v[2];
  for (Py_ssize_t i = 0; i < 2; i++) {
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
  return 0;
}

/* The frame in a buffer: its first sample and its line and sample steps in
 * bytes. */
typedef struct {
  const uint8_t *first;
  Py_ssize_t height, width, line_step, sample_step;
} Frame;

static int frame_of(PyObject *image, const Py_buffer *view, PyObject *shape, PyObject *stride, Frame *f) {
  if (!is_uint8(view)) {
    /* numpy's name for the type when there is one, else the buffer's format */
    PyObject *dtype = PyObject_HasAttrString(image, "dtype") ? PyObject_GetAttrString(image, "dtype") : NULL;
    if (dtype != NULL)
      PyErr_Format(PyExc_TypeError, "samples must be uint8, not %S", dtype);
    else
      PyErr_Format(PyExc_TypeError, "samples must be uint8 (buffer format 'B'), not format '%.20s'",
                   view->format == NULL ? "B" : view->format);
    Py_XDECREF(dtype);
    return -1;
  }
  f->first = view->buf;
  f->sample_step = 1;
  if (shape == NULL || shape == Py_None) {
    if (stride != NULL && stride != Py_None) {
      PyErr_SetString(PyExc_ValueError, "stride= is for a flat buffer given with shape=");
      return -1;
    }
    if (view->ndim != 2) {
      if (view->ndim == 1)
        PyErr_SetString(PyExc_ValueError,
                        "a 1-D buffer needs shape=(height, width); a frame is a 2-D (height, width) array");
      else
        PyErr_Format(PyExc_ValueError, "a frame is a 2-D (height, width) array, not %d-D", view->ndim);
      return -1;
    }
    f->height = view->shape[0];
    f->width = view->shape[1];
    f->line_step = view->strides[0];
    f->sample_step = view->strides[1];
    return 0;
  }
  if (!PyBuffer_IsContiguous(view, 'C')) {
    PyErr_SetString(PyExc_ValueError, "shape= needs a contiguous buffer");
    return -1;
  }
  if (get_shape(shape, &f->height, &f->width) < 0) return -1;
  f->line_step = f->width;
  if (stride != NULL && stride != Py_None) {
    if (!PyIndex_Check(stride)) {
      PyErr_Format(PyExc_TypeError, "stride must be an integer, not %.80s", Py_TYPE(stride)->tp_name);
      return -1;
    }
    f->line_step = PyNumber_AsSsize_t(stride, NULL);
    if (f->line_step == -1 && PyErr_Occurred()) return -1;
  }
  /* Sizes outside 1 to 65535 are left to the library's check. */
  if (f->height < 1 || f->height > 65535 || f->width < 1 || f->width > 65535) return 0;
  if (f->line_step < f->width) {
    PyErr_Format(PyExc_ValueError, "stride %zd is less than the width %zd", f->line_step, f->width);
    return -1;
  }
  /* The last line ends at (height - 1) * stride + width. */
  if (view->len < f->width || (f->height > 1 && (view->len - f->width) / (f->height - 1) < f->line_step)) {
    PyErr_Format(PyExc_ValueError, "shape (%zd, %zd) with lines %zd bytes apart does not fit the buffer's %zd bytes",
                 f->height, f->width, f->line_step, view->len);
    return -1;
  }
  return 0;
}

/* Copies the frame into width x height contiguous bytes. Samples apart
 * are gathered in tiles of 32 x 32, so that a transposed frame reads whole
 * cache lines. */
static void copy_frame(const Frame *f, uint8_t *to) {
  if (f->sample_step == 1) {
    for (Py_ssize_t y = 0; y < f->height; y++)
      memcpy(to + (size_t)y * (size_t)f->width, f->first + y * f->line_step, (size_t)f->width);
    return;
  }
  enum { tile = 32 };
  for (Py_ssize_t y0 = 0; y0 < f->height; y0 += tile) {
    const Py_ssize_t y1 = y0 + tile < f->height ? y0 + tile : f->height;
    for (Py_ssize_t x0 = 0; x0 < f->width; x0 += tile) {
      const Py_ssize_t x1 = x0 + tile < f->width ? x0 + tile : f->width;
      for (Py_ssize_t y = y0; y < y1; y++) {
        const uint8_t *line = f->first + y * f->line_step;
        uint8_t *out = to + (size_t)y * (size_t)f->width;
        for (Py_ssize_t x = x0; x < x1; x++) out[x] = line[x * f->sample_step];
      }
    }
  }
}

static const char encode_doc[] =
    "encode(image, *, quality=75, restart_interval=0, threads=1, shape=None, stride=None) -> bytes\n"
    "\n"
    "Encodes a grayscale frame into a baseline JPEG file.\n"
    "\n"
    "image: a 2-D (height, width) uint8 array or any object with the buffer\n"
    "protocol. Lines may be any distance apart (a crop of a larger array is\n"
    "read in place); samples that are not next to each other within a line\n"
    "(a[:, ::2], a transposed or Fortran-ordered array) and lines in reverse\n"
    "order are first copied once into a contiguous frame.\n"
    "A flat buffer (bytes, bytearray, a 1-D array) takes shape=(height, width)\n"
    "and, when its lines are padded, stride= (bytes from one line to the next).\n"
    "quality 1 to 100 (default: the library's built-in quality, 75),\n"
    "restart_interval 0 to 65535 blocks, threads 1 to 64 (the library codes\n"
    "the frame on that many threads, with the same bytes).\n"
    "The GIL is released while the frame is coded.";

static PyObject *encode(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"image", "quality", "restart_interval", "threads", "shape", "stride", NULL};
  PyObject *image = NULL, *shape = NULL, *stride = NULL;
  Settings settings = {NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:encode", keywords, &image, &settings.quality,
                                   &settings.restart_interval, &settings.threads, &shape, &stride))
    return NULL;

  if (!PyObject_CheckBuffer(image)) {
    PyErr_Format(PyExc_TypeError,
                 "image must be a uint8 array or another object with the buffer protocol, not %.80s",
                 Py_TYPE(image)->tp_name);
    return NULL;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(image, &view, PyBUF_RECORDS_RO) < 0) return NULL;

  PyObject *result = NULL;
  Frame f;
  bw_config cfg;
  if (frame_of(image, &view, shape, stride, &f) < 0 ||
      make_config(&cfg, f.width, f.height, &settings) < 0) {
    PyBuffer_Release(&view);
    return NULL;
  }

  /* Lines in order, each one's samples side by side: read in place.
   * Otherwise the frame is copied once. */
  const int in_place = (f.sample_step == 1 || f.width == 1) && (f.line_step >= 0 || f.height == 1);
  const size_t frame_bytes = (size_t)f.width * (size_t)f.height;
  uint8_t *copy = NULL;
  if (!in_place) {
    copy = PyMem_RawMalloc(frame_bytes);
    if (copy == NULL) {
      PyBuffer_Release(&view);
      return PyErr_NoMemory();
    }
  }
  /* A first guess of the file's size; the sink grows when it is not enough. */
  size_t guess = frame_bytes / 4 + 4096;
  const size_t bound = bw_max_encoded_size(&cfg);
  if (guess > bound) guess = bound;
  Sink sink = {PyMem_RawMalloc(guess), 0, guess, 0};
  if (sink.data == NULL) {
    PyMem_RawFree(copy);
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }

  int status;
  Py_BEGIN_ALLOW_THREADS
  const uint8_t *samples = f.first;
  size_t line_step = f.height == 1 ? (size_t)f.width : (size_t)f.line_step;
  if (copy != NULL) {
    copy_frame(&f, copy);
    samples = copy;
    line_step = (size_t)f.width;
  }
  bw_encoder enc;
  status = bw_encoder_init(&enc, &cfg, sink_write, &sink);
  if (status == BW_OK) status = bw_encoder_write_lines(&enc, samples, line_step, cfg.height);
  if (status == BW_OK) status = bw_encoder_finish(&enc);
  bw_encoder_release(&enc);
  Py_END_ALLOW_THREADS

  if (status == BW_OK)
    result = PyBytes_FromStringAndSize((const char *)sink.data, (Py_ssize_t)sink.size);
  else if (status == BW_E_MEMORY || (status == BW_E_CALLBACK && sink.out_of_memory))
    PyErr_NoMemory();
  else
    PyErr_SetString(PyExc_RuntimeError, bw_strerror(status));
  PyMem_RawFree(sink.data);
  PyMem_RawFree(copy);
  PyBuffer_Release(&view);
  return result;
}

static const char max_encoded_size_doc[] =
    "max_encoded_size(shape, *, quality=75, restart_interval=0, threads=1) -> int\n"
    "\n"
    "A true upper bound of the bytes encode() returns for a frame of\n"
    "shape=(height, width) with these settings, whatever its samples.";

static PyObject *max_encoded_size(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  static char *keywords[] = {"shape", "quality", "restart_interval", "threads", NULL};
  PyObject *shape = NULL;
  Settings settings = {NULL, NULL, NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:max_encoded_size", keywords, &shape,
                                   &settings.quality, &settings.restart_interval, &settings.threads))
    return NULL;
  Py_ssize_t h, w;
  bw_config cfg;
  if (get_shape(shape, &h, &w) < 0 || make_config(&cfg, w, h, &settings) < 0)
    return NULL;
  const size_t bound = bw_max_encoded_size(&cfg);
  if (bound == SIZE_MAX) {
    PyErr_SetString(PyExc_OverflowError, "the bound does not fit a size_t on this system");
    return NULL;
  }
  return PyLong_FromSize_t(bound);
}

static PyMethodDef methods[] = {
    {"encode", (PyCFunction)(void (*)(void))encode, METH_VARARGS | METH_KEYWORDS, encode_doc},
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
