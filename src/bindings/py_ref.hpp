#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ferromesh::bindings {

// Owns one strong reference (or none), so that every exit path drops what it
// holds. Moving transfers the reference; there is no copy.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    // Swap first: dropping the old reference may run arbitrary code that must
    // already see the new value in place.
    PyObject* old = ptr_;
    ptr_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  // Takes over a reference the caller owns (typically a C-API result; null allowed).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed object (null allowed).
  static PyRef new_ref(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return ptr_; }
  // Hands the reference to the caller, e.g. as a function's return value.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { *this = PyRef(); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : ptr_(obj) {}

  PyObject* ptr_ = nullptr;
};

}  // namespace ferromesh::bindings
