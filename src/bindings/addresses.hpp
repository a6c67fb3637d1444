#pragma once

#include <optional>

#include "bindings/py_class.hpp"
#include "stack/types.hpp"

// BacnetAddr: an IPv4 address held as the text the host gave, and a UDP port.
// The text is checked only when a Stack needs the engine's form of it.
namespace ferromesh::bindings {

PyTypeObject* bacnet_addr_type();

// The engine address of `addr`, which must be a BacnetAddr (or subclass)
// instance; nothing with ValueError "Invalid IPv4 address: <text>" unless its
// text is strict dotted decimal.
std::optional<stack::BacnetAddr> addr_to_engine(PyObject* addr);

// A new BacnetAddr holding the canonical dotted text of `addr`.
PyObject* addr_to_py(const stack::BacnetAddr& addr);

}  // namespace ferromesh::bindings
