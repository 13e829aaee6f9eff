// MT940.from_bytes and MT940.from_file: a file's bytes, from memory, a path or an open
// file, through the core's one entry point for statement files.
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.hpp"
#include "convert.hpp"
#include "mt940_object.hpp"
#include "py_ref.hpp"
#include "tallyfold/read.hpp"

namespace tallyfold::python {
namespace {

// The keyword options of a reading as the caller gave them, kept for pickling.
struct GivenOptions {
  PyObject* encoding;
  int strict;
  PyObject* resolver;
};

// Reads `bytes` (of the bytes object `data`), or the file at `path`, with the lock
// released and makes the MT940 of the result.
PyObject* read_document(PyTypeObject* type, PyObject* data, std::string_view bytes, const std::string* path,
                        ReadOptions options, PyObject* path_object, const GivenOptions& given) {
  std::string file_bytes;
  int file_error = 0;
  auto outcome = [&]() -> std::optional<Result<StatementFile, ReadError>> {
    GilRelease unlocked;
    if (path) {
      auto read = read_whole_file(*path);
      if (!read) {
        file_error = read.error();
        return std::nullopt;
      }
      file_bytes = std::move(*read);
      bytes = file_bytes;
    }
    return read_statement_file(bytes, options);
  }();
  if (!outcome) {
    errno = file_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_object);
  }
  if (!*outcome) {
    const ReadError& error = outcome->error();
    if (error.not_utf8) {
      set_error(LocatedError{error.error.line, EncodingError{message(error.error) +
                                                             "; name its encoding, for example encoding=\"latin-1\""}});
    } else {
      set_error(error.error, error.line_in_message);
    }
    return nullptr;
  }
  if (outcome->value().statements.empty()) throw InternalError("reading succeeded without a statement");
  auto state = std::make_unique<Mt940State>();
  state->document = std::make_shared<const StatementDocument>(
      StatementDocument{std::move(outcome->value().statements), std::move(options.resolver)});
  state->diagnostics = std::move(outcome->value().diagnostics);
  state->bank_forms = !options.strict;
  state->source_format = std::move(outcome->value().source_format);
  PyRef read_bytes;
  if (!data) {
    read_bytes = PyRef(PyBytes_FromStringAndSize(file_bytes.data(), static_cast<Py_ssize_t>(file_bytes.size())));
    if (!read_bytes) return nullptr;
    data = read_bytes.get();
  }
  state->origin = Py_BuildValue("(sOOOO)", "bytes", data, given.encoding, given.strict ? Py_True : Py_False,
                                given.resolver);
  if (!state->origin) return nullptr;
  return new_mt940(type, std::move(state));
}

}  // namespace

PyObject* from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"data", "encoding", "strict", "resolver", nullptr};
    PyObject* data = nullptr;
    PyObject* encoding = Py_None;
    int strict = 0;
    PyObject* resolver = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpO:from_bytes", const_cast<char**>(keywords), &data,
                                     &encoding, &strict, &resolver)) {
      return nullptr;
    }
    ReadOptions options;
    if (!convert_options("from_bytes", encoding, strict, resolver, options)) return nullptr;
    PyRef keep;
    std::string_view bytes;
    if (!borrow_bytes("from_bytes", "data", data, keep, bytes)) return nullptr;
    return read_document(reinterpret_cast<PyTypeObject*>(cls), keep.get(), bytes, nullptr, std::move(options),
                         nullptr, GivenOptions{encoding, strict, resolver});
  });
}

PyObject* from_file(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "encoding", "strict", "resolver", nullptr};
    PyObject* path = nullptr;
    PyObject* encoding = Py_None;
    int strict = 0;
    PyObject* resolver = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpO:from_file", const_cast<char**>(keywords), &path,
                                     &encoding, &strict, &resolver)) {
      return nullptr;
    }
    ReadOptions options;
    if (!convert_options("from_file", encoding, strict, resolver, options)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);

    // An open file: its read() gives the bytes, which must be bytes (binary mode).
    if (!PyUnicode_Check(path) && !PyBytes_Check(path) && PyObject_HasAttrString(path, "read")) {
      PyRef content(PyObject_CallMethod(path, "read", nullptr));
      if (!content) return nullptr;
      if (PyUnicode_Check(content.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "from_file() needs a file opened in binary mode ('rb'): read() returned str");
        return nullptr;
      }
      PyRef keep;
      std::string_view bytes;
      if (!borrow_bytes("from_file", "path.read()", content.get(), keep, bytes)) return nullptr;
      return read_document(type, keep.get(), bytes, nullptr, std::move(options), nullptr,
                           GivenOptions{encoding, strict, resolver});
    }

    PyRef fspath(PyOS_FSPath(path));
    if (!fspath) return nullptr;
    PyRef encoded;
    if (PyUnicode_Check(fspath.get())) {
      encoded = PyRef(PyUnicode_EncodeFSDefault(fspath.get()));
    } else {
      encoded = PyRef::borrow(fspath.get());
    }
    if (!encoded) return nullptr;
    char* name = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &name, &size) < 0) return nullptr;
    if (std::string_view(name, static_cast<std::size_t>(size)).find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "from_file() path holds a NUL character");
      return nullptr;
    }
    const std::string file(name, static_cast<std::size_t>(size));
    return read_document(type, nullptr, {}, &file, std::move(options), fspath.get(),
                         GivenOptions{encoding, strict, resolver});
  });
}

}  // namespace tallyfold::python
