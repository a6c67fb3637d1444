#include "bindings/addresses.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <span>
#include <string_view>

#include "bindings/convert.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

// A MAC address behind a router: bytes (or bytearray) of 1..7 octets, or
// None; read back as bytes.
struct MacOctets {
  struct Value {
    std::uint8_t length = 0;  // 0: none
    std::array<std::uint8_t, stack::BacnetAddr::kMaxMacLength> octets{};
  };
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    if (obj == Py_None) {
      out = Value{};
      return true;
    }
    if (!PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "%s must be bytes or None, not %.200s", name, Py_TYPE(obj)->tp_name);
      return false;
    }
    const bool is_bytes = PyBytes_Check(obj);
    const Py_ssize_t size = is_bytes ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj);
    if (size < 1 || static_cast<std::size_t>(size) > stack::BacnetAddr::kMaxMacLength) {
      PyErr_Format(PyExc_ValueError, "%s must be 1 to %zu octets, not %zd", name, stack::BacnetAddr::kMaxMacLength,
                   size);
      return false;
    }
    const char* data = is_bytes ? PyBytes_AS_STRING(obj) : PyByteArray_AS_STRING(obj);
    Value value{static_cast<std::uint8_t>(size), {}};
    std::copy_n(reinterpret_cast<const std::uint8_t*>(data), size, value.octets.begin());
    out = value;
    return true;
  }
  static PyObject* to_py(const Value& value) {
    if (value.length == 0) return Py_NewRef(Py_None);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.octets.data()), value.length);
  }
};

// A network number 1..65535 (65535: every network), or None.
struct NetworkNumber {
  using Value = std::uint16_t;  // 0: none
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    if (obj == Py_None) {
      out = 0;
      return true;
    }
    Value number = 0;
    if (!U16::from_py(obj, name, number)) return false;
    if (number == 0) {
      PyErr_Format(PyExc_ValueError, "%s must be 1..65535 or None, not 0", name);
      return false;
    }
    out = number;
    return true;
  }
  static PyObject* to_py(Value value) { return value == 0 ? Py_NewRef(Py_None) : U16::to_py(value); }
};

struct AddrFields {
  std::string addr;  // UTF-8, as given
  std::uint16_t port = 0;
  std::uint16_t network = 0;  // 0: on our own network
  MacOctets::Value mac;
};

constexpr char kHexDigits[] = "0123456789abcdef";

struct BacnetAddrClass {
  using Fields = AddrFields;
  static constexpr const char* name = "ferromesh.BacnetAddr";
  static constexpr const char* doc =
      "BacnetAddr(addr, port, network=None, mac=None)\n--\n\nIPv4 BACnet address (addr, port).";
  static inline PyGetSetDef attributes[] = {
      read_write<Text, &Fields::addr>("addr"),
      read_write<U16, &Fields::port>("port"),
      read_write<NetworkNumber, &Fields::network>(
          "network",
          "Network number of a device behind the router at addr:port (1..65534), 65535 for\n"
          "every network, None for our own network."),
      read_write<MacOctets, &Fields::mac>(
          "mac", "MAC address (1..7 octets) of a device on that network; None for all of its devices."),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  // A device on our own network keeps the two-argument form; any other
  // shows the text form host:port/network:mac that the client parses.
  static PyObject* repr(PyObject* self) {
    const auto& fields = fields_of<Fields>(self);
    if (fields.network == 0 && fields.mac.length == 0) {
      return Text::to_py("BacnetAddr('" + fields.addr + "', " + std::to_string(fields.port) + ")");
    }
    std::string text = "BacnetAddr('" + fields.addr + ":" + std::to_string(fields.port) + "/";
    if (fields.network != 0) text += std::to_string(fields.network);
    if (fields.mac.length != 0) text += ':';
    for (std::size_t i = 0; i < fields.mac.length; ++i) {
      text += kHexDigits[fields.mac.octets[i] >> 4];
      text += kHexDigits[fields.mac.octets[i] & 0x0F];
    }
    return Text::to_py(text + "')");
  }
};

// Exactly four fields of one to three ASCII digits, 0..255, without leading
// zeros: only the canonical text of an address passes, so that the text
// handed back in outputs is the one the host gave.
std::optional<std::array<std::uint8_t, 4>> parse_dotted_quad(std::string_view text) {
  std::array<std::uint8_t, 4> octets{};
  std::size_t pos = 0;
  for (std::size_t field = 0; field < octets.size(); ++field) {
    if (field > 0) {
      if (pos == text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    octets[field] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return octets;
}

// Digit by digit into one string, which fits the short-string buffer: every
// output of the stack carries an address, and concatenating temporaries cost
// more than the rest of making the object.
std::string dotted_quad(const std::array<std::uint8_t, 4>& octets) {
  std::string text;
  text.reserve(15);  // "255.255.255.255"
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i > 0) text += '.';
    const unsigned octet = octets[i];
    if (octet >= 100) text += static_cast<char>('0' + octet / 100);
    if (octet >= 10) text += static_cast<char>('0' + octet / 10 % 10);
    text += static_cast<char>('0' + octet % 10);
  }
  return text;
}

}  // namespace

PyTypeObject* bacnet_addr_type() { return type_of<BacnetAddrClass>(); }

std::optional<stack::BacnetAddr> addr_to_engine(PyObject* addr) {
  const AddrFields& fields = fields_of<AddrFields>(addr);
  const auto octets = parse_dotted_quad(fields.addr);
  if (!octets) {
    PyRef message = PyRef::steal(Text::to_py("Invalid IPv4 address: " + fields.addr));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return std::nullopt;
  }
  if (fields.mac.length == 0) return stack::BacnetAddr{*octets, fields.port, fields.network};
  if (fields.network == 0 || fields.network == stack::BacnetAddr::kGlobalNetwork) {
    PyErr_SetString(PyExc_ValueError, "a BacnetAddr with a mac needs a network number 1..65534");
    return std::nullopt;
  }
  return stack::BacnetAddr::routed(*octets, fields.port, fields.network,
                                   std::span(fields.mac.octets).first(fields.mac.length));
}

PyObject* addr_to_py(const stack::BacnetAddr& addr) {
  AddrFields fields{dotted_quad(addr.addr), addr.port, addr.network, {addr.mac_length, addr.mac}};
  return new_object<BacnetAddrClass>(std::move(fields));
}

}  // namespace ferromesh::bindings
