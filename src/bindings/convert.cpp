#include "bindings/convert.hpp"

#include <limits>

namespace ferromesh::bindings::convert {

namespace {

bool require_int(PyObject* obj, const char* name) {
  if (PyLong_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(obj)->tp_name);
  return false;
}

bool out_of_range(const char* name, long long min, unsigned long long max) {
  PyErr_Format(PyExc_OverflowError, "%s must be in the range %lld..%llu", name, min, max);
  return false;
}

// The int `obj` if it lies in 0..max; `max` may be the full unsigned 64-bit range.
bool unsigned_up_to(PyObject* obj, const char* name, unsigned long long max, unsigned long long& out) {
  if (!require_int(obj, name)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    if (value < 0 || static_cast<unsigned long long>(value) > max) return out_of_range(name, 0, max);
    out = static_cast<unsigned long long>(value);
    return true;
  }
  if (overflow < 0 || max != std::numeric_limits<unsigned long long>::max()) return out_of_range(name, 0, max);
  const unsigned long long wide = PyLong_AsUnsignedLongLong(obj);
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return out_of_range(name, 0, max);
  }
  out = wide;
  return true;
}

template <class T>
bool narrow_unsigned(PyObject* obj, const char* name, T& out) {
  unsigned long long value = 0;
  if (!unsigned_up_to(obj, name, std::numeric_limits<T>::max(), value)) return false;
  out = static_cast<T>(value);
  return true;
}

}  // namespace

bool U8::from_py(PyObject* obj, const char* name, Value& out) { return narrow_unsigned(obj, name, out); }
bool U16::from_py(PyObject* obj, const char* name, Value& out) { return narrow_unsigned(obj, name, out); }
bool U32::from_py(PyObject* obj, const char* name, Value& out) { return narrow_unsigned(obj, name, out); }
bool U64::from_py(PyObject* obj, const char* name, Value& out) { return narrow_unsigned(obj, name, out); }

bool I32::from_py(PyObject* obj, const char* name, Value& out) {
  if (!require_int(obj, name)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  constexpr long long kMin = std::numeric_limits<std::int32_t>::min();
  constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
  if (overflow != 0 || value < kMin || value > kMax) {
    PyErr_Format(PyExc_OverflowError, "%s must be in the range %lld..%lld", name, kMin, kMax);
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool Float::from_py(PyObject* obj, const char* name, Value& out) {
  if (PyFloat_Check(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a float, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  const double value = PyLong_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s is too large to convert to a float", name);
    return false;
  }
  out = value;
  return true;
}

bool Float32::from_py(PyObject* obj, const char* name, Value& out) {
  double wide = 0.0;
  if (!Float::from_py(obj, name, wide)) return false;
  // Round to nearest; magnitudes beyond binary32 become infinities.
  out = static_cast<float>(wide);
  return true;
}

bool Bool::from_py(PyObject* obj, const char* name, Value& out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  out = obj == Py_True;
  return true;
}

bool Text::from_py(PyObject* obj, const char* name, Value& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be encodable as UTF-8 (it contains a lone surrogate)", name);
    return false;
  }
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

PyObject* Text::to_py(const Value& value) {
  // Invalid sequences cannot come from Python; replacing them keeps a
  // malformed engine text readable instead of failing.
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyRef sequence_items(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence other than str, not %.200s", name, Py_TYPE(obj)->tp_name);
    return PyRef();
  }
  return PyRef::steal(PySequence_Fast(obj, name));
}

bool Octets::from_py(PyObject* obj, const char* name, Value& out) {
  if (PyBytes_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.assign(data, data + PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
    out.assign(data, data + PyByteArray_GET_SIZE(obj));
    return true;
  }
  PyRef items = sequence_items(obj, name);
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  PyObject** item = PySequence_Fast_ITEMS(items.get());
  Bytes octets;
  octets.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyLong_Check(item[i])) {
      PyErr_Format(PyExc_TypeError, "%s must hold ints 0..255; item %zd is %.200s", name, i,
                   Py_TYPE(item[i])->tp_name);
      return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(item[i], &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 255) {
      PyErr_Format(PyExc_OverflowError, "%s must hold ints 0..255; item %zd is out of range", name, i);
      return false;
    }
    octets.push_back(static_cast<std::uint8_t>(value));
  }
  out = std::move(octets);
  return true;
}

PyObject* Octets::to_py(const Value& value) { return octets_to_list(value); }

PyObject* OctetBytes::to_py(const Value& value) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()), static_cast<Py_ssize_t>(value.size()));
}

PyObject* ObjectList::to_py(const Value& value) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < value.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), AnyObject::to_py(value[i]));
  }
  return list.release();
}

PyObject* octets_to_list(std::span<const std::uint8_t> octets) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(octets.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < octets.size(); ++i) {
    PyObject* number = PyLong_FromLong(octets[i]);
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list.release();
}

}  // namespace ferromesh::bindings::convert
