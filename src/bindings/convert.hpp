#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/py_ref.hpp"
#include "codec/byte_writer.hpp"

// Conversions between Python objects and C++ values at the module's edge.
// Every converter has the same shape so that attribute descriptors and
// constructors can use any of them:
//   bool from_py(PyObject* obj, const char* name, Value& out)
//     false with TypeError (wrong Python type) or OverflowError (integer
//     outside the width) set, the message naming `name`; `out` then untouched.
//   PyObject* to_py(const Value&)   a new reference, or null with an error set.
namespace ferromesh::bindings::convert {

// A new list of ints 0..255.
PyObject* octets_to_list(std::span<const std::uint8_t> octets);

// The items of `obj`, which must be a sequence and not a str (TypeError
// naming `name` otherwise), as a list or tuple for PySequence_Fast_ITEMS.
PyRef sequence_items(PyObject* obj, const char* name);

struct U8 {
  using Value = std::uint8_t;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyLong_FromUnsignedLong(value); }
};

struct U16 {
  using Value = std::uint16_t;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyLong_FromUnsignedLong(value); }
};

struct U32 {
  using Value = std::uint32_t;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyLong_FromUnsignedLong(value); }
};

struct I32 {
  using Value = std::int32_t;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyLong_FromLong(value); }
};

struct U64 {
  using Value = std::uint64_t;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyLong_FromUnsignedLongLong(value); }
};

// A Python float (an int is taken as its float value).
struct Float {
  using Value = double;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyFloat_FromDouble(value); }
};

// A Python float held as binary32: rounded to nearest on the way in,
// widened exactly on the way out.
struct Float32 {
  using Value = float;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyFloat_FromDouble(static_cast<double>(value)); }
};

// A Python bool only: an int is refused.
struct Bool {
  using Value = bool;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(Value value) { return PyBool_FromLong(value ? 1 : 0); }
};

// A Python str, held as UTF-8. A str that has no UTF-8 form (lone
// surrogates) raises ValueError.
struct Text {
  using Value = std::string;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(const Value& value);
};

// Any sequence of ints 0..255 except str; read back as a new list of ints.
struct Octets {
  using Value = Bytes;
  static bool from_py(PyObject* obj, const char* name, Value& out);
  static PyObject* to_py(const Value& value);
};

// Read-only octets handed out as bytes: for hosts that pass them straight to
// a socket or a decode function, without a list of ints in between.
struct OctetBytes {
  using Value = Bytes;
  static PyObject* to_py(const Value& value);
};

// None or what `Inner` accepts.
template <class Inner>
struct Optional {
  using Value = std::optional<typename Inner::Value>;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    typename Inner::Value inner{};
    if (!Inner::from_py(obj, name, inner)) return false;
    out = std::move(inner);
    return true;
  }
  static PyObject* to_py(const Value& value) { return value ? Inner::to_py(*value) : Py_NewRef(Py_None); }
};

// Any object, held by reference and handed back as that same object.
struct AnyObject {
  using Value = PyRef;
  static bool from_py(PyObject* obj, const char*, Value& out) {
    out = PyRef::new_ref(obj);
    return true;
  }
  // A field emptied by the garbage collector's clear reads as None.
  static PyObject* to_py(const Value& value) { return Py_NewRef(value ? value.get() : Py_None); }
};

// An instance of the type that `type_getter` returns, or of a subclass.
template <PyTypeObject* (*type_getter)()>
struct InstanceOf {
  using Value = PyRef;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    PyTypeObject* type = type_getter();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, type)) {
      PyErr_Format(PyExc_TypeError, "%s must be a %s, not %.200s", name, type->tp_name, Py_TYPE(obj)->tp_name);
      return false;
    }
    out = PyRef::new_ref(obj);
    return true;
  }
  static PyObject* to_py(const Value& value) { return AnyObject::to_py(value); }
};

// Object references read back as a new list holding the same objects.
struct ObjectList {
  using Value = std::vector<PyRef>;
  static PyObject* to_py(const Value& value);
};

// Any sequence other than str whose items are all instances of the type that
// `type_getter` returns (or of subclasses); read back as a new list.
template <PyTypeObject* (*type_getter)()>
struct ListOf : ObjectList {
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    PyTypeObject* type = type_getter();
    if (type == nullptr) return false;
    PyRef items = sequence_items(obj, name);
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    Value refs;
    refs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!PyObject_TypeCheck(item[i], type)) {
        PyErr_Format(PyExc_TypeError, "%s must hold %s objects; item %zd is %.200s", name, type->tp_name, i,
                     Py_TYPE(item[i])->tp_name);
        return false;
      }
      refs.push_back(PyRef::new_ref(item[i]));
    }
    out = std::move(refs);
    return true;
  }
};

}  // namespace ferromesh::bindings::convert
