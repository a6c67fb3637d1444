#include "bindings/addresses.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/convert.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

struct AddrFields {
  std::string addr;  // UTF-8, as given
  std::uint16_t port = 0;
};

struct BacnetAddrClass {
  using Fields = AddrFields;
  static constexpr const char* name = "ferromesh.BacnetAddr";
  static constexpr const char* doc = "BacnetAddr(addr, port)\n--\n\nIPv4 BACnet address (addr, port).";
  static inline PyGetSetDef attributes[] = {
      read_write<Text, &Fields::addr>("addr"),
      read_write<U16, &Fields::port>("port"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  static PyObject* repr(PyObject* self) {
    const auto& fields = fields_of<Fields>(self);
    return Text::to_py("BacnetAddr('" + fields.addr + "', " + std::to_string(fields.port) + ")");
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
  return stack::BacnetAddr{*octets, fields.port};
}

PyObject* addr_to_py(const stack::BacnetAddr& addr) {
  return new_object<BacnetAddrClass>(AddrFields{dotted_quad(addr.addr), addr.port});
}

}  // namespace ferromesh::bindings
