// Small RAII holders for the CPython C API. Only this directory includes Python.h.
#pragma once

#include <Python.h>

#include <utility>

namespace tallyfold::python {

/// Owns one strong reference (or none). New references go into a PyRef at once;
/// borrowed ones stay raw pointers.
class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference; nullptr (a failed API call) is allowed.
  explicit PyRef(PyObject* stolen) noexcept : p_(stolen) {}
  /// Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference to the caller (typically back to Python).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

/// Releases the interpreter lock for its lifetime. Nothing inside the scope may touch a
/// Python object; the lock is taken back even when the scope is left by an exception.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tallyfold::python
