// The qorimage Python module: images between files (or bytes) and numpy
// arrays through the library's class interface. The interpreter lock is
// released while the library works; every call borrows a data manager no
// other thread uses at the time, and an open Ensemble has one of its own.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "arrays.h"
#include "formats.h"
#include "managers.h"
#include "sources.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

py::handle errorType;  // qorimage.Error, made at import and kept for the life of the process

// A source with what keeps its bytes alive: the caller's object and the
// buffer view, released with the interpreter lock held.
struct HeldSource {
  Source source;
  std::unique_ptr<py::buffer_info> view;
};

bool isPath(py::handle obj) { return py::isinstance<py::str>(obj) || py::hasattr(obj, "__fspath__"); }

std::string pathOf(py::handle obj) {
  return py::module_::import("os").attr("fsencode")(obj).cast<std::string>();
}

HeldSource sourceOf(py::handle obj) {
  HeldSource h;
  if (isPath(obj)) {
    h.source.path = pathOf(obj);
    return h;
  }
  if (!PyObject_CheckBuffer(obj.ptr()))
    throw py::type_error("source must be a path (str or os.PathLike) or a bytes-like object, not " +
                         std::string(py::str(obj.get_type().attr("__name__"))));
  h.view = std::make_unique<py::buffer_info>(py::reinterpret_borrow<py::buffer>(obj).request());
  h.source.memory = true;
  h.source.data = static_cast<const unsigned char*>(h.view->ptr);
  h.source.size = size_t(h.view->size) * size_t(h.view->itemsize);
  return h;
}

Mode modeOf(const py::object& mode) {
  if (mode.is_none()) return Mode::natural;
  Mode m;
  if (!py::isinstance<py::str>(mode) || !parseMode(mode.cast<std::string>(), &m))
    throw py::value_error("mode must be None, 'rgb', 'L', 'uint8', 'int8', 'int16' or 'float64', not " +
                          std::string(py::repr(mode)));
  return m;
}

int checkedIndex(int index, int count) {
  const int i = index < 0 ? index + count : index;
  if (i < 0 || i >= count)
    throw py::index_error("image " + std::to_string(index) + " of a file of " + std::to_string(count) +
                          (count == 1 ? " image" : " images"));
  return i;
}

py::dtype dtypeOf(int type) {
  switch (type) {
    case stSChar: return py::dtype::of<int8_t>();
    case stSShort: return py::dtype::of<int16_t>();
    case stDouble: return py::dtype::of<double>();
    default: return py::dtype::of<uint8_t>();
  }
}

std::vector<py::ssize_t> shapeOf(const ReadPlan& p) {
  if (p.channels == 3) return {p.height, p.width, 3};
  return {p.height, p.width};
}

py::array emptyArray(const ReadPlan& p) { return py::array(dtypeOf(p.type), shapeOf(p)); }

std::string formatName(int id) {
  const FormatRow* row = formatById(id);
  return row ? row->name : std::to_string(id);
}

// ---------------------------------------------------------------- arrays to write

// An array ready for the library: C-contiguous, native byte order, with the
// library image type its elements and shape make.
struct ArrayIn {
  py::array array;
  int type = stUChar;
  bool bilevel = false;  // made from a bool array
  int width = 0;
  int height = 0;
};

template <class T>
py::array contiguous(const py::array& a) {
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
}

ArrayIn arrayIn(py::handle obj) {
  py::array a = py::array::ensure(obj);
  if (!a) throw py::type_error("an array (numpy.ndarray) of pixels is expected");
  ArrayIn in;
  const char kind = a.dtype().kind();
  const py::ssize_t size = a.dtype().itemsize();
  if (kind == 'b') {
    in.bilevel = true;
    a = contiguous<uint8_t>(a);
  } else if (kind == 'u' && size == 1) {
    a = contiguous<uint8_t>(a);
  } else if (kind == 'i' && size == 1) {
    a = contiguous<int8_t>(a), in.type = stSChar;
  } else if (kind == 'i' && size == 2) {
    a = contiguous<int16_t>(a), in.type = stSShort;
  } else if (kind == 'f' && size == 8) {
    a = contiguous<double>(a), in.type = stDouble;
  } else {
    throw py::type_error("arrays of uint8, bool, int8, int16 or float64 are written, not " +
                         std::string(py::str(a.dtype())) + " (convert with astype)");
  }
  const bool colour = a.ndim() == 3 && a.shape(2) == 3 && in.type == stUChar && !in.bilevel;
  if (!(a.ndim() == 2 || colour))
    throw py::value_error("the array must be (height, width), or (height, width, 3) uint8 for colour; its shape is " +
                          std::string(py::str(py::tuple(py::cast(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()))))));
  if (colour) in.type = stRGB;
  if (a.shape(0) < 1 || a.shape(1) < 1 || a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
    throw py::value_error("the array has no pixels or more rows or columns than an int holds");
  in.height = int(a.shape(0));
  in.width = int(a.shape(1));
  in.array = a;
  return in;
}

// A palette argument as 768 bytes red, green, blue and its entry count.
struct PaletteIn {
  std::vector<unsigned char> rgb = std::vector<unsigned char>(768, 0);
  int entries = 0;
};

std::optional<PaletteIn> paletteIn(const py::object& obj) {
  if (obj.is_none()) return std::nullopt;
  auto a = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(obj);
  if (!a || a.ndim() != 2 || a.shape(1) != 3 || a.shape(0) < 1 || a.shape(0) > 256)
    throw py::value_error("palette must be an (N, 3) array of red, green, blue, N from 1 to 256");
  PaletteIn p;
  p.entries = int(a.shape(0));
  const long long* v = a.data();
  for (int k = 0; k < 3 * p.entries; ++k) {
    if (v[k] < 0 || v[k] > 255) throw py::value_error("palette values must lie in 0 to 255");
    p.rgb[size_t(k)] = (unsigned char)v[k];
  }
  return p;
}

// ---------------------------------------------------------------- formats and options

const FormatRow& writableRow(const py::object& format, const std::string& path) {
  const FormatRow* row = nullptr;
  if (!format.is_none()) {
    const std::string name = py::str(format);
    row = formatByName(name);
    if (!row) throw py::value_error("unknown format '" + name + "'; qorimage.formats() lists them");
  } else {
    row = formatByExtension(path);
    if (!row) throw py::value_error("no format has the extension of '" + path + "'; give format=");
  }
  if (!row->writes()) throw py::value_error(std::string("the ") + row->name + " format is not written to files");
  return *row;
}

WriteOptions optionsOf(const FormatRow& row, const py::kwargs& kwargs) {
  WriteOptions o;
  for (auto item : kwargs) {
    const std::string key = py::str(item.first);
    if (!row.takes(key)) {
      std::string known;
      for (const char* k : row.options) known += std::string(known.empty() ? "" : ", ") + k;
      throw py::type_error(std::string("the ") + row.name + " format takes no option '" + key + "'" +
                           (known.empty() ? "" : " (it takes: " + known + ")"));
    }
    if (key == "quality") o.quality = item.second.cast<int>();
    if (key == "rle") o.rle = PyObject_IsTrue(item.second.ptr()) == 1 ? 1 : 0;
    if (key == "interlace") o.interlace = PyObject_IsTrue(item.second.ptr()) == 1;
    if (key == "name") o.name = item.second.cast<std::string>();
    if (key == "mask") o.mask = item.second.cast<std::string>();
  }
  return o;
}

// The disk coding of a new file of the array's kind, unless the caller named one.
int codingFor(const FormatRow& row, const ArrayIn& in, const py::object& coding) {
  if (!coding.is_none()) return coding.cast<int>();
  if (row.scalar()) {
    if (in.type == stRGB) throw py::value_error(std::string("the ") + row.name + " format holds no colour images");
    return in.type;
  }
  if (row.id() == idASTROLUM()) return image16BitPerPix;
  if (in.type == stRGB) return image24BitPerPix;
  return in.bilevel ? image1BitPerPix : image8BitPerPix;
}

// ---------------------------------------------------------------- the module's functions

py::array imread(const py::object& source, int index, const py::object& mode) {
  const Mode m = modeOf(mode);
  HeldSource held = sourceOf(source);
  ManagerLease lease;
  std::unique_ptr<TImageEnsemble> e;
  ReadPlan plan;
  int count = 0;
  {
    py::gil_scoped_release nogil;
    e = openSource(held.source, lease.manager());
    count = e->numberOfImages();
    plan = planRead(*e, m);
  }
  const int i = checkedIndex(index, count);
  py::array out = emptyArray(plan);
  void* memory = out.mutable_data();
  {
    py::gil_scoped_release nogil;
    readPixels(*e, i, plan, memory);
    e.reset();
  }
  return out;
}

// Writes one image into a new ensemble made by make (under the manager variable).
template <class Make>
void writeOne(Make make, const ArrayIn& in, const std::optional<PaletteIn>& palette, TQORDataManager*& manager) {
  std::unique_ptr<TImageEnsemble> e = make(manager);
  writePixels(*e, 0, in.type, const_cast<void*>(in.array.data()), palette ? palette->rgb.data() : nullptr,
              palette ? palette->entries : 0);
  e->close();
}

void imwrite(const py::object& target, const py::object& array, const py::object& format, const py::object& coding,
             const py::object& palette, const py::kwargs& kwargs) {
  if (!isPath(target)) throw py::type_error("target must be a path (str or os.PathLike); imencode gives bytes");
  const std::string path = pathOf(target);
  const FormatRow& row = writableRow(format, path);
  const ArrayIn in = arrayIn(array);
  const std::optional<PaletteIn> pal = paletteIn(palette);
  const WriteOptions options = optionsOf(row, kwargs);
  const int c = codingFor(row, in, coding);
  ManagerLease lease;
  py::gil_scoped_release nogil;
  TFileInfo* info = row.make(path, c, in.width, in.height, 1, options);
  try {
    writeOne([&](TQORDataManager*& m) { return createFile(path, info, m); }, in, pal, lease.manager());
  } catch (const x_qor& x) {
    // a refused write leaves no file behind; a file that could not be opened was never touched
    struct stat st;
    if (x.error() != 2 && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
    throw;
  }
}

py::bytes imencode(const py::object& array, const py::object& format, const py::object& coding,
                   const py::object& palette, const py::kwargs& kwargs) {
  const FormatRow& row = writableRow(format, "");
  if (row.id() == idIMGLIST()) throw py::value_error("image lists keep their images in files; use imwrite");
  const ArrayIn in = arrayIn(array);
  const std::optional<PaletteIn> pal = paletteIn(palette);
  const WriteOptions options = optionsOf(row, kwargs);
  const int c = codingFor(row, in, coding);
  auto bytes = std::make_shared<std::vector<unsigned char>>();
  {
    ManagerLease lease;
    py::gil_scoped_release nogil;
    TFileInfo* info = row.make("", c, in.width, in.height, 1, options);
    writeOne([&](TQORDataManager*& m) { return createInMemory(bytes, info, m); }, in, pal, lease.manager());
  }
  return py::bytes(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

py::dict info(const py::object& source) {
  HeldSource held = sourceOf(source);
  ManagerLease lease;
  std::unique_ptr<TImageEnsemble> e;
  int id = 0, coding = 0, count = 0, palette = 0;
  ReadPlan plan;
  {
    py::gil_scoped_release nogil;
    e = openSource(held.source, lease.manager());
    id = e->formatID();
    coding = e->coding();
    count = e->numberOfImages();
    palette = e->hasPalette() ? e->paletteSize() : 0;
    plan = planRead(*e, Mode::natural);
    e.reset();
  }
  return py::dict("format"_a = formatName(id), "width"_a = plan.width, "height"_a = plan.height, "images"_a = count,
                  "coding"_a = coding, "palette_size"_a = palette, "dtype"_a = dtypeOf(plan.type),
                  "shape"_a = py::tuple(py::cast(shapeOf(plan))));
}

py::list formats() {
  py::list list;
  for (const FormatRow& r : formatTable()) {
    const bool file = r.id() != idKAVMEM();
    list.append(py::dict("name"_a = r.name, "id"_a = r.id(), "extensions"_a = r.extensionList(), "read"_a = file,
                         "write"_a = r.writes(), "multi_image"_a = r.multiImage,
                         "codings"_a = r.writes() ? r.codings : std::vector<int>{}));
  }
  return list;
}

// ---------------------------------------------------------------- Ensemble

// An open file or bytes: images read by index, or written into a new file.
// The library is called with the interpreter lock released and the
// ensemble's own lock held, so threads may share one Ensemble.
class Ensemble {
public:
  // Opens a file or bytes for reading.
  explicit Ensemble(HeldSource s) : held(std::move(s)) {
    py::gil_scoped_release nogil;
    e = openSource(held.source, manager.manager());
    remember();
  }
  // Creates a file of count images for writing.
  Ensemble(const std::string& path, const FormatRow& row, int coding, int width, int height, int count,
           const WriteOptions& options)
      : writing(true) {
    held.source.path = path;
    py::gil_scoped_release nogil;
    e = createFile(path, row.make(path, coding, width, height, count, options), manager.manager());
    remember();
  }
  ~Ensemble() { e.reset(); }

  int size() const { return count; }

  py::array read(int index, const py::object& mode) {
    const Mode m = modeOf(mode);
    const int i = checkedIndex(index, count);
    ReadPlan plan;
    {
      py::gil_scoped_release nogil;
      std::lock_guard<std::mutex> hold(lock);
      plan = planRead(open(), m);
    }
    py::array out = emptyArray(plan);
    void* memory = out.mutable_data();
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(lock);
    TImageEnsemble& en = open();
    if (en.sizeX() != plan.width || en.sizeY() != plan.height) QOR_RAISE("The image size changed while reading.");
    readPixels(en, i, plan, memory);
    return out;
  }

  void write(int index, const py::object& array, const py::object& palette) {
    const int i = checkedIndex(index, count);
    const ArrayIn in = arrayIn(array);
    const std::optional<PaletteIn> pal = paletteIn(palette);
    if (in.width != width || in.height != height)
      throw py::value_error("the array is " + std::to_string(in.width) + " x " + std::to_string(in.height) +
                            " pixels, the file " + std::to_string(width) + " x " + std::to_string(height));
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(lock);
    writePixels(open(), i, in.type, const_cast<void*>(in.array.data()), pal ? pal->rgb.data() : nullptr,
                pal ? pal->entries : 0);
  }

  py::object palette() {
    std::vector<unsigned char> rgb(768);
    {
      py::gil_scoped_release nogil;
      std::lock_guard<std::mutex> hold(lock);
      TImageEnsemble& en = open();
      if (!en.hasPalette()) return py::none();
      std::memcpy(rgb.data(), en.get_palette_c(), rgb.size());
    }
    py::array_t<uint8_t> out({256, 3});
    std::memcpy(out.mutable_data(), rgb.data(), rgb.size());
    return std::move(out);
  }

  // Closes the ensemble, then lets the caller's bytes go.
  void close() {
    {
      py::gil_scoped_release nogil;
      std::lock_guard<std::mutex> hold(lock);
      if (!e) return;
      std::unique_ptr<TImageEnsemble> closing = std::move(e);
      closing->close();
    }
    held.view.reset();
  }

  bool closed() const { return !e; }
  std::string format() const { return formatName(formatId); }
  py::tuple dimensions() const { return py::make_tuple(width, height); }
  int codingOf() const { return coding; }
  std::string repr() const {
    return std::string("<qorimage.Ensemble ") + (closed() ? "closed " : writing ? "writing " : "") + format() + " " +
           std::to_string(width) + " x " + std::to_string(height) + ", " + std::to_string(count) +
           (count == 1 ? " image>" : " images>");
  }

private:
  TImageEnsemble& open() {
    if (!e) QOR_RAISE("The ensemble is closed.");
    return *e;
  }
  void remember() {
    formatId = e->formatID();
    coding = e->coding();
    width = e->sizeX();
    height = e->sizeY();
    count = e->numberOfImages();
  }

  // declared in this order so that the ensemble goes before its manager and its bytes
  HeldSource held;
  OwnManager manager;
  std::unique_ptr<TImageEnsemble> e;
  std::mutex lock;
  bool writing = false;
  int formatId = 0, coding = 0, width = 0, height = 0, count = 0;
};

// Lazy iteration over the images of an Ensemble, as arrays of the natural layout.
struct EnsembleIterator {
  py::object ensemble;
  int next = 0;
  int end = 0;
};

std::unique_ptr<Ensemble> openEnsemble(const py::object& source, const std::string& mode, const py::object& format,
                                       const py::object& coding, const py::object& size, int count,
                                       const py::kwargs& kwargs) {
  if (mode == "r") {
    if (!format.is_none() || !coding.is_none() || !size.is_none() || kwargs.size())
      throw py::type_error("format, coding, size and options are for mode 'w'");
    return std::make_unique<Ensemble>(sourceOf(source));
  }
  if (mode != "w") throw py::value_error("mode must be 'r' or 'w', not '" + mode + "'");
  if (!isPath(source)) throw py::type_error("files for writing are named by a path");
  const std::string path = pathOf(source);
  const FormatRow& row = writableRow(format, path);
  if (size.is_none()) throw py::type_error("a new file needs size=(width, height)");
  const auto wh = size.cast<std::pair<int, int>>();
  if (count < 1) throw py::value_error("count must be at least 1");
  if (count > 1 && !row.multiImage)
    throw py::value_error(std::string("a ") + row.name + " file holds one image; dcx, native and list files hold many");
  if (coding.is_none()) throw py::type_error("a new file needs its disk coding (coding=, e.g. 24, 8, 1)");
  return std::make_unique<Ensemble>(path, row, coding.cast<int>(), wh.first, wh.second, count,
                                    optionsOf(row, kwargs));
}

void translateErrors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const x_qor& x) {
    py::object error = errorType(x.error(), x.msg());
    PyErr_SetObject(errorType.ptr(), error.ptr());
  }
}

const char* errorClass = R"(
class Error(Exception):
    """A failure the library reported.

    ``code`` is the library's error code (1 out of memory, 2 a file that
    cannot be opened, 3 content that is damaged or a request the format
    refuses) and ``message`` its text.
    """

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return "error %d: %s" % (self.code, self.message)
)";

}  // namespace

PYBIND11_MODULE(qorimage, m) {
  m.doc() =
      "Raster images of eleven file formats to and from numpy arrays.\n\n"
      "imread / imwrite / imencode move one image; open() gives an Ensemble, the\n"
      "images of one file by index; info() and formats() describe files and formats.";
  m.attr("__version__") = QOR_PY_VERSION;

  py::exec(errorClass, m.attr("__dict__"));
  errorType = py::object(m.attr("Error")).release();
  py::register_exception_translator(translateErrors);

  m.def("imread", &imread, "source"_a, "index"_a = 0, "mode"_a = py::none(),
        "Reads image `index` of a file (path) or of bytes into a new array.\n\n"
        "mode=None gives the file's own layout: uint8 (H, W) for files of 8 bits or\n"
        "fewer (palette indices, 0/1 for bilevel files), uint8 (H, W, 3) RGB for colour\n"
        "files, int16 (H, W) for 16-bit files, float64 (H, W) for double ones.\n"
        "'rgb' gives (H, W, 3) uint8 with palettes applied, 'L' grey levels, and\n"
        "'uint8', 'int8', 'int16', 'float64' the library's conversions to those types.");
  m.def("imwrite", &imwrite, "target"_a, "array"_a, "format"_a = py::none(), "coding"_a = py::none(),
        "palette"_a = py::none(),
        "Writes an array into a new file; the format follows the extension unless given.\n\n"
        "uint8 (H, W) is written as 8-bit grey, or palette indices with palette=(N, 3);\n"
        "bool (H, W) as bilevel; uint8 (H, W, 3) as 24-bit colour; int8, int16 and\n"
        "float64 into the native format (int16 also into fits). coding= picks another\n"
        "disk coding (1, 4, 8, 24, or an element coding for native files). Options:\n"
        "quality= (jpeg, 90), rle= (pcx: True, tga: False; bmp is written uncompressed),\n"
        "interlace= (png), "
        "name= (native), mask= (list).");
  m.def("imencode", &imencode, "array"_a, "format"_a, "coding"_a = py::none(), "palette"_a = py::none(),
        "Encodes an array into the bytes of a file of the format, as imwrite would write it.");
  m.def("info", &info, "source"_a,
        "Describes a file (path) or bytes: format, width, height, images, coding,\n"
        "palette_size, and the dtype and shape imread gives by default.");
  m.def("formats", &formats,
        "The formats of this build: name, id, extensions, whether files are read and\n"
        "written, whether a file holds many images, and the codings written.");

  py::class_<EnsembleIterator>(m, "_EnsembleIterator")
      .def("__iter__", [](EnsembleIterator& it) -> EnsembleIterator& { return it; })
      .def("__next__", [](EnsembleIterator& it) {
        if (it.next >= it.end) throw py::stop_iteration();
        return it.ensemble.attr("read")(it.next++);
      });

  py::class_<Ensemble>(m, "Ensemble",
                       "The images of one file, opened by qorimage.open(): e[i], len(e), iteration,\n"
                       "read(i, mode); in mode 'w', e[i] = array and write(i, array, palette).")
      .def("__len__", &Ensemble::size)
      .def("__getitem__", [](Ensemble& e, int i) { return e.read(i, py::none()); })
      .def("__setitem__", [](Ensemble& e, int i, const py::object& a) { e.write(i, a, py::none()); })
      .def("__iter__",
           [](py::object self) { return EnsembleIterator{self, 0, self.cast<Ensemble&>().size()}; })
      .def("read", &Ensemble::read, "index"_a = 0, "mode"_a = py::none(),
           "Image `index` as a new array; mode as for qorimage.imread.")
      .def("write", &Ensemble::write, "index"_a, "array"_a, "palette"_a = py::none(),
           "Writes image `index` of a file opened with mode 'w' from an array of the file's size.")
      .def("close", &Ensemble::close, "Closes the file; a file being written is complete afterwards.")
      .def_property_readonly("closed", &Ensemble::closed, "True once closed.")
      .def_property_readonly("format", &Ensemble::format, "The format's name ('png', 'native', ...).")
      .def_property_readonly("size", &Ensemble::dimensions, "(width, height) in pixels.")
      .def_property_readonly("coding", &Ensemble::codingOf,
                             "The disk coding: bits per pixel, or the element coding of native files.")
      .def_property_readonly("palette", &Ensemble::palette, "The palette as a (256, 3) uint8 array, or None.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Ensemble& e, py::args) { e.close(); })
      .def("__repr__", &Ensemble::repr);

  m.def("open", &openEnsemble, "source"_a, "mode"_a = "r", "format"_a = py::none(), "coding"_a = py::none(),
        "size"_a = py::none(), "count"_a = 1,
        "Opens a file (path) or bytes as an Ensemble of images.\n\n"
        "open(path, 'w', format=None, coding=..., size=(width, height), count=1, **options)\n"
        "creates a file of count images (dcx, native and list files hold many); the\n"
        "options are those of imwrite.");
}
