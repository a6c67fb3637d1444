#pragma once

#include <concepts>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/py_ref.hpp"

// How the module's classes are made. A class is described by a traits struct:
//
//   struct RealClass {
//     using Fields = PropertyValue::Real;              // the instance's C++ state
//     static constexpr const char* name = "ferromesh.PropertyValueReal";
//     static constexpr const char* doc = "PropertyValueReal(value)\n--\n\n";
//     static inline PyGetSetDef attributes[] = {read_write<Float32, &PropertyValue::Real::value>("value"), {}};
//     static constexpr std::size_t required_arguments = 1;  // optional, see below
//     static PyObject* repr(PyObject* self);                // optional
//     static PyObject* construct(PyTypeObject*, PyObject*, PyObject*);  // optional
//     static inline PyMethodDef methods[] = {...};         // optional, functions wrapped in guarded
//     static PyObject* richcompare(PyObject*, PyObject*, int);  // optional, with hash
//     static Py_hash_t hash(PyObject*);                          // optional
//   };
//
// With `required_arguments` the constructor takes the attributes in their
// order as arguments (the first `required_arguments` mandatory) and assigns
// each through its setter, so that construction and assignment convert alike.
// With `construct` that function is the constructor. With neither, the class
// cannot be instantiated from Python. Fields holding object references
// provide `int traverse(visitproc, void*) const` and `void clear()`, which
// makes the class take part in garbage collection.
namespace ferromesh::bindings {

// Every function the interpreter calls goes through this: a C++ exception
// must not unwind into the interpreter, which would terminate the process.
// Allocation failure becomes MemoryError; nothing else is thrown below the
// bindings, so any other exception is a SystemError.
template <auto function>
struct Guarded;

template <class R, class... Args, R (*function)(Args...)>
struct Guarded<function> {
  static R call(Args... args) noexcept {
    try {
      return function(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }
};

template <auto function>
inline constexpr auto guarded = &Guarded<function>::call;

template <class Fields>
struct Instance {
  PyObject_HEAD
  Fields fields;
};

template <class Fields>
Fields& fields_of(PyObject* self) {
  return reinterpret_cast<Instance<Fields>*>(self)->fields;
}

template <class Fields>
concept HoldsReferences = requires(const Fields& fields, Fields& mutable_fields, visitproc visit, void* arg) {
  { fields.traverse(visit, arg) } -> std::same_as<int>;
  mutable_fields.clear();
};

inline int visit_refs(visitproc, void*) { return 0; }

template <class... Rest>
int visit_refs(visitproc visit, void* arg, const PyRef& first, const Rest&... rest) {
  if (first) {
    if (const int result = visit(first.get(), arg)) return result;
  }
  return visit_refs(visit, arg, rest...);
}

template <class... Rest>
int visit_refs(visitproc visit, void* arg, const std::vector<PyRef>& first, const Rest&... rest) {
  for (const PyRef& ref : first) {
    if (const int result = visit_refs(visit, arg, ref)) return result;
  }
  return visit_refs(visit, arg, rest...);
}

// A new instance of `type` (the class or a subclass) holding `fields`.
template <class Fields>
PyObject* new_instance(PyTypeObject* type, Fields fields) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&fields_of<Fields>(self)) Fields(std::move(fields));
  return self;
}

template <class Fields>
void release_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  fields_of<Fields>(self).~Fields();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Fields>
void dealloc_instance(PyObject* self) {
  release_instance<Fields>(self);
}

// Instances holding references may head a long chain (a request whose value
// is a request whose value ...): the trashcan defers the deeper frees, so
// that dropping the head does not recurse once per link on the C stack.
template <class Fields>
void dealloc_gc_instance(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, dealloc_gc_instance<Fields>)
  release_instance<Fields>(self);
  Py_TRASHCAN_END
}

template <class Fields>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
  // Instances of heap types keep their type alive, so the collector must see that edge.
  if (const int result = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return result;
  return fields_of<Fields>(self).traverse(visit, arg);
}

template <class Fields>
int clear_instance(PyObject* self) {
  fields_of<Fields>(self).clear();
  return 0;
}

// Attribute descriptors over one member of the Fields, converted by `Conv`
// (see convert.hpp). The descriptor's closure is its name, for messages.
namespace detail {
template <class Owner, class Value>
Owner owner_of(Value Owner::*);
template <auto member>
using OwnerOf = decltype(owner_of(member));

template <class Conv, auto member>
PyObject* get_member(PyObject* self, void*) {
  return Conv::to_py(fields_of<OwnerOf<member>>(self).*member);
}

template <class Conv, auto member>
int set_member(PyObject* self, PyObject* value, void* closure) {
  const char* name = static_cast<const char*>(closure);
  if (value == nullptr) {
    PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", name);
    return -1;
  }
  typename Conv::Value converted{};
  if (!Conv::from_py(value, name, converted)) return -1;
  fields_of<OwnerOf<member>>(self).*member = std::move(converted);
  return 0;
}

template <PyObject* (*getter)(PyObject*)>
PyObject* computed_member(PyObject* self, void*) {
  return getter(self);
}
}  // namespace detail

template <class Conv, auto member>
PyGetSetDef read_write(const char* name, const char* doc = nullptr) {
  return {name, guarded<detail::get_member<Conv, member>>, guarded<detail::set_member<Conv, member>>, doc,
          const_cast<char*>(name)};
}

// Assigning or deleting raises AttributeError.
template <class Conv, auto member>
PyGetSetDef read_only(const char* name, const char* doc = nullptr) {
  return {name, guarded<detail::get_member<Conv, member>>, nullptr, doc, nullptr};
}

// A read-only attribute computed by `getter` from the instance.
template <PyObject* (*getter)(PyObject*)>
PyGetSetDef computed(const char* name, const char* doc = nullptr) {
  return {name, guarded<detail::computed_member<getter>>, nullptr, doc, nullptr};
}

template <class Class>
PyObject* construct_from_attributes(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  constexpr std::size_t kMaxArguments = 5;
  const char* keywords[kMaxArguments + 1] = {};
  std::size_t count = 0;
  while (Class::attributes[count].name != nullptr) {
    if (count == kMaxArguments) {
      PyErr_SetString(PyExc_SystemError, "too many constructor arguments");
      return nullptr;
    }
    keywords[count] = Class::attributes[count].name;
    ++count;
  }
  // "OO|OOO:Name"; built once per class.
  static const std::string format = [count] {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
    // "" + "|" when a class has no required argument.
    const std::string_view name = Class::name;
    std::string text(Class::required_arguments, 'O');
    text.push_back('|');
    text.append(count - Class::required_arguments, 'O');
    text.push_back(':');
    text.append(name.substr(name.rfind('.') + 1));
    return text;
  }();
  PyObject* values[kMaxArguments] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(), const_cast<char**>(keywords), &values[0], &values[1],
                                   &values[2], &values[3], &values[4])) {
    return nullptr;
  }
  PyRef self = PyRef::steal(new_instance(type, typename Class::Fields{}));
  if (!self) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const PyGetSetDef& attribute = Class::attributes[i];
    if (values[i] != nullptr && attribute.set(self.get(), values[i], attribute.closure) < 0) return nullptr;
  }
  return self.release();
}

// A new heap type; `empty_doc` when its docstring after the signature is
// empty, so that __doc__ reads None. Null with the error set on failure.
PyTypeObject* create_type(PyType_Spec& type_spec, bool empty_doc);

// The type of `Class`, created on first use and kept for the life of the
// process; null with the error set if it cannot be created.
template <class Class>
PyTypeObject* type_of() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;

  using Fields = typename Class::Fields;
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(Class::doc)},
      {Py_tp_getset, Class::attributes},
  };
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if constexpr (HoldsReferences<Fields>) {
    flags |= Py_TPFLAGS_HAVE_GC;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_gc_instance<Fields>)});
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(traverse_instance<Fields>)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(clear_instance<Fields>)});
  } else {
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Fields>)});
  }
  if constexpr (requires { Class::construct; }) {
    flags |= Py_TPFLAGS_BASETYPE;
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(guarded<Class::construct>)});
  } else if constexpr (requires { Class::required_arguments; }) {
    flags |= Py_TPFLAGS_BASETYPE;
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(guarded<construct_from_attributes<Class>>)});
  } else {
    flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  }
  if constexpr (requires { Class::repr; }) {
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(guarded<Class::repr>)});
  }
  if constexpr (requires { Class::richcompare; }) {
    slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(guarded<Class::richcompare>)});
  }
  if constexpr (requires { Class::hash; }) slots.push_back({Py_tp_hash, reinterpret_cast<void*>(guarded<Class::hash>)});
  if constexpr (requires { Class::methods; }) slots.push_back({Py_tp_methods, Class::methods});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec = {Class::name, static_cast<int>(sizeof(Instance<Fields>)), 0, flags, slots.data()};
  type = create_type(type_spec, std::string_view(Class::doc).ends_with("\n--\n\n"));
  return type;
}

// A new instance of `Class` itself holding `fields`.
template <class Class>
PyObject* new_object(typename Class::Fields fields) {
  PyTypeObject* type = type_of<Class>();
  if (type == nullptr) return nullptr;
  return new_instance(type, std::move(fields));
}

inline PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

}  // namespace ferromesh::bindings
